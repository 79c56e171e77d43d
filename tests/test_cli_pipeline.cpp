// The qor program on files with content: reports with rates, the chains named in
// the stages lines, round trips and a damaged block.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "qor_process.h"

namespace {

using qor_test::Run_QOR;
using qor_test::T_Process_Result;
using qor_test::T_Temp_Dir;

const std::string Rule(68, '_');
constexpr size_t Banner_Lines = 8;

std::vector<std::string> Report_Lines(const T_Process_Result& Result) {
  std::vector<std::string> Lines;
  size_t Start = 0;
  while (Start < Result.Out.size()) {
    const size_t End = Result.Out.find('\n', Start);
    Lines.push_back(Result.Out.substr(Start, End - Start));
    if (End == std::string::npos) break;
    Start = End + 1;
  }
  EXPECT_GE(Lines.size(), Banner_Lines);
  Lines.erase(Lines.begin(), Lines.begin() + static_cast<long>(std::min(Banner_Lines, Lines.size())));
  return Lines;
}

// "%13.0n" in the C locale, written independently of the program: digits grouped by commas.
std::string Count_Field(int64_t Value) {
  std::string Digits = std::to_string(Value);
  for (int Cut = static_cast<int>(Digits.size()) - 3; Cut > 0; Cut -= 3) Digits.insert(static_cast<size_t>(Cut), ",");
  return std::string(Digits.size() < 13 ? 13 - Digits.size() : 0, ' ') + Digits;
}

std::string Figure_Field(double Value) {
  char Text[64];
  std::snprintf(Text, sizeof Text, "%17.3f", Value);
  return Text;
}

void Expect_Time_Line(const std::string& Line, const std::string& Label) {
  EXPECT_TRUE(std::regex_match(Line, std::regex(Label + " *[0-9]+\\.[0-9]{3} s"))) << Line;
  EXPECT_EQ(Line.size(), Label.size() + 17 + 2) << Line;
}

std::string Text_Sample(size_t Size) {
  std::string Text;
  std::mt19937 Random(7);
  const char* Words[] = {"block ", "sorting ", "range ", "coder ", "model ", "stream ", "\n"};
  while (Text.size() < Size) Text += Words[Random() % 7];
  Text.resize(Size);
  return Text;
}

int64_t Size_Of(const T_Temp_Dir& Dir, const std::string& Name) {
  return static_cast<int64_t>(std::filesystem::file_size(Dir / Name));
}

// The six report lines of one compressed file after its message line.
void Expect_Compression_Report(const std::vector<std::string>& Lines, size_t First, const std::string& Stages,
                               int64_t In, int64_t Out) {
  ASSERT_GE(Lines.size(), First + 6);
  EXPECT_EQ(Lines[First], "stages                    : " + Stages);
  EXPECT_EQ(Lines[First + 1], "Input size                : " + Count_Field(In) + " bytes");
  EXPECT_EQ(Lines[First + 2], "Output size               : " + Count_Field(Out) + " bytes");
  EXPECT_EQ(Lines[First + 3], "Compression rate          : " + Figure_Field(double(Out) / double(In) * 8) + " bps");
  Expect_Time_Line(Lines[First + 4], "Compression time          : ");
  EXPECT_EQ(Lines[First + 5], "");
}

void Expect_Expansion_Report(const std::vector<std::string>& Lines, size_t First, const std::string& Stages, int64_t In,
                             int64_t Out) {
  ASSERT_GE(Lines.size(), First + 7);
  EXPECT_EQ(Lines[First], "stages                    : " + Stages);
  EXPECT_EQ(Lines[First + 1], "Input size                : " + Count_Field(In) + " bytes");
  EXPECT_EQ(Lines[First + 2], "Output size               : " + Count_Field(Out) + " bytes");
  EXPECT_EQ(Lines[First + 3], "Compression rate          : " + Figure_Field(double(In) / double(Out) * 8) + " bps");
  Expect_Time_Line(Lines[First + 4], "Expansion time            : ");
  EXPECT_EQ(Lines[First + 5], "CRC is valid");
  EXPECT_EQ(Lines[First + 6], "");
}

}  // namespace

TEST(Command_Line_Pipeline, FastRoundTripReportsLineByLine) {
  T_Temp_Dir Dir;
  const std::string Original = Text_Sample(123457);
  Dir.Write("book.txt", Original);

  const T_Process_Result Packed = Run_QOR({"-cv1", "book.txt"}, Dir.Dir());
  ASSERT_EQ(Packed.Exit_Code, 0) << Packed.Out << Packed.Err;
  const int64_t Compressed = Size_Of(Dir, "book.qor");
  std::vector<std::string> Lines = Report_Lines(Packed);
  ASSERT_EQ(Lines.size(), 7 + 2 + 7u) << Packed.Out;
  EXPECT_EQ(Lines[0], "Compressing book.txt to book.qor");
  Expect_Compression_Report(Lines, 1, "BWT - RLE_EXP - MTF - AC", 123457, Compressed);
  EXPECT_EQ(Lines[7], Rule);
  EXPECT_EQ(Lines[8], "");
  EXPECT_EQ(Lines[9], "Number of files           :             1");
  EXPECT_EQ(Lines[10], "Total input size          : " + Count_Field(123457) + " bytes");
  EXPECT_EQ(Lines[11], "Total output size         : " + Count_Field(Compressed) + " bytes");
  const std::string Rate = Figure_Field(double(Compressed) / 123457 * 8);
  EXPECT_EQ(Lines[12], "Average compression rate  : " + Rate + " bps");
  EXPECT_EQ(Lines[13], "Total compression rate    : " + Rate + " bps");
  Expect_Time_Line(Lines[14], "Total time                : ");
  EXPECT_EQ(Lines[15], Rule);

  const T_Process_Result Unpacked = Run_QOR({"-ev", "book.qor", "out"}, Dir.Dir());
  ASSERT_EQ(Unpacked.Exit_Code, 0) << Unpacked.Out << Unpacked.Err;
  Lines = Report_Lines(Unpacked);
  ASSERT_EQ(Lines.size(), 8 + 2 + 7u) << Unpacked.Out;
  EXPECT_EQ(Lines[0], "Expanding book.qor to book.out");
  Expect_Expansion_Report(Lines, 1, "AC - MTF - RLE_EXP BWT", Compressed, 123457);
  EXPECT_EQ(Lines[14], "Total compression rate    : " + Rate + " bps");
  EXPECT_EQ(Dir.Read("book.out"), Original);
}

TEST(Command_Line_Pipeline, NormalModeNamesTheChainOfTheLastBlock) {
  T_Temp_Dir Dir;
  // Small blocks take the AWFC path, blocks of 262,143 bytes and more the SIF path.
  Dir.Write("small.txt", Text_Sample(1000));
  Dir.Write("large.txt", Text_Sample(300000));
  for (const auto& [Name, Compress_Stages, Expand_Stages] :
       {std::tuple<std::string, std::string, std::string>{"small", "BWT - RLE_BIT0 - AWFC - RLE_BIT1 - AC",
                                                          "AC - RLE_BIT1 - AWFC - RLE_BIT0 - BWT"},
        {"large", "BWT - RLE_EXP - SIF - AC", "AC - SIF - RLE_EXP BWT"}}) {
    const T_Process_Result Packed = Run_QOR({"-cv", Name + ".txt"}, Dir.Dir());
    ASSERT_EQ(Packed.Exit_Code, 0) << Packed.Err;
    const int64_t In = Size_Of(Dir, Name + ".txt");
    const int64_t Out = Size_Of(Dir, Name + ".qor");
    Expect_Compression_Report(Report_Lines(Packed), 1, Compress_Stages, In, Out);
    // The fast option plays no part in expansion: the block flags decide.
    const T_Process_Result Unpacked = Run_QOR({"-ev1", Name + ".qor"}, Dir.Dir());
    ASSERT_EQ(Unpacked.Exit_Code, 0) << Unpacked.Err;
    Expect_Expansion_Report(Report_Lines(Unpacked), 1, Expand_Stages, Out, In);
    EXPECT_EQ(Dir.Read(Name + ".exp"), Dir.Read(Name + ".txt"));
  }
}

TEST(Command_Line_Pipeline, TotalsSumFilesAndAverageTheirRates) {
  T_Temp_Dir Dir;
  Dir.Write("a.txt", Text_Sample(5000));
  Dir.Write("b.txt", std::string(7000, 'b'));
  Dir.Write("c.txt", "");
  const T_Process_Result Packed = Run_QOR({"-c1", "*.txt"}, Dir.Dir());
  ASSERT_EQ(Packed.Exit_Code, 0) << Packed.Err;
  const int64_t A = Size_Of(Dir, "a.qor");
  const int64_t B = Size_Of(Dir, "b.qor");
  EXPECT_EQ(Size_Of(Dir, "c.qor"), 0);
  const std::vector<std::string> Lines = Report_Lines(Packed);
  ASSERT_EQ(Lines.size(), 7u) << Packed.Out;
  EXPECT_EQ(Lines[0], "Compressing    3 files  \b-\b\\\b|\rNumber of files           :             3");
  EXPECT_EQ(Lines[1], "Total input size          : " + Count_Field(12000) + " bytes");
  EXPECT_EQ(Lines[2], "Total output size         : " + Count_Field(A + B) + " bytes");
  // The empty file adds no rate but counts among the files.
  const double Average = (double(A) / 5000 * 8 + double(B) / 7000 * 8) / 3;
  EXPECT_EQ(Lines[3], "Average compression rate  : " + Figure_Field(Average) + " bps");
  EXPECT_EQ(Lines[4], "Total compression rate    : " + Figure_Field(double(A + B) / 12000 * 8) + " bps");
  Expect_Time_Line(Lines[5], "Total time                : ");
  EXPECT_EQ(Lines[6], Rule);
}

TEST(Command_Line_Pipeline, ChangedCRCStopsExpansionWithExitTwo) {
  T_Temp_Dir Dir;
  Dir.Write("a.txt", Text_Sample(10000));
  ASSERT_EQ(Run_QOR({"-c1", "a.txt"}, Dir.Dir()).Exit_Code, 0);
  std::string Packed = Dir.Read("a.qor");
  ASSERT_GT(Packed.size(), 12u);
  Packed[2] = static_cast<char>(Packed[2] ^ 0x01);  // first byte of the block CRC
  Dir.Write("a.qor", Packed);
  const T_Process_Result Result = Run_QOR({"-e", "a.qor"}, Dir.Dir());
  EXPECT_EQ(Result.Exit_Code, 2);
  const std::string Tail = "Expanding    1 files  \b-\nCRC is not valid. Program execution terminated!\n";
  ASSERT_GE(Result.Out.size(), Tail.size());
  EXPECT_EQ(Result.Out.substr(Result.Out.size() - Tail.size()), Tail);
  EXPECT_EQ(Dir.Read("a.exp"), "");
}
