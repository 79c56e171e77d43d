#include <utility>

#include "transform_test_support.h"
#include "transforms/QOR_RLE_EXP_Unit.h"

namespace {

class RLE_EXP_Stage : public Transform_Stage {
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

TEST_F(RLE_EXP_Stage, RunLengthTable) {
  struct Row {
    size_t Length;
    size_t Written;
    std::vector<int32_t> Stored;
  };
  const Row Rows[] = {{1, 1, {}},  {2, 2, {}},  {3, 3, {1}},   {4, 3, {2}},   {5, 4, {3}},
                      {8, 4, {6}}, {9, 5, {7}}, {16, 5, {14}}, {17, 6, {15}}, {1000, 11, {998}}};
  for (const Row& R : Rows) {
    Reset_Streams();
    EXPECT_EQ(Encode(T_Bytes(R.Length, 'a')), T_Bytes(R.Written, 'a')) << R.Length;
    EXPECT_EQ(Runs(), R.Stored) << R.Length;
  }
}

TEST_F(RLE_EXP_Stage, MixedRunsKeepTheirOrder) {
  const T_Bytes Data = {'x', 'a', 'a', 'a', 'b', 'b', 'c', 'a', 'a', 'a', 'a', 'a', 'b', 'b', 'b', 'b'};
  const T_Bytes Expected = {'x', 'a', 'a', 'a', 'b', 'b', 'c', 'a', 'a', 'a', 'a', 'b', 'b', 'b'};
  EXPECT_EQ(Encode(Data), Expected);
  EXPECT_EQ(Runs(), (std::vector<int32_t>{1, 3, 2}));
}

TEST_F(RLE_EXP_Stage, LongestBlockRun) {
  T_Bytes Data(QOR_Block_Size, 0x41);
  Data.push_back(0);
  T_Bytes Expected(24, 0x41);
  Expected.push_back(0);
  EXPECT_EQ(Encode(Data), Expected);
  EXPECT_EQ(Runs(), std::vector<int32_t>{5242878});
  EXPECT_EQ(T_QOR_MCP::Exponent_Of(5242878), 22);
  Expect_Round_Trip(Data);
}

TEST_F(RLE_EXP_Stage, DecodesMantissaOfItsGroup) {
  Set_Groups({{}, {}, {}, {}, {}, {}, {}, {}, {}, {487}});
  EXPECT_EQ(Decode(T_Bytes(11, 'q')), T_Bytes(1000, 'q'));
  EXPECT_EQ(B.Code_Streams->Run_Cursors[9], 0);
}

TEST_F(RLE_EXP_Stage, EmptyInputPassesThrough) {
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

TEST_F(RLE_EXP_Stage, RoundTrips) {
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

TEST_F(RLE_EXP_Stage, RoundTripsWithOtherThresholds) {
  std::mt19937 Rng(12);
  for (int32_t T : {3, 5}) Expect_Round_Trip(Run_Bytes(Rng, 30000, 3, 20), T);
}

TEST_F(RLE_EXP_Stage, DamageExponentBeyondTheSlots) {
  Set_Groups({});
  EXPECT_THROW(Decode(T_Bytes(2 + 24, 'a')), T_QOR_Damaged_Block);
}

TEST_F(RLE_EXP_Stage, DamageMoreRunsThanValues) {
  Set_Groups({{}, {0}});
  EXPECT_THROW(Decode({'a', 'a', 'a', 'b', 'b', 'b'}), T_QOR_Damaged_Block);
  // A run may not borrow from the group below its own.
  Set_Groups({{}, {0}, {}});
  EXPECT_THROW(Decode({'a', 'a', 'a', 'a'}), T_QOR_Damaged_Block);
}

TEST_F(RLE_EXP_Stage, DamageRunValuesLeftOver) {
  Set_Groups({{}, {0, 1}});
  EXPECT_THROW(Decode({'a', 'a', 'a', 'b'}), T_QOR_Damaged_Block);
  // Run values only in a group that no run of the block uses.
  Set_Groups({{}, {}, {}, {5}});
  EXPECT_THROW(Decode({'a', 'b', 'b', 'c'}), T_QOR_Damaged_Block);
}

// Runs that end exactly at, or just before, a multiple of eight bytes, and
// runs over the end of the input: the run scan reads eight bytes a step.
TEST_F(RLE_EXP_Stage, RunsEndingAroundWordBoundaries) {
  for (int Length = 1; Length <= 40; ++Length) {
    for (int Tail = 0; Tail <= 9; ++Tail) {
      T_Bytes Data(static_cast<size_t>(Length), 'r');
      Data.insert(Data.end(), static_cast<size_t>(Tail), 's');
      Expect_Round_Trip(Data);
    }
  }
}

TEST_F(RLE_EXP_Stage, DamageCursorsOutOfOrder) {
  Set_Groups({{}, {0}});
  B.Code_Streams->Run_Cursors[5] = 0;
  EXPECT_THROW(Decode({'a', 'a', 'a'}), T_QOR_Damaged_Block);
  Set_Groups({{}, {0}});
  B.Code_Streams->Run_Cursors[23] = QOR_Buffer_Capacity + 1;
  EXPECT_THROW(Decode({'a', 'a', 'a'}), T_QOR_Damaged_Block);
  // Expansion keeps the run stream in less room than a buffer's: a run value
  // past it is refused even where the groups are in order.
  Set_Groups({{}, {0}});
  B.Code_Streams->Run_Capacity = 0;
  EXPECT_THROW(Decode({'a', 'a', 'a'}), T_QOR_Damaged_Block);
}

TEST_F(RLE_EXP_Stage, DamageMantissaOutOfRange) {
  Set_Groups({{}, {}, {4}});
  EXPECT_THROW(Decode({'a', 'a', 'a', 'a'}), T_QOR_Damaged_Block);
  Set_Groups({{}, {}, {-1}});
  EXPECT_THROW(Decode({'a', 'a', 'a', 'a'}), T_QOR_Damaged_Block);
}

TEST_F(RLE_EXP_Stage, DamageOutputBeyondCapacity) {
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

// Bytes with no three equal in a row, pairs and singles mixed, values from
// Base upward so that they differ from any run placed next to them.
T_Bytes Without_Triples(size_t n, uint8_t Base) {
  T_Bytes Out;
  for (size_t j = 0; Out.size() < n; ++j) {
    const uint8_t Value = static_cast<uint8_t>(Base + j % 7);
    Out.push_back(Value);
    if (j % 3 == 1 && Out.size() < n) Out.push_back(Value);
  }
  return Out;
}

// Expansion copies stretches without a triple a chunk at a time and falls
// back to runs where one starts: runs starting at every offset of a chunk,
// with every length of stretch after them, ending at the input end or not.
TEST_F(RLE_EXP_Stage, RunsAtEveryOffsetBetweenCopiedStretches) {
  for (size_t Before = 0; Before <= 40; ++Before) {
    for (size_t Run : {3, 4, 5, 9, 40}) {
      for (size_t After = 0; After <= 20; ++After) {
        T_Bytes Data = Without_Triples(Before, 'a');
        Data.insert(Data.end(), Run, 'Z');
        const T_Bytes Tail = Without_Triples(After, 'a');
        Data.insert(Data.end(), Tail.begin(), Tail.end());
        Expect_Round_Trip(Data);
      }
    }
  }
}

// The forward transform by its definition, run by run: a maximal run of
// L >= T equal bytes becomes T + e of them, e = Exponent_Of(L - T), and
// L - T joins the run stream when e > 0.
std::pair<T_Bytes, std::vector<int32_t>> Reference_Encode(const T_Bytes& Data, int32_t T) {
  T_Bytes Out;
  std::vector<int32_t> Runs;
  for (size_t i = 0; i < Data.size();) {
    size_t L = 1;
    while (i + L < Data.size() && Data[i + L] == Data[i]) ++L;
    size_t Kept = L;
    if (static_cast<int32_t>(L) >= T) {
      const int32_t x = static_cast<int32_t>(L) - T;
      const int32_t e = T_QOR_MCP::Exponent_Of(x);
      Kept = static_cast<size_t>(T + e);
      if (e > 0) Runs.push_back(x);
    }
    Out.insert(Out.end(), Kept, Data[i]);
    i += L;
  }
  return {Out, Runs};
}

// Compression copies stretches without a triple a chunk at a time too: its
// bytes and run values must be the definition's for runs at every offset of
// a chunk, pairs next to them, and dense short runs.
TEST_F(RLE_EXP_Stage, EncoderMatchesTheDefinitionAroundCopiedStretches) {
  auto Expect_Definition = [&](const T_Bytes& Data) {
    Reset_Streams();
    const auto Expected = Reference_Encode(Data, 2);
    ASSERT_EQ(Encode(Data), Expected.first);
    ASSERT_EQ(Runs(), Expected.second);
  };
  for (size_t Before = 0; Before <= 40; ++Before) {
    for (size_t Run : {2, 3, 4, 9, 40}) {
      for (size_t After : {0, 1, 2, 15, 16, 17, 18, 33}) {
        T_Bytes Data = Without_Triples(Before, 'a');
        Data.insert(Data.end(), Run, 'Z');
        const T_Bytes Tail = Without_Triples(After, 'a');
        Data.insert(Data.end(), Tail.begin(), Tail.end());
        Expect_Definition(Data);
      }
    }
  }
  std::mt19937 Rng(29);
  for (int Pass = 0; Pass < 50; ++Pass) {
    T_Bytes Data;
    uint8_t Value = 0;
    while (Data.size() < 400) {
      Value = static_cast<uint8_t>(Value + 1 + Rng() % 3);
      Data.insert(Data.end(), 1 + Rng() % 5, Value);
    }
    Expect_Definition(Data);
  }
}

TEST_F(RLE_EXP_Stage, StretchesWithoutTriplesComeOutUnchanged) {
  for (size_t n = 1; n <= 70; ++n) {
    const T_Bytes Data = Without_Triples(n, 'a');
    Reset_Streams();
    EXPECT_EQ(Encode(Data), Data);
    EXPECT_TRUE(Runs().empty());
    Set_Groups({});
    EXPECT_EQ(Decode(Data), Data) << n;
  }
}

// Triples packed close together: runs separated by a single byte or a pair.
TEST_F(RLE_EXP_Stage, DenseRunsRoundTrip) {
  std::mt19937 Rng(13);
  for (int Pass = 0; Pass < 50; ++Pass) {
    T_Bytes Data;
    uint8_t Value = 0;
    while (Data.size() < 300) {
      const size_t Length = 1 + Rng() % 6;
      Value = static_cast<uint8_t>(Value + 1 + Rng() % 3);
      Data.insert(Data.end(), Length, Value);
    }
    Expect_Round_Trip(Data);
  }
}

// Damage found after a long copied stretch is still reported.
TEST_F(RLE_EXP_Stage, DamageAfterCopiedStretches) {
  T_Bytes Coded = Without_Triples(50, 'a');
  Coded.insert(Coded.end(), 4, 'Z');
  Set_Groups({});
  EXPECT_THROW(Decode(Coded), T_QOR_Damaged_Block);
  Set_Groups({{}, {0}});
  EXPECT_THROW(Decode(Without_Triples(50, 'a')), T_QOR_Damaged_Block);
}

// A run that fills the buffer up to a stretch at its very end: the stretch
// fits exactly, and one byte more is damage; chunk copies near the end of
// the buffer must not go past its capacity.
TEST_F(RLE_EXP_Stage, StretchEndingAtTheBufferCapacity) {
  const int32_t Run_Length = QOR_Buffer_Capacity - 40;
  std::vector<std::vector<int32_t>> Groups(23);
  Groups[22] = {Run_Length - 2 - (1 << 22) + 1};
  T_Bytes Coded(24, 'Z');
  const T_Bytes Tail = Without_Triples(40, 'a');
  Coded.insert(Coded.end(), Tail.begin(), Tail.end());
  Set_Groups(Groups);
  const T_Bytes Decoded = Decode(Coded);
  ASSERT_EQ(Decoded.size(), static_cast<size_t>(QOR_Buffer_Capacity));
  EXPECT_TRUE(std::equal(Decoded.end() - 40, Decoded.end(), Tail.begin()));
  EXPECT_EQ(Decoded[static_cast<size_t>(Run_Length) - 1], 'Z');
  Coded.push_back('a');
  Set_Groups(Groups);
  EXPECT_THROW(Decode(Coded), T_QOR_Damaged_Block);
}

}  // namespace
