// qor among other Unix tools: in a pipe, on a terminal, and testing archives
// without writing anything.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "qor_process.h"

namespace {

using qor_test::Run_Process;
using qor_test::Run_QOR;
using qor_test::T_Process_Result;
using qor_test::T_Temp_Dir;

std::string Corpus(const std::string& Name) { return qor_test::Read_File(std::string(QOR_CORPUS_DIR) + "/" + Name); }

T_Process_Result Shell(const std::string& Command, const T_Temp_Dir& Dir) {
  qor_test::T_Process_Options Options;
  Options.Working_Directory = Dir.Dir();
  Options.Environment = {"LC_ALL=C", std::string("QOR=") + QOR_BINARY};
  return Run_Process("/bin/sh", {"-c", Command}, Options);
}

// Two blocks through two pipes: the data passes whole, the reports go to
// standard error with the sizes counted on the way.
TEST(Unix_Tool, PipeRoundTripKeepsDataOnStandardOutput) {
  T_Temp_Dir Dir;
  Dir.Write("in", Corpus("bible.txt") + Corpus("alice29.txt") + Corpus("E.coli"));
  const T_Process_Result Result =
      Shell("cat in | \"$QOR\" -cv - 2>c.err | \"$QOR\" -e - 2>e.err > out && cmp in out", Dir);
  EXPECT_EQ(Result.Exit_Code, 0) << Result.Out << Result.Err;
  EXPECT_NE(Dir.Read("c.err").find("Input size                :     8,838,171 bytes"), std::string::npos)
      << Dir.Read("c.err");
  EXPECT_NE(Dir.Read("e.err").find("Total output size         :     8,838,171 bytes"), std::string::npos);
}

TEST(Unix_Tool, CompressedDataIsNotWrittenToATerminal) {
  T_Temp_Dir Dir;
  Dir.Write("a.txt", "some text");
  if (Shell("command -v script", Dir).Exit_Code != 0) GTEST_SKIP() << "no script(1) to make a terminal";
  const T_Process_Result Result = Shell("script -qec '\"$QOR\" -c - < a.txt' /dev/null", Dir);
  EXPECT_EQ(Result.Exit_Code, 1);
  EXPECT_NE(Result.Out.find("qor: (standard output): is a terminal; compressed data is not written to it"),
            std::string::npos)
      << Result.Out;
}

TEST(Unix_Tool, TestModeChecksEveryFileAndWritesNothing) {
  T_Temp_Dir Dir;
  Dir.Write("good.txt", Corpus("fields.c"));
  Dir.Write("bad.txt", Corpus("cp.html"));
  ASSERT_EQ(Run_QOR({"-c", "*.txt"}, Dir.Dir()).Exit_Code, 0);
  std::string Bad = Dir.Read("bad.qor");
  Bad[2] = static_cast<char>(Bad[2] ^ 1);  // the CRC
  Dir.Write("bad.qor", Bad);
  const auto Before = std::distance(std::filesystem::directory_iterator(Dir.Path()), {});

  const T_Process_Result Result = Run_QOR({"-t", "*.qor"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 2);
  EXPECT_NE(Result.Out.find("bad.qor: damaged block 1 at offset 0: CRC mismatch\n"), std::string::npos) << Result.Out;
  EXPECT_NE(Result.Out.find("good.qor: ok\n"), std::string::npos);
  EXPECT_NE(Result.Out.find("Number of files           :             2\n"), std::string::npos);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir.Path()), {}), Before);

  EXPECT_EQ(Run_QOR({"-t", "good.qor"}, Dir.Dir()).Exit_Code, 0);
  const T_Process_Result Missing = Run_QOR({"-t", "none.qor"}, Dir.Dir());
  EXPECT_EQ(Missing.Exit_Code, 1);
  EXPECT_EQ(Missing.Err, "qor: none.qor: no file matches\n");
}

// The largest resident set, in KB, of qor run with Argument on In as
// standard input, or -1 if it did not exit with 0.
long Peak_Resident_KB(const char* Argument, const std::filesystem::path& In) {
  const int Input = ::open(In.c_str(), O_RDONLY | O_CLOEXEC);
  const int Null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t Child = ::fork();
  if (Child == 0) {
    if (::dup2(Input, 0) < 0 || ::dup2(Null, 1) < 0 || ::dup2(Null, 2) < 0) ::_exit(127);
    ::execl(QOR_BINARY, QOR_BINARY, Argument, "-", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(Input);
  ::close(Null);
  int Status = 0;
  rusage Usage{};
  if (Child < 0 || ::wait4(Child, &Status, 0, &Usage) != Child) return -1;
  return WIFEXITED(Status) && WEXITSTATUS(Status) == 0 ? Usage.ru_maxrss : -1;
}

// A stream's blocks are not known before its first header: mapping ahead for
// a whole block put some 45 MB in place to expand a few kilobytes, and the
// run waited for it. Measured above what printing the help takes, which
// under a sanitizer is itself some 20 MB.
TEST(Unix_Tool, SmallStreamExpandsInLittleMemory) {
  T_Temp_Dir Dir;
  Dir.Write("in", Corpus("xargs.1"));
  ASSERT_EQ(Shell("\"$QOR\" -c - < in > in.qor 2>/dev/null", Dir).Exit_Code, 0);
  const long Base = Peak_Resident_KB("-h", Dir.Path() / "in");
  const long Peak = Peak_Resident_KB("-e", Dir.Path() / "in.qor");
  ASSERT_GT(Base, 0);
  ASSERT_GT(Peak, 0);
  EXPECT_LT(Peak - Base, 16 * 1024);
}

}  // namespace
