// Several workers through the real program: the same bytes and the same
// reports whatever their number, a damaged later block that stops exactly
// there, and the worker count's setting.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "qor_process.h"

namespace {

using qor_test::Run_QOR;
using qor_test::T_Process_Options;
using qor_test::T_Process_Result;
using qor_test::T_Temp_Dir;

constexpr size_t Block_Size = 5242880;

std::string Corpus(const std::string& Name) { return qor_test::Read_File(std::string(QOR_CORPUS_DIR) + "/" + Name); }

T_Process_Result Run_With_Workers(const std::vector<std::string>& Arguments, const T_Temp_Dir& Dir,
                                  const std::string& Workers) {
  T_Process_Options Options;
  Options.Environment = {"QOR_THREADS=" + Workers};
  return Run_QOR(Arguments, Dir.Dir(), Options);
}

// Times differ from run to run; everything else must not.
std::string Without_Times(const std::string& Out) {
  return std::regex_replace(Out, std::regex(" *[0-9]+\\.[0-9]{3} s"), " T s");
}

// Two blocks in normal mode, a SIF-path one and an AWFC-path one, and two
// fast ones; beside them a small file, an empty one, and a second
// two-block file, in one batch.
TEST(Workers, OutputAndReportsDoNotDependOnTheirNumber) {
  T_Temp_Dir Dir;
  const std::string Mix = Corpus("bible.txt") + Corpus("E.coli");
  Dir.Write("mixed.bin", Mix.substr(0, Block_Size + 200000));
  Dir.Write("whole.bin", Mix);
  Dir.Write("alice.bin", Corpus("alice29.txt"));
  Dir.Write("empty.bin", "");
  const std::vector<std::string> Outputs = {"mixed", "whole", "alice", "empty"};
  std::string First_Reports;
  std::vector<std::string> First_Bytes;
  for (const std::string Workers : {"1", "2", "3"}) {
    SCOPED_TRACE("QOR_THREADS=" + Workers);
    const T_Process_Result Normal = Run_With_Workers({"-cv", "*.bin", "nrm"}, Dir, Workers);
    const T_Process_Result Fast = Run_With_Workers({"-cv1", "*.bin", "fst"}, Dir, Workers);
    ASSERT_EQ(Normal.Exit_Code, 0) << Normal.Err;
    ASSERT_EQ(Fast.Exit_Code, 0) << Fast.Err;
    std::vector<std::string> Bytes;
    for (const std::string& Name : Outputs) {
      Bytes.push_back(Dir.Read(Name + ".nrm"));
      Bytes.push_back(Dir.Read(Name + ".fst"));
    }
    const std::string Reports = Without_Times(Normal.Out) + Without_Times(Fast.Out);
    if (First_Bytes.empty()) {
      First_Bytes = Bytes;
      First_Reports = Reports;
      // The mixed file's blocks took the SIF path and then the AWFC path.
      const std::string& Packed = Bytes[0];
      ASSERT_GT(Packed.size(), 12u);
      EXPECT_EQ(Packed[1], 0x02);
      const size_t Second = 12 + (uint8_t(Packed[9]) | uint8_t(Packed[10]) << 8 | uint8_t(Packed[11]) << 16);
      ASSERT_GT(Packed.size(), Second + 1);
      EXPECT_EQ(Packed[Second], 13);
      EXPECT_EQ(Packed[Second + 1], 0x00);
    } else {
      for (size_t k = 0; k < Bytes.size(); ++k) EXPECT_EQ(Bytes[k], First_Bytes[k]) << Outputs[k / 2];
      EXPECT_EQ(Reports, First_Reports);
    }
  }
  const T_Process_Result Expanded = Run_With_Workers({"-e", "*.nrm", "out"}, Dir, "3");
  ASSERT_EQ(Expanded.Exit_Code, 0) << Expanded.Err;
  EXPECT_EQ(Dir.Read("mixed.out"), Dir.Read("mixed.bin"));
  EXPECT_EQ(Dir.Read("whole.out"), Mix);
  EXPECT_EQ(Dir.Read("alice.out"), Dir.Read("alice.bin"));
  EXPECT_EQ(Dir.Read("empty.out"), "");
}

// One worker is the driver's thread, which alone commits files and so makes
// room for more to be opened: a run of empty files, more than may be open at
// once, must neither wait for that room forever nor lose a file.
TEST(Workers, OneWorkerGetsPastARunOfEmptyFiles) {
  T_Temp_Dir Dir;
  for (const char Name : std::string("abcdefg")) Dir.Write(std::string(1, Name) + ".bin", "");
  Dir.Write("h.bin", Corpus("xargs.1"));
  const T_Process_Result Result = Run_With_Workers({"-c", "*.bin", "q"}, Dir, "1");
  ASSERT_EQ(Result.Exit_Code, 0) << Result.Err;
  const T_Process_Result Expanded = Run_With_Workers({"-e", "*.q", "out"}, Dir, "1");
  ASSERT_EQ(Expanded.Exit_Code, 0) << Expanded.Err;
  for (const char Name : std::string("abcdefg")) EXPECT_EQ(Dir.Read(std::string(1, Name) + ".out"), "") << Name;
  EXPECT_EQ(Dir.Read("h.out"), Corpus("xargs.1"));
}

// The second of three blocks is damaged: with three workers at it, the first
// block is written, nothing of the second or third, and the run ends as
// with one.
TEST(Workers, DamagedLaterBlockStopsTheOutputThere) {
  T_Temp_Dir Dir;
  const std::string Plain = Corpus("bible.txt") + Corpus("E.coli") + Corpus("world192.txt");
  ASSERT_GT(Plain.size(), 2 * Block_Size);
  Dir.Write("a.txt", Plain);
  ASSERT_EQ(Run_With_Workers({"-c1", "a.txt"}, Dir, "3").Exit_Code, 0);
  std::string Packed = Dir.Read("a.qor");
  const size_t Second = 12 + (uint8_t(Packed[9]) | uint8_t(Packed[10]) << 8 | uint8_t(Packed[11]) << 16);
  ASSERT_LT(Second + 2, Packed.size());
  Packed[Second + 2] = static_cast<char>(Packed[Second + 2] ^ 0x40);  // the second block's CRC
  Dir.Write("a.qor", Packed);
  for (const std::string Workers : {"1", "3"}) {
    SCOPED_TRACE("QOR_THREADS=" + Workers);
    const T_Process_Result Result = Run_With_Workers({"-e", "a.qor"}, Dir, Workers);
    EXPECT_EQ(Result.Exit_Code, 2);
    EXPECT_NE(Result.Out.find("\nCRC is not valid. Program execution terminated!\n"), std::string::npos);
    EXPECT_NE(Result.Err.find("a.qor: damaged block 2 at offset " + std::to_string(Second) + ": "), std::string::npos)
        << Result.Err;
    EXPECT_TRUE(Dir.Read("a.exp") == Plain.substr(0, Block_Size)) << "the output must hold the first block alone";
  }
}

// In a batch, the files after a damaged one in the listing are not written,
// though workers may have expanded them already; the ones before are whole.
TEST(Workers, DamagedFileEndsTheBatchThere) {
  T_Temp_Dir Dir;
  const std::string Text = Corpus("bible.txt");
  for (int k = 1; k <= 6; ++k) Dir.Write("f" + std::to_string(k) + ".txt", Text.substr(0, 30000 * k));
  ASSERT_EQ(Run_With_Workers({"-c", "*.txt"}, Dir, "3").Exit_Code, 0);
  // The listing order is the directory's: learn it from a verbose run.
  const T_Process_Result Listing = Run_With_Workers({"-ev", "*.qor", "chk"}, Dir, "1");
  ASSERT_EQ(Listing.Exit_Code, 0);
  std::vector<std::string> Order;
  const std::regex Line("Expanding (f[0-9])\\.qor to");
  for (auto It = std::sregex_iterator(Listing.Out.begin(), Listing.Out.end(), Line); It != std::sregex_iterator(); ++It)
    Order.push_back((*It)[1]);
  ASSERT_EQ(Order.size(), 6u);
  std::string Packed = Dir.Read(Order[2] + ".qor");
  Packed[3] = static_cast<char>(Packed[3] ^ 0x01);  // the first block's CRC
  Dir.Write(Order[2] + ".qor", Packed);
  const T_Process_Result Result = Run_With_Workers({"-e", "*.qor"}, Dir, "3");
  EXPECT_EQ(Result.Exit_Code, 2);
  for (size_t k = 0; k < Order.size(); ++k) {
    const std::string Name = Order[k] + ".exp";
    if (k < 2) {
      EXPECT_EQ(Dir.Read(Name), Dir.Read(Order[k] + ".txt")) << Name;
    } else if (k == 2) {
      EXPECT_EQ(Dir.Read(Name), "") << Name;
    } else {
      EXPECT_FALSE(Dir.Exists(Name)) << Name;
    }
  }
  for (const auto& Entry : std::filesystem::directory_iterator(Dir.Path()))
    EXPECT_NE(Entry.path().filename().string().rfind(".qor-", 0), 0u) << "temporary file left: " << Entry.path();
}

TEST(Workers, InvalidCountEndsWithExitOne) {
  T_Temp_Dir Dir;
  Dir.Write("a.txt", "some text");
  for (const std::string Value : {"0", "-2", "two", "3x", " 2", "", "99999999999"}) {
    const T_Process_Result Result = Run_With_Workers({"-c", "a.txt"}, Dir, Value);
    EXPECT_EQ(Result.Exit_Code, 1) << '"' << Value << '"';
    EXPECT_EQ(Result.Err.rfind("qor: QOR_THREADS: ", 0), 0u) << Result.Err;
    EXPECT_FALSE(Dir.Exists("a.qor")) << '"' << Value << '"';
  }
}

}  // namespace
