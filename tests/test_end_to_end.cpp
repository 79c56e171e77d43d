// The built program on the whole test corpus and on generated files: every
// file compressed in fast and in normal mode, expanded again and compared.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "qor_process.h"

namespace {

using qor_test::Run_QOR;
using qor_test::T_Process_Result;
using qor_test::T_Temp_Dir;

std::vector<std::filesystem::path> Corpus_Files() {
  std::vector<std::filesystem::path> Files;
  for (const auto& Entry : std::filesystem::directory_iterator(QOR_CORPUS_DIR))
    if (Entry.is_regular_file() && Entry.path().filename() != "README.md") Files.push_back(Entry.path());
  return Files;
}

std::string Generated(size_t Size, uint32_t Seed, int Alphabet) {
  std::mt19937 Random(Seed);
  std::string Data(Size, '\0');
  for (char& Byte : Data) Byte = static_cast<char>(Random() % Alphabet);
  return Data;
}

// Compresses every file of Dir with Options into Packed_Extension, expands
// those into ".out" files and checks that each equals its original.
void Round_Trip_Directory(const T_Temp_Dir& Dir, const std::string& Options, const std::string& Packed_Extension) {
  std::vector<std::string> Names;
  for (const auto& Entry : std::filesystem::directory_iterator(Dir.Path())) Names.push_back(Entry.path().filename());

  const T_Process_Result Packed = Run_QOR({Options, "*", Packed_Extension}, Dir.Dir());
  ASSERT_EQ(Packed.Exit_Code, 0) << Packed.Out << Packed.Err;
  const T_Process_Result Unpacked = Run_QOR({"-ev", "*." + Packed_Extension, "out"}, Dir.Dir());
  ASSERT_EQ(Unpacked.Exit_Code, 0) << Unpacked.Out << Unpacked.Err;

  size_t Valid = 0;
  for (size_t At = 0; (At = Unpacked.Out.find("CRC is valid\n", At)) != std::string::npos; ++At) ++Valid;
  EXPECT_EQ(Valid, Names.size());
  for (const std::string& Name : Names) {
    const std::string Stem = std::filesystem::path(Name).stem();
    EXPECT_EQ(Dir.Read(Stem + ".out"), Dir.Read(Name)) << Name << " with " << Options;
  }
}

class Corpus_Round_Trip : public ::testing::TestWithParam<const char*> {};

TEST_P(Corpus_Round_Trip, EveryCorpusFileExpandsToItself) {
  T_Temp_Dir Dir;
  for (const auto& File : Corpus_Files()) std::filesystem::copy_file(File, Dir / File.filename());
  ASSERT_GT(Corpus_Files().size(), 10u);
  Round_Trip_Directory(Dir, GetParam(), "q");
}

TEST_P(Corpus_Round_Trip, GeneratedFilesExpandToThemselves) {
  T_Temp_Dir Dir;
  std::string All_Values;
  for (int v = 0; v < 256; ++v) All_Values += static_cast<char>(v);
  Dir.Write("empty", "");
  Dir.Write("one", "x");
  Dir.Write("zero", std::string(1, '\0'));
  Dir.Write("all_values", All_Values);
  Dir.Write("long_runs", std::string(700000, 'a') + std::string(300000, '\0') + std::string(5, 'b'));
  Dir.Write("random", Generated(300000, 1, 256));
  Dir.Write("one_block", Generated(5242880, 2, 64));
  Dir.Write("two_blocks", Generated(5242881, 3, 4));
  Round_Trip_Directory(Dir, GetParam(), "q");
}

INSTANTIATE_TEST_SUITE_P(Modes, Corpus_Round_Trip, ::testing::Values("-c1", "-c"),
                         [](const auto& Info) { return std::string(Info.param) == "-c1" ? "fast" : "normal"; });

}  // namespace
