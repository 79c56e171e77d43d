// The driver's library parts: command-line parsing, output names, number formats,
// file search and sizes, stages lines.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <filesystem>
#include <string>
#include <vector>

#include "main/QOR_Global_Unit.h"
#include "main/QOR_IO_Unit.h"
#include "qor_process.h"

namespace {

T_QOR_Settings Parse(const std::vector<std::string>& Arguments) {
  T_QOR_Settings Settings;
  T_QOR_IO().Parse_Command_Line(Settings, Arguments);
  return Settings;
}

std::string Flags_Of(const T_QOR_Settings& S) {
  std::string Flags;
  if (S.Help) Flags += 'h';
  if (S.Compress) Flags += 'c';
  if (S.Expand) Flags += 'e';
  if (S.Verbose) Flags += 'v';
  if (S.Fast) Flags += '1';
  return Flags;
}

}  // namespace

// ---------------------------------------------------------------- parsing

TEST(Parse, NoArgumentsAsksForHelpOnly) {
  const T_QOR_Settings S = Parse({});
  EXPECT_EQ(Flags_Of(S), "h");
  EXPECT_EQ(S.Input_Name, "");
  EXPECT_EQ(S.Extension, "");
}

TEST(Parse, SingleOptionsAndTheirDefaultExtensions) {
  EXPECT_EQ(Flags_Of(Parse({"-h"})), "h");
  EXPECT_EQ(Parse({"-h"}).Extension, "");
  EXPECT_EQ(Flags_Of(Parse({"-c"})), "c");
  EXPECT_EQ(Parse({"-c"}).Extension, "qor");
  EXPECT_EQ(Flags_Of(Parse({"-e"})), "e");
  EXPECT_EQ(Parse({"-e"}).Extension, "exp");
  // Verbose or fast alone select no phase, so help follows.
  EXPECT_EQ(Flags_Of(Parse({"-v"})), "hv");
  EXPECT_EQ(Flags_Of(Parse({"-1"})), "h1");
}

TEST(Parse, LettersCombineInAnyOrderWithinAGroup) {
  EXPECT_EQ(Flags_Of(Parse({"-c1"})), "c1");
  EXPECT_EQ(Flags_Of(Parse({"-cv"})), "cv");
  EXPECT_EQ(Flags_Of(Parse({"-ev"})), "ev");
  EXPECT_EQ(Flags_Of(Parse({"-hcev1"})), "hcev1");
  EXPECT_EQ(Flags_Of(Parse({"-1vech"})), "hcev1");
  EXPECT_EQ(Flags_Of(Parse({"-c", "-v", "-1"})), "cv1");
}

TEST(Parse, OptionLettersAreCaseInsensitive) {
  EXPECT_EQ(Flags_Of(Parse({"-C"})), "c");
  EXPECT_EQ(Flags_Of(Parse({"-CV1"})), "cv1");
  EXPECT_EQ(Flags_Of(Parse({"-eH"})), "he");
}

TEST(Parse, UnknownLetterStopsTheRestOfItsGroupSilently) {
  EXPECT_EQ(Flags_Of(Parse({"-xc"})), "h");
  EXPECT_EQ(Parse({"-xc"}).Extension, "");
  EXPECT_EQ(Flags_Of(Parse({"-cxe"})), "c");
  EXPECT_EQ(Parse({"-cxe"}).Extension, "qor");
  EXPECT_EQ(Flags_Of(Parse({"-v-c"})), "hv");
  // Only the next group is read again.
  EXPECT_EQ(Flags_Of(Parse({"-xc", "-e"})), "e");
  EXPECT_EQ(Flags_Of(Parse({"-"})), "h");
}

TEST(Parse, LastOfCompressAndExpandDecidesTheExtension) {
  // Within a round the letters are tested in the order h c e v 1.
  EXPECT_EQ(Parse({"-ce"}).Extension, "exp");
  EXPECT_EQ(Parse({"-ec"}).Extension, "qor");
  EXPECT_EQ(Flags_Of(Parse({"-ec"})), "ce");
  EXPECT_EQ(Parse({"-c", "-e"}).Extension, "exp");
  EXPECT_EQ(Parse({"-e", "-c"}).Extension, "qor");
}

TEST(Parse, GroupIsReadInSixRoundsOverAtMostSixFollowingCharacters) {
  // Six rounds: five leading e's leave "-c" for round six; six leave it unread.
  const T_QOR_Settings Five = Parse({"-eeeeec"});
  EXPECT_EQ(Flags_Of(Five), "ce");
  EXPECT_EQ(Five.Extension, "qor");
  const T_QOR_Settings Six = Parse({"-eeeeeec"});
  EXPECT_EQ(Flags_Of(Six), "e");
  EXPECT_EQ(Six.Extension, "exp");
  // Taking a letter keeps at most six characters after the dash: the first h
  // taken cuts off the e, so the c read in round six is the last letter.
  const T_QOR_Settings Cut = Parse({"-hhhhhhce"});
  EXPECT_EQ(Flags_Of(Cut), "hc");
  EXPECT_EQ(Cut.Extension, "qor");
  EXPECT_EQ(Flags_Of(Parse({"-hhhhhc"})), "hc");
}

TEST(Parse, FirstPositionalIsTheInputNameAsTyped) {
  const T_QOR_Settings S = Parse({"-c", "Data/Report.TXT"});
  EXPECT_EQ(S.Input_Name, "Data/Report.TXT");
  EXPECT_EQ(S.Extension, "qor");
}

TEST(Parse, LaterPositionalsReplaceTheExtensionLowerCased) {
  const T_QOR_Settings S = Parse({"-e", "data.qor", "TXT"});
  EXPECT_EQ(Flags_Of(S), "e");
  EXPECT_EQ(S.Input_Name, "data.qor");
  EXPECT_EQ(S.Extension, "txt");
  const T_QOR_Settings T = Parse({"-c", "a", "b", "C"});
  EXPECT_EQ(T.Input_Name, "a");
  EXPECT_EQ(T.Extension, "c");
}

TEST(Parse, OptionAfterTheExtensionRestoresTheDefault) {
  const T_QOR_Settings S = Parse({"file.txt", "out", "-c"});
  EXPECT_EQ(S.Input_Name, "file.txt");
  EXPECT_EQ(S.Extension, "qor");
  EXPECT_EQ(Parse({"-c", "file.txt", "out"}).Extension, "out");
  EXPECT_EQ(Parse({"file.txt", "out", "-v"}).Extension, "out");
}

TEST(Parse, HelpAndCompressionTogether) {
  const T_QOR_Settings S = Parse({"-h", "-c", "x"});
  EXPECT_EQ(Flags_Of(S), "hc");
  EXPECT_EQ(S.Input_Name, "x");
}

TEST(Parse, OnlyTheFirstSixArgumentsCount) {
  const T_QOR_Settings S = Parse({"a", "b", "c", "d", "e", "f", "-c", "g"});
  EXPECT_EQ(Flags_Of(S), "h");
  EXPECT_EQ(S.Input_Name, "a");
  EXPECT_EQ(S.Extension, "f");
  EXPECT_EQ(Flags_Of(Parse({"a", "b", "c", "d", "e", "-c"})), "c");
}

TEST(Parse, EmptyArgumentsAreSkippedButCountAmongTheSix) {
  const T_QOR_Settings S = Parse({"", "-c", "", "x"});
  EXPECT_EQ(Flags_Of(S), "c");
  EXPECT_EQ(S.Input_Name, "x");
  EXPECT_EQ(Flags_Of(Parse({"", "", "", "", "", "", "-c"})), "h");
}

TEST(Parse, ResetsSettingsFilledBefore) {
  T_QOR_Settings S;
  S.Compress = true;
  S.Fast = true;
  S.Input_Name = "old";
  S.Extension = "old";
  T_QOR_IO().Parse_Command_Line(S, {"-e"});
  EXPECT_EQ(Flags_Of(S), "e");
  EXPECT_EQ(S.Input_Name, "");
  EXPECT_EQ(S.Extension, "exp");
}

// ---------------------------------------------------------------- output names

TEST(Output_Name, ReplacesTheExtensionOfTheLastComponent) {
  EXPECT_EQ(Output_Name("readme.txt", "qor"), "readme.qor");
  EXPECT_EQ(Output_Name("archive.tar.gz", "qor"), "archive.tar.qor");
  EXPECT_EQ(Output_Name("data.qor", "exp"), "data.exp");
  EXPECT_EQ(Output_Name("data.qor", "txt"), "data.txt");
  EXPECT_EQ(Output_Name("Mixed.CASE.Txt", "qor"), "Mixed.CASE.qor");
}

TEST(Output_Name, FinalDotKeepsTheDot) { EXPECT_EQ(Output_Name("notes.", "qor"), "notes.qor"); }

TEST(Output_Name, NameWithoutDotGetsOne) {
  EXPECT_EQ(Output_Name("makefile", "qor"), "makefile.qor");
  EXPECT_EQ(Output_Name("x", "exp"), "x.exp");
}

TEST(Output_Name, DotsInTheDirectoryPartDoNotCount) {
  EXPECT_EQ(Output_Name("dir.d/file", "qor"), "dir.d/file.qor");
  EXPECT_EQ(Output_Name("./file", "qor"), "./file.qor");
  EXPECT_EQ(Output_Name("../up/file", "qor"), "../up/file.qor");
  EXPECT_EQ(Output_Name("dir.d/file.txt", "qor"), "dir.d/file.qor");
  EXPECT_EQ(Output_Name("/abs.x/y.z/name.bin", "qor"), "/abs.x/y.z/name.qor");
}

TEST(Output_Name, NeverTheInputItself) {
  EXPECT_EQ(Output_Name("a.qor", "qor"), "a.qor.qor");
  EXPECT_EQ(Output_Name("dir/a.qor", "qor"), "dir/a.qor.qor");
  EXPECT_EQ(Output_Name("a.qor.qor", "qor"), "a.qor.qor.qor");
  EXPECT_EQ(Output_Name("b.exp", "exp"), "b.exp.exp");
}

TEST(Output_Name, LeadingDotIsTheExtensionDot) { EXPECT_EQ(Output_Name("dir/.profile", "qor"), "dir/.qor"); }

// ---------------------------------------------------------------- number formats

TEST(Number_Format, GroupedIntegersInTheirField) {
  const T_QOR_Number_Format F;
  EXPECT_EQ(Format_Number(1234, 4, 0, F), "1,234");
  EXPECT_EQ(Format_Number(3, 4, 0, F), "   3");
  EXPECT_EQ(Format_Number(5242880, 13, 0, F), "    5,242,880");
  EXPECT_EQ(Format_Number(0, 13, 0, F), "            0");
  EXPECT_EQ(Format_Number(999, 4, 0, F), " 999");
  EXPECT_EQ(Format_Number(1000, 4, 0, F), "1,000");
  EXPECT_EQ(Format_Number(100000, 4, 0, F), "100,000");
  EXPECT_EQ(Format_Number(4294967296.0 * 2, 13, 0, F), "8,589,934,592");
  EXPECT_EQ(Format_Number(1e15, 13, 0, F), "1,000,000,000,000,000");
  EXPECT_EQ(Format_Number(-1234567, 13, 0, F), "   -1,234,567");
}

TEST(Number_Format, GroupedWithDecimals) {
  const T_QOR_Number_Format F;
  EXPECT_EQ(Format_Number(1234567.125, 0, 3, F), "1,234,567.125");
  EXPECT_EQ(Format_Number(12.5, 8, 2, F), "   12.50");
}

TEST(Number_Format, FixedPointIsNotGrouped) {
  const T_QOR_Number_Format F;
  EXPECT_EQ(Format_Fixed(2.5, 17, 3, F), "            2.500");
  EXPECT_EQ(Format_Fixed(0, 17, 3, F), "            0.000");
  EXPECT_EQ(Format_Fixed(1234567.0625, 17, 3, F), "      1234567.062");
  EXPECT_EQ(Format_Fixed(2.0 / 3.0, 17, 3, F), "            0.667");
  EXPECT_EQ(Format_Fixed(8.0, 17, 3, F).size(), 17u);
  EXPECT_EQ(Format_Fixed(1e20, 17, 3, F), "100000000000000000000.000");
}

TEST(Number_Format, SeparatorsComeFromTheFormat) {
  const T_QOR_Number_Format German{".", ","};
  EXPECT_EQ(Format_Number(5242880, 13, 0, German), "    5.242.880");
  EXPECT_EQ(Format_Fixed(2.5, 17, 3, German), "            2,500");
  EXPECT_EQ(Format_Number(1234.5, 0, 1, German), "1.234,5");
  // A separator of several bytes (U+202F) is one character of the field.
  const T_QOR_Number_Format French{"\u202f", ","};
  EXPECT_EQ(Format_Number(5242880, 13, 0, French), "    5\u202f242\u202f880");
}

TEST(Number_Format, NonFiniteValuesAreShownNotGrouped) {
  const T_QOR_Number_Format F;
  EXPECT_EQ(Format_Fixed(1.0 / 0.0, 17, 3, F), "              inf");
}

TEST(Number_Format, CLocaleFallsBackToCommaAndPoint) {
  const std::string Saved = std::setlocale(LC_NUMERIC, nullptr);
  std::setlocale(LC_NUMERIC, "C");
  const T_QOR_Number_Format F = Locale_Number_Format();
  std::setlocale(LC_NUMERIC, Saved.c_str());
  EXPECT_EQ(F.Thousands_Separator, ",");
  EXPECT_EQ(F.Decimal_Separator, ".");
}

TEST(Number_Format, LocaleSeparatorsAreUsedWhereDefined) {
  const std::string Saved = std::setlocale(LC_NUMERIC, nullptr);
  const char* Candidates[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8"};
  const char* Found = nullptr;
  for (const char* Name : Candidates) {
    if (std::setlocale(LC_NUMERIC, Name) != nullptr) {
      Found = Name;
      break;
    }
  }
  if (Found == nullptr) {
    std::setlocale(LC_NUMERIC, Saved.c_str());
    GTEST_SKIP() << "no locale with a decimal comma installed";
  }
  const std::string Expected_Thousands = std::localeconv()->thousands_sep;
  const T_QOR_Number_Format F = Locale_Number_Format();
  std::setlocale(LC_NUMERIC, Saved.c_str());
  EXPECT_EQ(F.Decimal_Separator, ",");
  EXPECT_EQ(F.Thousands_Separator, Expected_Thousands) << Found;
}

// ---------------------------------------------------------------- wildcards

TEST(Wildcard, LiteralNamesMatchIgnoringCase) {
  EXPECT_TRUE(Wildcard_Matches("readme.txt", "readme.txt"));
  EXPECT_TRUE(Wildcard_Matches("README.TXT", "readme.txt"));
  EXPECT_TRUE(Wildcard_Matches("readme.txt", "ReadMe.Txt"));
  EXPECT_FALSE(Wildcard_Matches("readme.txt", "readme.txt2"));
  EXPECT_FALSE(Wildcard_Matches("readme.txt", "readme.tx"));
}

TEST(Wildcard, StarMatchesAnyRunIncludingNone) {
  EXPECT_TRUE(Wildcard_Matches("*.txt", "a.txt"));
  EXPECT_TRUE(Wildcard_Matches("*.txt", ".txt"));
  EXPECT_TRUE(Wildcard_Matches("*.TXT", "b.txt"));
  EXPECT_FALSE(Wildcard_Matches("*.txt", "a.txt.bak"));
  EXPECT_FALSE(Wildcard_Matches("*.txt", "txt"));
  EXPECT_TRUE(Wildcard_Matches("*", ".hidden"));
  EXPECT_TRUE(Wildcard_Matches("a*b*c", "aXbYbZc"));
  EXPECT_FALSE(Wildcard_Matches("a*b*c", "aXbYbZ"));
  EXPECT_TRUE(Wildcard_Matches("*x", "xxx"));
  EXPECT_TRUE(Wildcard_Matches("**", "anything"));
}

TEST(Wildcard, QuestionMarkMatchesExactlyOneCharacter) {
  EXPECT_TRUE(Wildcard_Matches("a?c", "abc"));
  EXPECT_FALSE(Wildcard_Matches("a?c", "ac"));
  EXPECT_FALSE(Wildcard_Matches("a?c", "abbc"));
  // One character even when it takes several bytes.
  EXPECT_TRUE(Wildcard_Matches("?.txt", "\u00e9.txt"));
  EXPECT_FALSE(Wildcard_Matches("??.txt", "\u00e9.txt"));
  EXPECT_TRUE(Wildcard_Matches("*?.txt", "\u00e9.txt"));
  EXPECT_FALSE(Wildcard_Matches("*??.txt", "\u00e9.txt"));
}

TEST(Wildcard, TrailingDotStarAlsoMatchesNamesWithoutDot) {
  EXPECT_TRUE(Wildcard_Matches("*.*", "makefile"));
  EXPECT_TRUE(Wildcard_Matches("*.*", "a.b"));
  EXPECT_TRUE(Wildcard_Matches("a.*", "a"));
  EXPECT_TRUE(Wildcard_Matches("a.*", "a.txt"));
  EXPECT_FALSE(Wildcard_Matches("a.*", "ab"));
  EXPECT_FALSE(Wildcard_Matches("*.t*", "makefile"));
}

// ---------------------------------------------------------------- file search

namespace {

// The tree the search tests look at, with every kind of entry the search must sort out.
class Find_Files : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    Dir.Write("a.txt", "a");
    Dir.Write("B.TXT", "bb");
    Dir.Write("c.dat", "ccc");
    Dir.Write(".hidden.txt", "");
    Dir.Write("makefile", "");
    fs::create_directory(Dir / "sub.txt");
    Dir.Write("sub.txt/inner.txt", "inner");
    fs::create_symlink("a.txt", Dir / "link.txt");
    fs::create_symlink("missing", Dir / "dead.txt");
    fs::create_directory_symlink("sub.txt", Dir / "dirlink.txt");
    ASSERT_EQ(::mkfifo((Dir / "pipe.txt").c_str(), 0600), 0);
  }

  std::vector<std::string> Found(const std::string& Pattern) const {
    std::vector<std::string> List;
    T_QOR_IO().Find_Files(Pattern, List);
    return List;
  }

  std::vector<std::string> Sorted_Found(const std::string& Pattern) const {
    std::vector<std::string> List = Found(Pattern);
    std::sort(List.begin(), List.end());
    return List;
  }

  std::string Prefix() const { return Dir.Dir() + "/"; }

  qor_test::T_Temp_Dir Dir;
};

}  // namespace

TEST_F(Find_Files, ListsRegularFilesHiddenOnesAndLinksToFiles) {
  const std::string P = Prefix();
  EXPECT_EQ(Sorted_Found(P + "*.txt"),
            (std::vector<std::string>{P + ".hidden.txt", P + "B.TXT", P + "a.txt", P + "link.txt"}));
}

TEST_F(Find_Files, StarDotStarListsEveryFileWithOrWithoutDot) {
  const std::string P = Prefix();
  EXPECT_EQ(Sorted_Found(P + "*.*"), (std::vector<std::string>{P + ".hidden.txt", P + "B.TXT", P + "a.txt", P + "c.dat",
                                                               P + "link.txt", P + "makefile"}));
}

TEST_F(Find_Files, MatchesIgnoringCase) {
  const std::string P = Prefix();
  EXPECT_EQ(Found(P + "b.txt"), (std::vector<std::string>{P + "B.TXT"}));
  EXPECT_EQ(Found(P + "A.TXT"), (std::vector<std::string>{P + "a.txt"}));
  EXPECT_EQ(Found(P + "?.Dat"), (std::vector<std::string>{P + "c.dat"}));
}

TEST_F(Find_Files, OnlyRegularFilesMatch) {
  EXPECT_TRUE(Found(Prefix() + "sub.txt").empty());
  EXPECT_TRUE(Found(Prefix() + "dirlink.txt").empty());
  EXPECT_TRUE(Found(Prefix() + "dead.txt").empty());
  EXPECT_TRUE(Found(Prefix() + "pipe.txt").empty());
  EXPECT_TRUE(Found(Prefix() + ".").empty());
  EXPECT_TRUE(Found(Prefix() + "..").empty());
}

TEST_F(Find_Files, OnlyTheLastComponentIsAPattern) {
  // The search does not descend: inner.txt is found only through its own directory.
  for (const std::string& Name : Found(Prefix() + "*")) EXPECT_EQ(Name.find("inner"), std::string::npos) << Name;
  EXPECT_EQ(Found(Prefix() + "sub.txt/*"), (std::vector<std::string>{Prefix() + "sub.txt/inner.txt"}));
  EXPECT_TRUE(Found(Prefix() + "sub.*/inner.txt").empty());
}

TEST_F(Find_Files, DirectoryPartIsKeptAsTyped) {
  const std::string Typed = Dir.Dir() + "//./sub.txt/../";
  EXPECT_EQ(Found(Typed + "c.dat"), (std::vector<std::string>{Typed + "c.dat"}));
}

TEST_F(Find_Files, NothingForMissingDirectoriesOrEmptyNames) {
  EXPECT_TRUE(Found(Prefix() + "none/*").empty());
  EXPECT_TRUE(Found(Prefix()).empty());
  EXPECT_TRUE(Found("").empty());
  EXPECT_TRUE(Found(Prefix() + "nothing.here").empty());
}

TEST_F(Find_Files, AppendsInDirectoryOrder) {
  std::vector<std::string> List{"kept"};
  T_QOR_IO().Find_Files(Prefix() + "*", List);
  std::vector<std::string> Expected{"kept"};
  // The directory's own order: the search must not sort.
  for (const auto& Entry : std::filesystem::directory_iterator(Dir.Path())) {
    if (Entry.is_regular_file()) Expected.push_back(Prefix() + Entry.path().filename().string());
  }
  EXPECT_EQ(List, Expected);
}

TEST_F(Find_Files, RelativePatternsSearchTheWorkingDirectory) {
  const std::filesystem::path Saved = std::filesystem::current_path();
  std::filesystem::current_path(Dir.Path());
  const std::vector<std::string> Plain = Found("c.dat");
  const std::vector<std::string> In_Sub = Found("sub.txt/*.TXT");
  std::filesystem::current_path(Saved);
  EXPECT_EQ(Plain, (std::vector<std::string>{"c.dat"}));
  EXPECT_EQ(In_Sub, (std::vector<std::string>{"sub.txt/inner.txt"}));
}

TEST_F(Find_Files, FileSizes) {
  const T_QOR_IO IO;
  EXPECT_EQ(IO.File_Size(Prefix() + "a.txt"), 1);
  EXPECT_EQ(IO.File_Size(Prefix() + "c.dat"), 3);
  EXPECT_EQ(IO.File_Size(Prefix() + ".hidden.txt"), 0);
  EXPECT_EQ(IO.File_Size(Prefix() + "link.txt"), 1);
  EXPECT_EQ(IO.File_Size(Prefix() + "none"), -1);
  EXPECT_EQ(IO.File_Size(Prefix() + "dead.txt"), -1);
}

TEST_F(Find_Files, FileSizesBeyondFourGibibytes) {
  // A sparse file: no disk space is used.
  const std::string Name = Prefix() + "big";
  qor_test::Write_File(Name, "");
  const int64_t Size = (int64_t{1} << 32) + 5;
  ASSERT_EQ(::truncate(Name.c_str(), Size), 0);
  EXPECT_EQ(T_QOR_IO().File_Size(Name), Size);
}

// ---------------------------------------------------------------- stages lines

TEST(Stages_Line, AllSixChains) {
  EXPECT_EQ(Stages_Line(true, true, false), "stages                    : BWT - RLE_EXP - MTF - AC");
  EXPECT_EQ(Stages_Line(true, true, true), "stages                    : BWT - RLE_EXP - MTF - AC");
  EXPECT_EQ(Stages_Line(true, false, true), "stages                    : BWT - RLE_EXP - SIF - AC");
  EXPECT_EQ(Stages_Line(true, false, false), "stages                    : BWT - RLE_BIT0 - AWFC - RLE_BIT1 - AC");
  EXPECT_EQ(Stages_Line(false, true, false), "stages                    : AC - MTF - RLE_EXP BWT");
  EXPECT_EQ(Stages_Line(false, true, true), "stages                    : AC - MTF - RLE_EXP BWT");
  EXPECT_EQ(Stages_Line(false, false, true), "stages                    : AC - SIF - RLE_EXP BWT");
  EXPECT_EQ(Stages_Line(false, false, false), "stages                    : AC - RLE_BIT1 - AWFC - RLE_BIT0 - BWT");
}

TEST(Console_Texts, BannerLabelLinesFollowTheReportLayout) {
  for (const size_t Line : {3u, 4u, 5u}) {
    const std::string_view Text = Banner[Line];
    ASSERT_GT(Text.size(), 28u) << Text;
    const std::string_view Label = Text.substr(0, 26);
    EXPECT_NE(Label.front(), ' ') << Text;
    EXPECT_EQ(Label.find("  "), Label.find_last_not_of(' ') + 1) << "label padded with spaces: " << Text;
    EXPECT_EQ(Text.substr(26, 2), ": ") << Text;
    EXPECT_NE(Text[28], ' ') << Text;
  }
}
