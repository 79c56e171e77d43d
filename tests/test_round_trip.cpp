// Whole files through the pipeline, in process: every chain, many shapes of
// data, block boundaries, the header of each block, and the fall-back when a
// chain's payload is not safe.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "pipeline/QOR_MCP_Unit.h"
#include "pipeline/QOR_Memory_Unit.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Block_Header {
  int Length;
  int Flags;
  int64_t Payload;
};

class Pipeline_Round_Trip : public ::testing::Test {
 protected:
  // Compresses Data with Pipeline, expands it with a fresh pipeline (nothing
  // may carry over) and returns the compressed bytes.
  Bytes Round_Trip(T_QOR_MCP& Pipeline, const Bytes& Data, bool Fast) {
    const Bytes Compressed = QOR_Compress_Memory(Pipeline, Data, Fast);
    T_QOR_MCP Expander;
    const T_QOR_Expansion Expanded = QOR_Expand_Memory(Expander, Compressed);
    EXPECT_FALSE(Expanded.Damaged) << Expanded.Reason;
    EXPECT_EQ(Expanded.Bytes, Data) << (Fast ? "fast" : "normal") << " mode, " << Data.size() << " bytes";
    return Compressed;
  }

  Bytes Round_Trip(const Bytes& Data, bool Fast) {
    T_QOR_MCP Pipeline;
    return Round_Trip(Pipeline, Data, Fast);
  }

  static std::vector<Block_Header> Headers(const Bytes& File) {
    std::vector<Block_Header> Result;
    for (size_t At = 0; At + 3 <= File.size();) {
      const int H = File[At];
      const int64_t P = File[At + H - 3] | File[At + H - 2] << 8 | File[At + H - 1] << 16;
      Result.push_back({H, File[At + 1], P});
      At += H + P;
    }
    return Result;
  }
};

Bytes Random_Bytes(size_t Size, uint32_t Seed, int Alphabet = 256) {
  std::mt19937 Random(Seed);
  Bytes Data(Size);
  for (uint8_t& Byte : Data) Byte = static_cast<uint8_t>(Random() % Alphabet);
  return Data;
}

Bytes Text(size_t Size) {
  static const char* Words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ", "dog. ", "\n"};
  std::mt19937 Random(3);
  std::string Result;
  while (Result.size() < Size) Result += Words[Random() % 9];
  Result.resize(Size);
  return {Result.begin(), Result.end()};
}

TEST_F(Pipeline_Round_Trip, SmallShapesInBothModes) {
  Bytes All_Values(256);
  for (int v = 0; v < 256; ++v) All_Values[v] = static_cast<uint8_t>(v);
  Bytes Runs;
  for (int Length : {1, 2, 3, 4, 5, 8, 9, 1000, 70000}) Runs.insert(Runs.end(), Length, static_cast<uint8_t>(Length));
  const std::vector<Bytes> Shapes = {{},
                                     {0},
                                     {255},
                                     {'x'},
                                     All_Values,
                                     Bytes(5000, 0),
                                     Bytes(5000, 'q'),
                                     Runs,
                                     Text(100000),
                                     Random_Bytes(50000, 1),
                                     Random_Bytes(50000, 2, 2),
                                     Random_Bytes(3000, 3, 3)};
  for (const bool Fast : {true, false})
    for (const Bytes& Shape : Shapes) Round_Trip(Shape, Fast);
}

TEST_F(Pipeline_Round_Trip, EmptyFileGivesEmptyFile) {
  EXPECT_TRUE(Round_Trip({}, false).empty());
  EXPECT_TRUE(Round_Trip({}, true).empty());
}

TEST_F(Pipeline_Round_Trip, BananaHeaders) {
  const Bytes Banana = {'b', 'a', 'n', 'a', 'n', 'a'};
  const Bytes Fast = Round_Trip(Banana, true);
  ASSERT_GE(Fast.size(), 12u);
  EXPECT_EQ(Bytes(Fast.begin(), Fast.begin() + 9), (Bytes{0x0C, 0x01, 0xCF, 0x67, 0x8B, 0x03, 0x04, 0x00, 0x00}));
  EXPECT_EQ(Headers(Fast).size(), 1u);
  EXPECT_EQ(Headers(Fast)[0].Payload + 12, static_cast<int64_t>(Fast.size()));

  const Bytes Normal = Round_Trip(Banana, false);
  ASSERT_GE(Normal.size(), 13u);
  EXPECT_EQ(Bytes(Normal.begin(), Normal.begin() + 9), (Bytes{0x0D, 0x00, 0xCF, 0x67, 0x8B, 0x03, 0x04, 0x00, 0x00}));
  EXPECT_LE(Normal[9], 100);
  EXPECT_EQ(Headers(Normal)[0].Payload + 13, static_cast<int64_t>(Normal.size()));
}

TEST_F(Pipeline_Round_Trip, ChainFollowsModeAndBlockSize) {
  T_QOR_MCP Pipeline;
  const Bytes Ten = Text(10);
  EXPECT_EQ(Headers(Round_Trip(Pipeline, Ten, true))[0].Flags, 0x01);
  const auto Small = Headers(Round_Trip(Pipeline, Text(262142), false));
  ASSERT_EQ(Small.size(), 1u);
  EXPECT_EQ(Small[0].Length, 13);
  EXPECT_EQ(Small[0].Flags, 0x00);
  const auto Large = Headers(Round_Trip(Pipeline, Text(262143), false));
  ASSERT_EQ(Large.size(), 1u);
  EXPECT_EQ(Large[0].Length, 12);
  EXPECT_EQ(Large[0].Flags, 0x02);
}

TEST_F(Pipeline_Round_Trip, BlockBoundaries) {
  T_QOR_MCP Pipeline;
  Bytes Data = Random_Bytes(QOR_Block_Size, 5, 16);
  const auto One = Headers(Round_Trip(Pipeline, Data, false));
  ASSERT_EQ(One.size(), 1u);
  EXPECT_EQ(One[0].Flags, 0x02);

  Data.push_back('!');
  const auto Two = Headers(Round_Trip(Pipeline, Data, false));
  ASSERT_EQ(Two.size(), 2u);
  EXPECT_EQ(Two[1].Length, 13);
  EXPECT_EQ(Two[1].Flags, 0x00);

  const auto Fast = Headers(Round_Trip(Pipeline, Data, true));
  ASSERT_EQ(Fast.size(), 2u);
  EXPECT_EQ(Fast[0].Flags, 0x01);
  EXPECT_EQ(Fast[1].Flags, 0x01);
}

TEST_F(Pipeline_Round_Trip, FastOptionPlaysNoPartInExpansion) {
  // Blocks of different chains in one file expand by their own flags.
  const Bytes Data = Text(4000);
  const Bytes Fast = Round_Trip(Data, true);
  const Bytes Normal = Round_Trip(Data, false);
  Bytes Mixed = Fast;
  Mixed.insert(Mixed.end(), Normal.begin(), Normal.end());
  T_QOR_MCP Expander;
  Bytes Twice = Data;
  Twice.insert(Twice.end(), Data.begin(), Data.end());
  EXPECT_EQ(QOR_Expand_Memory(Expander, Mixed).Bytes, Twice);
}

// The fuzzing build's cap: a block that needs more decoded values than the
// limit is refused as damaged, with the blocks before it kept; under it,
// expansion is unchanged.
TEST_F(Pipeline_Round_Trip, DecodeLimitRefusesLargerBlocks) {
  T_QOR_MCP Pipeline;
  Bytes Data = Text(3000);
  const Bytes Small = QOR_Compress_Memory(Pipeline, Data, false);
  Bytes Two = Small;
  const Bytes Large = QOR_Compress_Memory(Pipeline, Random_Bytes(20000, 7), false);
  Two.insert(Two.end(), Large.begin(), Large.end());
  const T_QOR_Expansion Capped = QOR_Expand_Memory(Pipeline, Two, 10000);
  EXPECT_TRUE(Capped.Damaged);
  EXPECT_EQ(Capped.Block_Number, 2);
  EXPECT_EQ(Capped.Record_Offset, static_cast<int64_t>(Small.size()));
  EXPECT_EQ(Capped.Bytes, Data);
  EXPECT_FALSE(QOR_Expand_Memory(Pipeline, Two).Damaged);
}

// A pipeline whose first attempts report an unsafe payload, as the coder does
// when a segment's closing state could decode differently.
class Refusing_Pipeline : public T_QOR_MCP {
 public:
  explicit Refusing_Pipeline(int Refusals) : Refusals_Left(Refusals) {
    Refusal_Context = &Refusals_Left;
    Refusal_Hook = [](bool Lossless, void* Context) {
      int& Left = *static_cast<int*>(Context);
      if (Left == 0) return Lossless;
      --Left;
      return false;
    };
  }

 private:
  int Refusals_Left;
};

TEST_F(Pipeline_Round_Trip, UnsafeBlockIsCodedWithTheOtherChain) {
  Refusing_Pipeline Pipeline(1);
  const auto Normal_Refused = Headers(Round_Trip(Pipeline, Text(300000), false));
  ASSERT_EQ(Normal_Refused.size(), 1u);
  EXPECT_EQ(Normal_Refused[0].Flags, 0x01);

  Refusing_Pipeline Fast_Refused_Pipeline(1);
  const auto Fast_Refused = Headers(Round_Trip(Fast_Refused_Pipeline, Text(300000), true));
  ASSERT_EQ(Fast_Refused.size(), 1u);
  EXPECT_EQ(Fast_Refused[0].Flags, 0x02);
}

TEST_F(Pipeline_Round_Trip, BlockUnsafeInBothChainsIsSplit) {
  Refusing_Pipeline Pipeline(2);
  const auto Split = Headers(Round_Trip(Pipeline, Text(300000), false));
  ASSERT_EQ(Split.size(), 2u);
  EXPECT_EQ(Split[0].Flags, 0x00);  // 150,000 bytes: the small-block chain
  EXPECT_EQ(Split[1].Flags, 0x00);
}

// Splitting ends at single bytes, so every one-byte block must be safe in
// both chains: otherwise a block could never be written.
TEST(Single_Byte_Blocks, AreSafeInBothChains) {
  T_QOR_MCP Pipeline;
  T_QOR_Block_Data& B = Pipeline.Block();
  for (const bool Fast : {true, false}) {
    for (int Value = 0; Value < 256; ++Value) {
      B.Input->Data[0] = static_cast<uint8_t>(Value);
      B.Input->Length = 1;
      B.Side_Info->Length = 2;
      B.Fast_Mode = Fast;
      EXPECT_TRUE(Pipeline.Compress_Block()) << Value << (Fast ? " fast" : " normal");
    }
  }
}

}  // namespace
