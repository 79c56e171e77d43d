#include "transform_test_support.h"
#include "transforms/QOR_RLE_EXP_Unit.h"

namespace {

class RLE_EXP_Test : public Transform_Test {
 protected:
  T_Bytes Encode(const T_Bytes& Data, int32_t Threshold = 2) {
    Set_Input(Data);
    RLE.Threshold = Threshold;
    RLE.Encode_Block(B);
    return Bytes_Of(*B.Output);
  }

  std::vector<int32_t> Runs() const {
    const T_QOR_Code_Streams& S = *B.Code_Streams;
    return std::vector<int32_t>(S.Runs, S.Runs + S.Run_Count);
  }

  T_Bytes Decode(const T_Bytes& Coded, int32_t Threshold = 2) {
    Set_Input(Coded);
    RLE.Threshold = Threshold;
    RLE.Decode_Block(B);
    return Bytes_Of(*B.Output);
  }

  void Expect_Round_Trip(const T_Bytes& Data, int32_t Threshold = 2) {
    Reset_Streams();
    const T_Bytes Coded = Encode(Data, Threshold);
    EXPECT_LE(Coded.size(), Data.size());
    Regroup_Runs();
    int32_t Group_Starts[QOR_Exponent_Slots];
    Group_Starts[0] = 0;
    for (int e = 1; e < QOR_Exponent_Slots; ++e) Group_Starts[e] = B.Code_Streams->Run_Cursors[e - 1];
    ASSERT_EQ(Decode(Coded, Threshold), Data);
    for (int e = 1; e < QOR_Exponent_Slots; ++e) EXPECT_EQ(B.Code_Streams->Run_Cursors[e], Group_Starts[e]) << e;
  }

  // Decoding input whose run values were set by hand: group e holds Mantissas[e].
  void Set_Groups(const std::vector<std::vector<int32_t>>& Mantissas) {
    T_QOR_Code_Streams& S = *B.Code_Streams;
    int32_t End = 0;
    S.Run_Cursors[0] = 0;
    for (int e = 1; e < QOR_Exponent_Slots; ++e) {
      if (e < static_cast<int>(Mantissas.size()))
        for (int32_t m : Mantissas[e]) S.Runs[End++] = m;
      S.Run_Cursors[e] = End;
    }
  }

  T_QOR_RLE_EXP RLE;
};

TEST_F(RLE_EXP_Test, RunLengthTable) {
  struct Row {
    size_t Length;
    size_t Written;
    std::vector<int32_t> Stored;
  };
  const Row Rows[] = {{1, 1, {}}, {2, 2, {}}, {3, 3, {1}}, {4, 3, {2}}, {5, 4, {3}}, {8, 4, {6}}, {9, 5, {7}},
                      {16, 5, {14}}, {17, 6, {15}}, {1000, 11, {998}}};
  for (const Row& R : Rows) {
    Reset_Streams();
    EXPECT_EQ(Encode(T_Bytes(R.Length, 'a')), T_Bytes(R.Written, 'a')) << R.Length;
    EXPECT_EQ(Runs(), R.Stored) << R.Length;
  }
}

TEST_F(RLE_EXP_Test, MixedRunsKeepTheirOrder) {
  const T_Bytes Data = {'x', 'a', 'a', 'a', 'b', 'b', 'c', 'a', 'a', 'a', 'a', 'a', 'b', 'b', 'b', 'b'};
  const T_Bytes Expected = {'x', 'a', 'a', 'a', 'b', 'b', 'c', 'a', 'a', 'a', 'a', 'b', 'b', 'b'};
  EXPECT_EQ(Encode(Data), Expected);
  EXPECT_EQ(Runs(), (std::vector<int32_t>{1, 3, 2}));
}

TEST_F(RLE_EXP_Test, LongestBlockRun) {
  T_Bytes Data(QOR_Block_Size, 0x41);
  Data.push_back(0);
  T_Bytes Expected(24, 0x41);
  Expected.push_back(0);
  EXPECT_EQ(Encode(Data), Expected);
  EXPECT_EQ(Runs(), std::vector<int32_t>{5242878});
  EXPECT_EQ(T_QOR_MCP::Exponent_Of(5242878), 22);
  Expect_Round_Trip(Data);
}

TEST_F(RLE_EXP_Test, DecodesMantissaOfItsGroup) {
  Set_Groups({{}, {}, {}, {}, {}, {}, {}, {}, {}, {487}});
  EXPECT_EQ(Decode(T_Bytes(11, 'q')), T_Bytes(1000, 'q'));
  EXPECT_EQ(B.Code_Streams->Run_Cursors[9], 0);
}

TEST_F(RLE_EXP_Test, EmptyInputPassesThrough) {
  T_QOR_Buffer* In = B.Input;
  B.Code_Streams->Runs[0] = 77;
  Set_Input({});
  RLE.Encode_Block(B);
  EXPECT_EQ(B.Output, In);
  EXPECT_EQ(B.Code_Streams->Run_Count, 0);
  T_QOR_MCP::Swap_Buffers(B);
  RLE.Decode_Block(B);
  EXPECT_EQ(B.Output, In);
  EXPECT_EQ(B.Code_Streams->Runs[0], 77);
}

TEST_F(RLE_EXP_Test, RoundTrips) {
  std::mt19937 Rng(11);
  Expect_Round_Trip({7});
  Expect_Round_Trip({7, 7, 7});
  Expect_Round_Trip(All_Values(3));
  for (int Mean_Run : {1, 2, 3, 8, 100, 5000}) {
    Expect_Round_Trip(Run_Bytes(Rng, 50000, 4, Mean_Run));
    Expect_Round_Trip(Run_Bytes(Rng, 20000, 256, Mean_Run));
  }
  // Ending in a long run, and runs of every length up to 70.
  T_Bytes Ascending;
  for (int L = 1; L <= 70; ++L) Ascending.insert(Ascending.end(), L, static_cast<uint8_t>(L));
  Expect_Round_Trip(Ascending);
}

TEST_F(RLE_EXP_Test, RoundTripsWithOtherThresholds) {
  std::mt19937 Rng(12);
  for (int32_t T : {3, 5}) Expect_Round_Trip(Run_Bytes(Rng, 30000, 3, 20), T);
}

TEST_F(RLE_EXP_Test, DamageExponentBeyondTheSlots) {
  Set_Groups({});
  EXPECT_THROW(Decode(T_Bytes(2 + 24, 'a')), T_QOR_Damaged_Block);
}

TEST_F(RLE_EXP_Test, DamageMoreRunsThanValues) {
  Set_Groups({{}, {0}});
  EXPECT_THROW(Decode({'a', 'a', 'a', 'b', 'b', 'b'}), T_QOR_Damaged_Block);
  // A run may not borrow from the group below its own.
  Set_Groups({{}, {0}, {}});
  EXPECT_THROW(Decode({'a', 'a', 'a', 'a'}), T_QOR_Damaged_Block);
}

TEST_F(RLE_EXP_Test, DamageRunValuesLeftOver) {
  Set_Groups({{}, {0, 1}});
  EXPECT_THROW(Decode({'a', 'a', 'a', 'b'}), T_QOR_Damaged_Block);
  // Run values only in a group that no run of the block uses.
  Set_Groups({{}, {}, {}, {5}});
  EXPECT_THROW(Decode({'a', 'b', 'b', 'c'}), T_QOR_Damaged_Block);
}

// Runs that end exactly at, or just before, a multiple of eight bytes, and
// runs over the end of the input: the run scan reads eight bytes a step.
TEST_F(RLE_EXP_Test, RunsEndingAroundWordBoundaries) {
  for (int Length = 1; Length <= 40; ++Length) {
    for (int Tail = 0; Tail <= 9; ++Tail) {
      T_Bytes Data(static_cast<size_t>(Length), 'r');
      Data.insert(Data.end(), static_cast<size_t>(Tail), 's');
      Expect_Round_Trip(Data);
    }
  }
}

TEST_F(RLE_EXP_Test, DamageCursorsOutOfOrder) {
  Set_Groups({{}, {0}});
  B.Code_Streams->Run_Cursors[5] = 0;
  EXPECT_THROW(Decode({'a', 'a', 'a'}), T_QOR_Damaged_Block);
  Set_Groups({{}, {0}});
  B.Code_Streams->Run_Cursors[23] = QOR_Buffer_Capacity + 1;
  EXPECT_THROW(Decode({'a', 'a', 'a'}), T_QOR_Damaged_Block);
}

TEST_F(RLE_EXP_Test, DamageMantissaOutOfRange) {
  Set_Groups({{}, {}, {4}});
  EXPECT_THROW(Decode({'a', 'a', 'a', 'a'}), T_QOR_Damaged_Block);
  Set_Groups({{}, {}, {-1}});
  EXPECT_THROW(Decode({'a', 'a', 'a', 'a'}), T_QOR_Damaged_Block);
}

TEST_F(RLE_EXP_Test, DamageOutputBeyondCapacity) {
  // One run of exponent 22 with the largest mantissa decodes to 2^23 bytes.
  Set_Groups({{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {(1 << 22) - 1}});
  EXPECT_THROW(Decode(T_Bytes(24, 'a')), T_QOR_Damaged_Block);
  // Runs that fit one by one but not together.
  std::vector<std::vector<int32_t>> Groups(23);
  Groups[21] = {(1 << 21) - 1, (1 << 21) - 1};
  Set_Groups(Groups);
  T_Bytes Coded(23, 'a');
  Coded.insert(Coded.end(), 23, 'b');
  EXPECT_THROW(Decode(Coded), T_QOR_Damaged_Block);
}

}  // namespace
