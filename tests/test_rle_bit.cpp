#include "transform_test_support.h"
#include "transforms/QOR_RLE_BIT_Unit.h"

namespace {

class RLE_BIT_Stage : public Transform_Stage {
 protected:
  void Encode(const T_Bytes& Data, int32_t Threshold) {
    Set_Input(Data);
    RLE.Threshold = Threshold;
    RLE.Encode_Block(B);
  }
  std::vector<int32_t> Counts() const { return std::vector<int32_t>(B.Int_Work, B.Int_Work + B.Output->Length); }
  T_Bytes Decode(const T_Bytes& Symbols, const std::vector<int32_t>& Run_Counts) {
    Set_Input(Symbols);
    std::copy(Run_Counts.begin(), Run_Counts.end(), B.Int_Work);
    RLE.Threshold = 0;  // not read by the inverse
    RLE.Decode_Block(B);
    return Bytes_Of(*B.Output);
  }
  void Expect_Round_Trip(const T_Bytes& Data, int32_t Threshold) {
    Encode(Data, Threshold);
    const T_Bytes Symbols = Bytes_Of(*B.Output);
    const std::vector<int32_t> Run_Counts = Counts();
    ASSERT_LE(Symbols.size(), Data.size());
    if (Threshold == 2) {
      for (size_t j = 1; j < Symbols.size(); ++j) ASSERT_NE(Symbols[j], Symbols[j - 1]);
    }
    ASSERT_EQ(Decode(Symbols, Run_Counts), Data) << Threshold;
  }

  T_QOR_RLE_BIT RLE;
};

TEST_F(RLE_BIT_Stage, WorkedExampleThresholdTwo) {
  Encode({7, 7, 7, 3, 5, 5}, 2);
  EXPECT_EQ(Bytes_Of(*B.Output), (T_Bytes{7, 3, 5}));
  EXPECT_EQ(Counts(), (std::vector<int32_t>{2, 0, 1}));
}

TEST_F(RLE_BIT_Stage, WorkedExampleThresholdThree) {
  Encode({7, 7, 7, 3, 5, 5}, 3);
  EXPECT_EQ(Bytes_Of(*B.Output), (T_Bytes{7, 7, 3, 5, 5}));
  EXPECT_EQ(Counts(), (std::vector<int32_t>{0, 1, 0, 0, 0}));
}

TEST_F(RLE_BIT_Stage, CountsOverwriteOldWork) {
  std::fill(B.Int_Work, B.Int_Work + 16, -5);
  Encode({1, 2, 2, 2, 2, 3, 4, 4}, 2);
  EXPECT_EQ(Bytes_Of(*B.Output), (T_Bytes{1, 2, 3, 4}));
  EXPECT_EQ(Counts(), (std::vector<int32_t>{0, 3, 0, 1}));
}

TEST_F(RLE_BIT_Stage, SingleByteAndOneLongRun) {
  Encode({42}, 2);
  EXPECT_EQ(Bytes_Of(*B.Output), T_Bytes{42});
  EXPECT_EQ(Counts(), std::vector<int32_t>{0});
  Encode(T_Bytes(100000, 9), 2);
  EXPECT_EQ(Bytes_Of(*B.Output), T_Bytes{9});
  EXPECT_EQ(Counts(), std::vector<int32_t>{99999});
}

TEST_F(RLE_BIT_Stage, NoEqualNeighboursPassUnchanged) {
  const T_Bytes Data = All_Values(2);
  Encode(Data, 2);
  EXPECT_EQ(Bytes_Of(*B.Output), Data);
  EXPECT_EQ(Counts(), std::vector<int32_t>(Data.size(), 0));
}

TEST_F(RLE_BIT_Stage, EmptyInputPassesThrough) {
  T_QOR_Buffer* In = B.Input;
  B.Int_Work[0] = 31;
  Set_Input({});
  RLE.Encode_Block(B);
  EXPECT_EQ(B.Output, In);
  EXPECT_EQ(B.Int_Work[0], 31);
  T_QOR_MCP::Swap_Buffers(B);
  RLE.Decode_Block(B);
  EXPECT_EQ(B.Output, In);
}

TEST_F(RLE_BIT_Stage, DecodeIgnoresNegativeCounts) { EXPECT_EQ(Decode({4, 5}, {-3, 2}), (T_Bytes{4, 5, 5, 5})); }

TEST_F(RLE_BIT_Stage, RoundTrips) {
  std::mt19937 Rng(8);
  for (int32_t T : {2, 3, 4, 7}) {
    Expect_Round_Trip({1}, T);
    Expect_Round_Trip(All_Values(4), T);
    Expect_Round_Trip(Random_Bytes(Rng, 30000, 2), T);
    for (int Mean_Run : {2, 5, 300}) Expect_Round_Trip(Run_Bytes(Rng, 60000, 256, Mean_Run), T);
  }
}

TEST_F(RLE_BIT_Stage, DamageRestoredLengthBeyondCapacity) {
  EXPECT_THROW(Decode({1}, {QOR_Buffer_Capacity}), T_QOR_Damaged_Block);
  EXPECT_EQ(Decode({1}, {QOR_Buffer_Capacity - 1}).size(), static_cast<size_t>(QOR_Buffer_Capacity));
  // Each count fits alone; the sum does not.
  EXPECT_THROW(Decode({1, 2, 3}, {3000000, 3000000, 0}), T_QOR_Damaged_Block);
  // Counts whose sum passes 2^31.
  EXPECT_THROW(Decode({1, 2}, {INT32_MAX, INT32_MAX}), T_QOR_Damaged_Block);
  // Bytes without counts after the last count still need room.
  T_Bytes Tail(101, 7);
  std::vector<int32_t> Tail_Counts(101, 0);
  Tail_Counts[0] = QOR_Buffer_Capacity - 100;
  EXPECT_THROW(Decode(Tail, Tail_Counts), T_QOR_Damaged_Block);
}

}  // namespace
