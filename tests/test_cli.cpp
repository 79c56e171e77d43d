// The qor program run as a process: console output byte for byte, exit codes,
// the files it creates. Empty files need no stage of the pipeline, so every
// console path is exercised with them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "qor_process.h"

namespace {

using qor_test::Run_QOR;
using qor_test::T_Process_Result;
using qor_test::T_Temp_Dir;

const std::string Rule(68, '_');

const std::string Banner_Text = Rule + "\n" +
                                "\n"
                                "QOR - Tessaline\n"
                                "Version                   : 2.4\n"
                                "Block size                : 5 MiB\n"
                                "Chains                    : fast, SIF path, AWFC path\n" +
                                Rule + "\n" + "\n";

const std::string Usage_Text =
    "Usage: qor.exe [-hcev1] [input filename/wildcard] [output extension]\n"
    "  -h : print this help message\n"
    "  -c : compress files\n"
    "  -e : expand files\n"
    "  -v : verbose\n"
    "  -1 : fast\n"
    "\n"
    "If no output extension is given:\n"
    " \"qor\" is default for compression\n"
    " \"exp\" is default for expansion\n"
    "\n"
    "Examples:\n"
    "  qor.exe -c1 autoexec.bat qor\n"
    "  qor.exe -e  autoexec.qor bat\n"
    "  qor.exe -cv *.exe        qor\n";

const std::string Not_Found_Text = "File not found. Program execution terminated!\n";
const std::string CRC_Text = "CRC is not valid. Program execution terminated!\n";

std::vector<std::string> Lines_Of(const std::string& Text) {
  std::vector<std::string> Lines;
  size_t Start = 0;
  while (Start < Text.size()) {
    const size_t End = Text.find('\n', Start);
    if (End == std::string::npos) {
      Lines.push_back(Text.substr(Start));
      break;
    }
    Lines.push_back(Text.substr(Start, End - Start));
    Start = End + 1;
  }
  return Lines;
}

// A time line: label, a 17-character field with three decimals, " s".
void Expect_Time_Line(const std::string& Line, const std::string& Label) {
  EXPECT_TRUE(std::regex_match(Line, std::regex(Label + " *[0-9]+\\.[0-9]{3} s"))) << Line;
  EXPECT_EQ(Line.size(), Label.size() + 17 + 2) << Line;
}

// The regular files of a directory in the order the directory lists them,
// which is the order qor processes them in.
std::vector<std::string> Directory_Order(const T_Temp_Dir& Dir) {
  std::vector<std::string> Names;
  for (const auto& Entry : std::filesystem::directory_iterator(Dir.Path())) {
    if (Entry.is_regular_file()) Names.push_back(Entry.path().filename().string());
  }
  return Names;
}

// Stdout after the banner, for runs that print no usage text.
std::string After_Banner(const T_Process_Result& Result) {
  EXPECT_EQ(Result.Out.substr(0, Banner_Text.size()), Banner_Text);
  return Result.Out.substr(std::min(Banner_Text.size(), Result.Out.size()));
}

// The totals of non-verbose runs of empty files, the time masked.
void Expect_Empty_Totals(const std::vector<std::string>& Lines, size_t First, int Files) {
  ASSERT_EQ(Lines.size(), First + 6);
  char Count[64];
  std::snprintf(Count, sizeof Count, "Number of files           : %13d", Files);
  EXPECT_EQ(Lines[First], Count);
  EXPECT_EQ(Lines[First + 1], "Total input size          :             0 bytes");
  EXPECT_EQ(Lines[First + 2], "Total output size         :             0 bytes");
  EXPECT_EQ(Lines[First + 3], "Average compression rate  :             0.000 bps");
  Expect_Time_Line(Lines[First + 4], "Total time                : ");
  EXPECT_EQ(Lines[First + 5], Rule);
}

}  // namespace

// ---------------------------------------------------------------- help and messages

TEST(Command_Line, NoArgumentsPrintsBannerAndUsage) {
  T_Temp_Dir Dir;
  const T_Process_Result Result = Run_QOR({}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  EXPECT_EQ(Result.Out, Banner_Text + Usage_Text);
  EXPECT_EQ(Result.Err, "");
  EXPECT_TRUE(std::filesystem::is_empty(Dir.Path()));
}

TEST(Command_Line, UnknownOptionLetterMeansHelp) {
  T_Temp_Dir Dir;
  Dir.Write("x", "");
  const T_Process_Result Result = Run_QOR({"-xc", "x"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  EXPECT_EQ(Result.Out, Banner_Text + Usage_Text);
  EXPECT_FALSE(Dir.Exists("x.qor"));
}

// A first argument of exactly --help or --version: no banner, exit 0. Any
// other long form is still an option group that sets nothing.
TEST(Command_Line, LongHelpAndVersion) {
  T_Temp_Dir Dir;
  const std::vector<std::pair<std::vector<std::string>, std::string>> Cases = {
      {{"--help"}, Usage_Text},
      {{"--version"}, "qor 2.4\n"},
      {{"--HELP"}, Banner_Text + Usage_Text},
      {{"-c", "--version"}, Banner_Text + Not_Found_Text},
  };
  for (const auto& [Arguments, Expected] : Cases) {
    const T_Process_Result Result = Run_QOR(Arguments, Dir.Dir());
    EXPECT_EQ(Result.Out, Expected) << Arguments.back();
    EXPECT_EQ(Result.Exit_Code, Expected.find("not found") == std::string::npos ? 0 : 1) << Arguments.back();
  }
  EXPECT_NE(Banner_Text.find("Version                   : 2.4\n"), std::string::npos);
}

TEST(Command_Line, CompressAloneFindsNoFile) {
  T_Temp_Dir Dir;
  Dir.Write("a.txt", "");
  const T_Process_Result Result = Run_QOR({"-c"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 1);
  EXPECT_EQ(Result.Out, Banner_Text + Not_Found_Text);
  EXPECT_EQ(Result.Err, "qor: no file name or wildcard given\n");
}

TEST(Command_Line, NoMatchEndsBeforeExpansionAndTotals) {
  T_Temp_Dir Dir;
  const T_Process_Result Result = Run_QOR({"-cev", "*.none"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 1);
  EXPECT_EQ(Result.Out, Banner_Text + Not_Found_Text);
  EXPECT_EQ(Result.Err, "qor: *.none: no file matches\n");
}

TEST(Command_Line, DirectoryNameMatchesNothing) {
  T_Temp_Dir Dir;
  std::filesystem::create_directory(Dir / "sub");
  const T_Process_Result Result = Run_QOR({"-c", "sub"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 1);
  EXPECT_EQ(Result.Out, Banner_Text + Not_Found_Text);
}

TEST(Command_Line, HelpThenCompression) {
  T_Temp_Dir Dir;
  Dir.Write("x", "");
  const T_Process_Result Result = Run_QOR({"-h", "-c", "x"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  ASSERT_EQ(Result.Out.substr(0, Banner_Text.size() + Usage_Text.size()), Banner_Text + Usage_Text);
  const std::vector<std::string> Lines = Lines_Of(Result.Out.substr(Banner_Text.size() + Usage_Text.size()));
  ASSERT_FALSE(Lines.empty());
  EXPECT_EQ(Lines[0], "Compressing    1 files  \b-\rNumber of files           :             1");
  EXPECT_TRUE(Dir.Exists("x.qor"));
}

// ---------------------------------------------------------------- names and extensions

TEST(Command_Line, ExpandWithGivenExtension) {
  T_Temp_Dir Dir;
  Dir.Write("data.qor", "");
  const T_Process_Result Result = Run_QOR({"-e", "data.qor", "txt"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  EXPECT_TRUE(Dir.Exists("data.txt"));
  EXPECT_FALSE(Dir.Exists("data.exp"));
  EXPECT_EQ(Dir.Read("data.txt"), "");
}

TEST(Command_Line, OptionAfterExtensionRestoresDefault) {
  T_Temp_Dir Dir;
  Dir.Write("file.txt", "");
  const T_Process_Result Result = Run_QOR({"file.txt", "out", "-c"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  EXPECT_TRUE(Dir.Exists("file.qor"));
  EXPECT_FALSE(Dir.Exists("file.out"));
}

TEST(Command_Line, InputNameKeepsItsCaseExtensionIsLowerCased) {
  T_Temp_Dir Dir;
  Dir.Write("Report.TXT", "");
  const T_Process_Result Result = Run_QOR({"-CV", "Report.TXT", "QQ"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  EXPECT_NE(Result.Out.find("Compressing Report.TXT to Report.qq\n"), std::string::npos) << Result.Out;
  EXPECT_TRUE(Dir.Exists("Report.qq"));
}

TEST(Command_Line, WildcardIgnoresCaseAndKeepsTheDirectoryPart) {
  T_Temp_Dir Dir;
  std::filesystem::create_directory(Dir / "Sub");
  Dir.Write("Sub/A.TXT", "");
  Dir.Write("Sub/b.txt", "");
  Dir.Write("Sub/c.dat", "");
  const T_Process_Result Result = Run_QOR({"-c", "Sub/*.txt"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  EXPECT_TRUE(Dir.Exists("Sub/A.qor"));
  EXPECT_TRUE(Dir.Exists("Sub/b.qor"));
  EXPECT_FALSE(Dir.Exists("Sub/c.qor"));
  EXPECT_NE(Result.Out.find("Number of files           :             2\n"), std::string::npos);
}

TEST(Command_Line, ArgumentsBeyondTheSixthAreIgnored) {
  T_Temp_Dir Dir;
  Dir.Write("a.txt", "");
  const T_Process_Result Result = Run_QOR({"a.txt", "b", "c", "d", "e", "f", "-c"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  EXPECT_EQ(Result.Out, Banner_Text + Usage_Text);
  EXPECT_FALSE(Dir.Exists("a.qor"));
  EXPECT_FALSE(Dir.Exists("a.f"));
}

// ---------------------------------------------------------------- reports

TEST(Command_Line, VerboseCompressionReportOfEmptyFiles) {
  T_Temp_Dir Dir;
  Dir.Write("one.txt", "");
  Dir.Write("two.txt", "");
  const std::vector<std::string> Order = Directory_Order(Dir);
  const T_Process_Result Result = Run_QOR({"-cv", "*.txt"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  EXPECT_EQ(Result.Err, "");
  const std::vector<std::string> Lines = Lines_Of(After_Banner(Result));
  ASSERT_EQ(Lines.size(), 2 * 6 + 2 + 6u) << Result.Out;
  for (size_t File = 0; File < 2; ++File) {
    const std::string Stem = Order[File].substr(0, Order[File].size() - 4);
    const size_t L = File * 6;
    EXPECT_EQ(Lines[L], "Compressing " + Order[File] + " to " + Stem + ".qor");
    // An empty file codes no block: the flags are those the phase started with.
    EXPECT_EQ(Lines[L + 1], "stages                    : BWT - RLE_BIT0 - AWFC - RLE_BIT1 - AC");
    EXPECT_EQ(Lines[L + 2], "Input size                :             0 bytes");
    EXPECT_EQ(Lines[L + 3], "Output size               :             0 bytes");
    // No rate line for an empty file.
    Expect_Time_Line(Lines[L + 4], "Compression time          : ");
    EXPECT_EQ(Lines[L + 5], "");
    EXPECT_EQ(Dir.Read(Stem + ".qor"), "");
  }
  EXPECT_EQ(Lines[12], Rule);
  EXPECT_EQ(Lines[13], "");
  Expect_Empty_Totals(Lines, 14, 2);
}

TEST(Command_Line, VerboseFastCompressionNamesTheFastChain) {
  T_Temp_Dir Dir;
  Dir.Write("e.bin", "");
  const T_Process_Result Result = Run_QOR({"-cv1", "e.bin"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  const std::vector<std::string> Lines = Lines_Of(After_Banner(Result));
  ASSERT_GE(Lines.size(), 2u);
  EXPECT_EQ(Lines[0], "Compressing e.bin to e.qor");
  EXPECT_EQ(Lines[1], "stages                    : BWT - RLE_EXP - MTF - AC");
}

TEST(Command_Line, VerboseExpansionReportOfAnEmptyFile) {
  T_Temp_Dir Dir;
  Dir.Write("e.qor", "");
  const T_Process_Result Result = Run_QOR({"-ev", "e.qor"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  const std::vector<std::string> Lines = Lines_Of(After_Banner(Result));
  ASSERT_EQ(Lines.size(), 7 + 2 + 6u) << Result.Out;
  EXPECT_EQ(Lines[0], "Expanding e.qor to e.exp");
  EXPECT_EQ(Lines[1], "stages                    : AC - RLE_BIT1 - AWFC - RLE_BIT0 - BWT");
  EXPECT_EQ(Lines[2], "Input size                :             0 bytes");
  EXPECT_EQ(Lines[3], "Output size               :             0 bytes");
  Expect_Time_Line(Lines[4], "Expansion time            : ");
  EXPECT_EQ(Lines[5], "CRC is valid");
  EXPECT_EQ(Lines[6], "");
  EXPECT_EQ(Lines[7], Rule);
  EXPECT_EQ(Lines[8], "");
  Expect_Empty_Totals(Lines, 9, 1);
  EXPECT_TRUE(Dir.Exists("e.exp"));
}

// Both phases read a.txt and write a.exp (the extension set last): the
// expansion must not destroy what the compression just made.
TEST(Command_Line, BothPhasesUseTheSameNamesAndTheLastExtension) {
  T_Temp_Dir Dir;
  Dir.Write("a.txt", "");
  const T_Process_Result Result = Run_QOR({"-cev", "a.txt"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 1);
  const std::vector<std::string> Lines = Lines_Of(After_Banner(Result));
  ASSERT_EQ(Lines.size(), 6 + 1u) << Result.Out;
  EXPECT_EQ(Lines[0], "Compressing a.txt to a.exp");
  EXPECT_EQ(Lines[6], "Expanding a.txt to a.exp");
  EXPECT_EQ(Result.Err, "qor: a.exp: output would overwrite a file of this run\n");
  EXPECT_TRUE(Dir.Exists("a.exp"));
}

TEST(Command_Line, SpinnerTurnsOncePerFileThenTotalsOverwriteTheLine) {
  T_Temp_Dir Dir;
  for (const char* Name : {"1.txt", "2.txt", "3.txt", "4.txt", "5.txt"}) Dir.Write(Name, "");
  const T_Process_Result Result = Run_QOR({"-c", "*.txt"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  const std::string Rest = After_Banner(Result);
  const std::string Progress = "Compressing    5 files  \b-\b\\\b|\b/\b-\r";
  ASSERT_EQ(Rest.substr(0, Progress.size()), Progress);
  Expect_Empty_Totals(Lines_Of(Rest.substr(Progress.size())), 0, 5);
  for (const char* Name : {"1.qor", "2.qor", "3.qor", "4.qor", "5.qor"}) EXPECT_TRUE(Dir.Exists(Name)) << Name;
}

TEST(Command_Line, NonVerboseExpansionCountLine) {
  T_Temp_Dir Dir;
  Dir.Write("a.qor", "");
  const T_Process_Result Result = Run_QOR({"-e", "a.qor"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 0);
  const std::string Rest = After_Banner(Result);
  const std::string Progress = "Expanding    1 files  \b-\r";
  ASSERT_EQ(Rest.substr(0, Progress.size()), Progress);
  Expect_Empty_Totals(Lines_Of(Rest.substr(Progress.size())), 0, 1);
}

// ---------------------------------------------------------------- failures

TEST(Command_Line, OutputThatCannotBeCreatedEndsWithExitOne) {
  T_Temp_Dir Dir;
  Dir.Write("a.txt", "");
  // A directory where the output should go: creation fails even for a superuser.
  std::filesystem::create_directory(Dir / "a.qor");
  const T_Process_Result Result = Run_QOR({"-c", "a.txt"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 1);
  // The open progress line is ended before the message.
  EXPECT_EQ(Result.Out, Banner_Text + "Compressing    1 files  \b-\n");
  EXPECT_TRUE(std::regex_match(Result.Err, std::regex("qor: a\\.qor: [^\n]+\n"))) << Result.Err;
}

TEST(Command_Line, OutputInAReadOnlyDirectoryEndsWithExitOne) {
  if (::geteuid() == 0) GTEST_SKIP() << "a superuser may write anywhere";
  T_Temp_Dir Dir;
  std::filesystem::create_directory(Dir / "ro");
  Dir.Write("ro/a.txt", "");
  std::filesystem::permissions(Dir / "ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  const T_Process_Result Result = Run_QOR({"-cv", "ro/a.txt"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 1);
  EXPECT_EQ(Result.Out, Banner_Text + "Compressing ro/a.txt to ro/a.qor\n");
  EXPECT_TRUE(std::regex_match(Result.Err, std::regex("qor: ro/a\\.qor: [^\n]+\n"))) << Result.Err;
}

TEST(Command_Line, UnreadableInputEndsWithExitOne) {
  if (::geteuid() == 0) GTEST_SKIP() << "a superuser may read anything";
  T_Temp_Dir Dir;
  Dir.Write("a.txt", "secret");
  std::filesystem::permissions(Dir / "a.txt", std::filesystem::perms::none);
  const T_Process_Result Result = Run_QOR({"-c", "a.txt"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 1);
  EXPECT_TRUE(std::regex_match(Result.Err, std::regex("qor: a\\.txt: [^\n]+\n"))) << Result.Err;
  EXPECT_FALSE(Dir.Exists("a.qor"));
}

TEST(Command_Line, OutputThatIsTheInputThroughALinkIsRefused) {
  T_Temp_Dir Dir;
  Dir.Write("a.txt", "keep me");
  std::filesystem::create_symlink("a.txt", Dir / "a.qor");
  const T_Process_Result Result = Run_QOR({"-c", "a.txt"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 1);
  EXPECT_TRUE(std::regex_match(Result.Err, std::regex("qor: a\\.qor: [^\n]+\n"))) << Result.Err;
  EXPECT_EQ(Dir.Read("a.txt"), "keep me");
}

TEST(Command_Line, ForeignCompressedFileIsADamagedBlock) {
  T_Temp_Dir Dir;
  // Header length 5: no block starts like this.
  Dir.Write("junk.qor", std::string("\x05\x01\x02\x03\x04\x05\x06\x07", 8));
  const T_Process_Result Result = Run_QOR({"-e", "junk.qor"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 2);
  EXPECT_EQ(Result.Out, Banner_Text + "Expanding    1 files  \b-\n" + CRC_Text);
  EXPECT_EQ(Dir.Read("junk.exp"), "");
}

TEST(Command_Line, DamagedBlockInVerboseModeFollowsTheMessageLine) {
  T_Temp_Dir Dir;
  // A complete fast header whose payload length runs past the end of the file.
  Dir.Write("cut.qor", std::string("\x0c\x01\x00\x00\x00\x00\x00\x00\x00\x10\x00\x00", 12));
  const T_Process_Result Result = Run_QOR({"-ev", "cut.qor", "out"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 2);
  EXPECT_EQ(Result.Out, Banner_Text + "Expanding cut.qor to cut.out\n\n" + CRC_Text);
  EXPECT_EQ(Dir.Read("cut.out"), "");
}
