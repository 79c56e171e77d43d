// What the program leaves behind when a run goes wrong, tried through the
// process itself: an interrupt, a full disk, a batch whose outputs collide
// with its inputs, a link at the output name, private inputs, damage, and a
// locale without grouping. No final name may ever hold a file that lies.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qor_process.h"

namespace {

namespace fs = std::filesystem;
using qor_test::Read_File;
using qor_test::Run_QOR;
using qor_test::T_Process_Result;
using qor_test::T_Temp_Dir;

std::string Corpus(const std::string& Name) { return Read_File(fs::path(QOR_CORPUS_DIR) / Name); }

std::string Random_Bytes(size_t Size) {
  std::mt19937 Random(29);
  std::string Bytes(Size, '\0');
  for (char& Byte : Bytes) Byte = static_cast<char>(Random());
  return Bytes;
}

// Names in Dir that start with Prefix: what a temporary output would be called.
std::vector<std::string> Names_Starting(const T_Temp_Dir& Dir, const std::string& Prefix) {
  std::vector<std::string> Names;
  for (const auto& Entry : fs::directory_iterator(Dir.Path())) {
    const std::string Name = Entry.path().filename().string();
    if (Name.rfind(Prefix, 0) == 0) Names.push_back(Name);
  }
  return Names;
}

const std::string Temporary_Prefix = ".qor-";

class Interrupted_Run : public ::testing::TestWithParam<int> {};

// The child is stopped once its temporary output holds data: the first block
// is written, and a file of whole blocks would expand "successfully".
TEST_P(Interrupted_Run, LeavesNoOutputAndEndsByTheSignal) {
  T_Temp_Dir Dir;
  // Seven blocks, compressed by one worker: long after the first block is
  // written, the run is still far from done, however busy the machine is.
  const std::string Part = Corpus("bible.txt") + Corpus("E.coli") + Corpus("world192.txt");
  Dir.Write("big.txt", Part + Part + Part);
  const pid_t Child = ::fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    if (::chdir(Dir.Dir().c_str()) != 0) ::_exit(126);
    ::freopen("/dev/null", "w", stdout);
    ::setenv("QOR_THREADS", "1", 1);
    ::execl(QOR_BINARY, QOR_BINARY, "-c", "big.txt", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool Block_Written = false;
  while (!Block_Written && std::chrono::steady_clock::now() < Deadline) {
    for (const std::string& Name : Names_Starting(Dir, Temporary_Prefix)) {
      std::error_code Ignored;
      Block_Written = Block_Written || fs::file_size(Dir / Name, Ignored) > 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::kill(Child, GetParam());
  int Status = 0;
  ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(Block_Written) << "no block was written in time";
  ASSERT_TRUE(WIFSIGNALED(Status)) << "the run ended before the signal";
  EXPECT_EQ(WTERMSIG(Status), GetParam());
  EXPECT_FALSE(Dir.Exists("big.qor"));
  EXPECT_TRUE(Names_Starting(Dir, Temporary_Prefix).empty());
}

// A pipe leaves no temporary output behind, and the run ends by the signal
// at once, even while it waits for more input: nothing may hold the signal
// back with no one left to take it.
TEST_P(Interrupted_Run, PipeEndsByTheSignal) {
  int In[2];
  ASSERT_EQ(::pipe(In), 0);
  const pid_t Child = ::fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    ::dup2(In[0], 0);
    ::close(In[0]);
    ::close(In[1]);
    ::freopen("/dev/null", "w", stdout);
    ::execl(QOR_BINARY, QOR_BINARY, "-c", "-", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(In[0]);
  const std::string Part = Corpus("xargs.1");
  ASSERT_EQ(::write(In[1], Part.data(), Part.size()), static_cast<ssize_t>(Part.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ::kill(Child, GetParam());
  int Status = 0;
  pid_t Done = 0;
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((Done = ::waitpid(Child, &Status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < Deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (Done == 0) {
    ::kill(Child, SIGKILL);
    ::waitpid(Child, &Status, 0);
  }
  ::close(In[1]);
  ASSERT_EQ(Done, Child) << "the run went on after the signal";
  ASSERT_TRUE(WIFSIGNALED(Status));
  EXPECT_EQ(WTERMSIG(Status), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted_Run, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

TEST(Safe_Files, FullDiskLeavesNoOutput) {
  T_Temp_Dir Dir;
  const std::string Mount_Point = Dir.Dir() + "/small";
  fs::create_directory(Mount_Point);
  if (::mount("tmpfs", Mount_Point.c_str(), "tmpfs", 0, "size=600k") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
  struct Unmount {
    std::string Point;
    ~Unmount() { ::umount(Point.c_str()); }
  } Unmount_At_End{Mount_Point};
  // Random bytes do not compress: the output cannot fit beside its input.
  qor_test::Write_File(Mount_Point + "/a.bin", Random_Bytes(400000));
  const T_Process_Result Result = Run_QOR({"-c", "a.bin"}, Mount_Point);
  EXPECT_EQ(Result.Exit_Code, 1);
  EXPECT_EQ(Result.Err, "qor: a.qor: No space left on device\n");
  EXPECT_EQ(fs::directory_iterator(Mount_Point)->path().filename(), "a.bin");
  EXPECT_EQ(std::distance(fs::directory_iterator(Mount_Point), fs::directory_iterator()), 1);
}

// A batch must not overwrite an input it has still to read, nor an output it made.
TEST(Safe_Files, BatchOutputThatIsAnInputIsRefused) {
  T_Temp_Dir Dir;
  Dir.Write("a.html", Corpus("cp.html"));
  Dir.Write("a.txt", Corpus("alice29.txt"));
  // Whichever comes first, a.html -> a.txt meets an input.
  const T_Process_Result Result = Run_QOR({"-c", "*", "txt"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 1);
  EXPECT_EQ(Result.Err, "qor: a.txt: output would overwrite a file of this run\n");
  EXPECT_TRUE(Dir.Read("a.txt") == Corpus("alice29.txt"));
}

TEST(Safe_Files, LinkAtTheOutputNameIsReplacedNotFollowed) {
  T_Temp_Dir Dir;
  Dir.Write("precious.txt", "keep me");
  Dir.Write("a.txt", Corpus("fields.c"));
  fs::create_symlink("precious.txt", Dir / "a.qor");
  ASSERT_EQ(Run_QOR({"-c", "a.txt"}, Dir.Dir()).Exit_Code, 0);
  EXPECT_EQ(Dir.Read("precious.txt"), "keep me");
  EXPECT_FALSE(fs::is_symlink(Dir / "a.qor"));
  ASSERT_EQ(Run_QOR({"-e", "a.qor"}, Dir.Dir()).Exit_Code, 0);
  EXPECT_TRUE(Dir.Read("a.exp") == Corpus("fields.c"));
}

TEST(Safe_Files, OutputsKeepTheInputsModeAndTimes) {
  T_Temp_Dir Dir;
  Dir.Write("a.txt", Corpus("xargs.1"));
  ASSERT_EQ(::chmod((Dir / "a.txt").c_str(), 0600), 0);
  const struct timespec Times[2] = {{1000000000, 0}, {1234567890, 500000000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (Dir / "a.txt").c_str(), Times, 0), 0);
  ASSERT_EQ(Run_QOR({"-c", "a.txt"}, Dir.Dir()).Exit_Code, 0);
  ASSERT_EQ(Run_QOR({"-e", "a.qor"}, Dir.Dir()).Exit_Code, 0);
  for (const char* Name : {"a.qor", "a.exp"}) {
    struct stat Info {};
    ASSERT_EQ(::stat((Dir / Name).c_str(), &Info), 0) << Name;
    EXPECT_EQ(Info.st_mode & 07777, 0600u) << Name;
    EXPECT_EQ(Info.st_mtim.tv_sec, 1234567890) << Name;
    EXPECT_EQ(Info.st_mtim.tv_nsec, 500000000) << Name;
  }
}

// The second of two blocks is damaged: the first stays, verified, under the
// final name, and standard error says where the damage is.
TEST(Safe_Files, DamageKeepsTheVerifiedBlocksAndNamesTheBlock) {
  T_Temp_Dir Dir;
  const std::string Original = Corpus("bible.txt") + Corpus("world192.txt");
  Dir.Write("a.txt", Original);
  ASSERT_EQ(Run_QOR({"-c1", "a.txt"}, Dir.Dir()).Exit_Code, 0);
  std::string Packed = Dir.Read("a.qor");
  const size_t First_Length =
      static_cast<uint8_t>(Packed[0]) + (static_cast<uint8_t>(Packed[9]) | static_cast<uint8_t>(Packed[10]) << 8 |
                                         static_cast<uint8_t>(Packed[11]) << 16);
  ASSERT_LT(First_Length, Packed.size());
  Packed[First_Length + 2] = static_cast<char>(Packed[First_Length + 2] ^ 0x01);  // the second block's CRC
  Dir.Write("a.qor", Packed);
  const T_Process_Result Result = Run_QOR({"-e", "a.qor"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 2);
  EXPECT_EQ(Result.Err, "qor: a.qor: damaged block 2 at offset " + std::to_string(First_Length) + ": CRC mismatch\n");
  EXPECT_TRUE(Dir.Read("a.exp") == Original.substr(0, 5242880));
  EXPECT_TRUE(Names_Starting(Dir, Temporary_Prefix).empty());
}

// bg_BG has a decimal comma and no thousands separator: nothing is grouped.
TEST(Safe_Files, LocaleWithoutThousandsSeparatorGroupsNothing) {
  T_Temp_Dir Dir;
  const std::string Locales = Dir.Dir() + "/locales";
  const std::string Build = "localedef -i bg_BG -f UTF-8 " + Locales + "/bg_BG.UTF-8 >/dev/null 2>&1";
  fs::create_directory(Locales);
  if (std::system(Build.c_str()) != 0) GTEST_SKIP() << "localedef cannot build bg_BG here";
  Dir.Write("a.txt", Corpus("kennedy.xls"));
  qor_test::T_Process_Options Options;
  Options.Working_Directory = Dir.Dir();
  Options.Environment = {"LOCPATH=" + Locales, "LC_ALL=bg_BG.UTF-8"};
  const T_Process_Result Result = qor_test::Run_Process(QOR_BINARY, {"-cv", "a.txt"}, Options);
  ASSERT_EQ(Result.Exit_Code, 0) << Result.Err;
  EXPECT_NE(Result.Out.find("Input size                :       1029744 bytes"), std::string::npos) << Result.Out;
  EXPECT_NE(Result.Out.find(" bps\n"), std::string::npos);
  EXPECT_EQ(Result.Out.find("1,029,744"), std::string::npos);
  EXPECT_NE(Result.Out.find("Compression rate          :             1,"), std::string::npos) << Result.Out;
}

}  // namespace
