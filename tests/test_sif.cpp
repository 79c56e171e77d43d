#include "transform_test_support.h"
#include "transforms/QOR_SIF_Unit.h"

namespace {

// The rank order of the occurring values, computed with a sort.
std::vector<int> Reference_Order(const std::vector<int64_t>& Freq, int64_t Total) {
  std::vector<int> Order;
  for (int v = 0; v < static_cast<int>(Freq.size()); ++v)
    if (Freq[v] > 0) Order.push_back(v);
  const int64_t Distinct = static_cast<int64_t>(Order.size());
  const int64_t Mean = Total / Distinct;
  int64_t Dominant = 0;
  for (int v : Order) Dominant += Freq[v] > 2 * Mean;
  const bool Descending = Dominant * 100 / Distinct < 10;
  std::sort(Order.begin(), Order.end(), [&](int a, int b) {
    if (Freq[a] != Freq[b]) return Descending ? Freq[a] > Freq[b] : Freq[a] < Freq[b];
    return a > b;
  });
  return Order;
}

// The integers a block must produce, computed the slow and obvious way: rank
// the occurring values with a sort, then count for every occurrence the
// higher-rank symbols since the previous occurrence of its rank.
std::vector<int32_t> Reference_Integers(const T_Bytes& Data) {
  std::vector<int64_t> Freq(256, 0);
  for (uint8_t b : Data) Freq[b] += 1;
  int Alphabet_Size = 256;
  while (Alphabet_Size > 1 && Freq[Alphabet_Size - 1] == 0) --Alphabet_Size;
  const std::vector<int> Order = Reference_Order(Freq, static_cast<int64_t>(Data.size()));
  std::vector<int> Rank(256, -1);
  for (size_t k = 0; k < Order.size(); ++k) Rank[Order[k]] = static_cast<int>(k);

  std::vector<int32_t> Integers = {Alphabet_Size};
  for (int v = 0; v < Alphabet_Size; ++v) Integers.push_back(static_cast<int32_t>(Freq[v]));
  for (size_t r = 0; r + 1 < Order.size(); ++r) {
    int32_t Higher = 0;
    for (uint8_t b : Data) {
      if (Rank[b] == static_cast<int>(r)) {
        Integers.push_back(Higher);
        Higher = 0;
      } else if (Rank[b] > static_cast<int>(r)) {
        ++Higher;
      }
    }
  }
  return Integers;
}

class SIF_Stage : public Transform_Stage {
 protected:
  // The integers put since the streams were reset, in put order.
  std::vector<int32_t> Integers_Put() const {
    const T_QOR_Code_Streams& S = *B.Code_Streams;
    std::vector<int32_t> Values;
    int32_t j = 0;
    for (int32_t i = 0; i < S.Exponent_Count; ++i) {
      const int e = S.Exponents[i];
      Values.push_back(e == 0 ? 0 : (1 << e) + S.Mantissas[j++] - 1);
    }
    return Values;
  }

  std::vector<int32_t> Encode(const T_Bytes& Data) {
    Reset_Streams();
    Set_Input(Data);
    B.Output->Length = 99;
    SIF.Encode_Block(B);
    EXPECT_EQ(B.Output->Length, 0);
    return Integers_Put();
  }

  // Plays the coder's decoding, then runs the inverse.
  T_Bytes Decode() {
    Regroup_Mantissas();
    SIF.Decode_Block(B);
    return Bytes_Of(*B.Output);
  }

  void Expect_Round_Trip(const T_Bytes& Data) {
    const std::vector<int32_t> Integers = Encode(Data);
    ASSERT_EQ(Integers, Reference_Integers(Data));
    const T_QOR_Code_Streams& S = *B.Code_Streams;
    ASSERT_EQ(S.Segment_Count, 1);
    ASSERT_EQ(S.Segment_Lengths[0], static_cast<int32_t>(Integers.size()));
    ASSERT_EQ(Decode(), Data);
    EXPECT_EQ(S.Exponent_Count, static_cast<int32_t>(Integers.size()));
  }

  // A hand-made segment of integers, for the damage cases.
  void Put_Segment(const std::vector<int32_t>& Integers) {
    Reset_Streams();
    for (int32_t v : Integers) QOR_MCP->Put_Integer(v);
    QOR_MCP->Mark_Segment();
  }

  T_QOR_SIF SIF;
};

TEST_F(SIF_Stage, Abracadabra) {
  const std::string Text = "abracadabra";
  const std::vector<int32_t> Integers = Encode(T_Bytes(Text.begin(), Text.end()));
  ASSERT_EQ(Integers.size(), 1u + 115u + 6u);
  EXPECT_EQ(Integers[0], 115);
  std::vector<int32_t> Freq(115, 0);
  Freq['a'] = 5;
  Freq['b'] = 2;
  Freq['c'] = 1;
  Freq['d'] = 1;
  Freq['r'] = 2;
  EXPECT_EQ(std::vector<int32_t>(Integers.begin() + 1, Integers.begin() + 116), Freq);
  // Ranks d c r b a: the distances of d, c, r, r, b, b.
  EXPECT_EQ(std::vector<int32_t>(Integers.begin() + 116, Integers.end()), (std::vector<int32_t>{6, 4, 2, 4, 1, 3}));
  EXPECT_EQ(B.Code_Streams->Segment_Lengths[0], 122);
  EXPECT_EQ(Decode(), T_Bytes(Text.begin(), Text.end()));
}

TEST_F(SIF_Stage, SingleValueBlock) {
  const std::vector<int32_t> Integers = Encode(T_Bytes(1000, 'x'));
  ASSERT_EQ(Integers.size(), 1u + 'x' + 1u);
  EXPECT_EQ(Integers[0], 'x' + 1);
  EXPECT_EQ(Integers.back(), 1000);
  EXPECT_EQ(Decode(), T_Bytes(1000, 'x'));
}

TEST_F(SIF_Stage, OnlyByteZero) {
  EXPECT_EQ(Encode(T_Bytes(777, 0)), (std::vector<int32_t>{1, 777}));
  EXPECT_EQ(Decode(), T_Bytes(777, 0));
}

TEST_F(SIF_Stage, EqualFrequenciesRankByFallingByteValue) {
  // 0 % dominant: falling frequency, 9 before 5, so 9 has rank 0.
  const std::vector<int32_t> Integers = Encode({5, 9, 5, 9, 7});
  EXPECT_EQ(std::vector<int32_t>(Integers.end() - 4, Integers.end()), (std::vector<int32_t>{1, 1, 0, 0}));
  EXPECT_EQ(Decode(), (T_Bytes{5, 9, 5, 9, 7}));
  // A dominant value among three: rising frequency, and still 9 before 5.
  T_Bytes Data = {5, 9, 5, 9};
  Data.insert(Data.end(), 20, 7);
  const std::vector<int32_t> Rising = Encode(Data);
  EXPECT_EQ(std::vector<int32_t>(Rising.end() - 4, Rising.end()), (std::vector<int32_t>{1, 1, 0, 0}));
}

// Ten values of which one is dominant give exactly 10 %: rising frequency, so
// the dominant value ranks last and its occurrences cost no distances. With
// eleven values the share is 9 %, the order falls, and the rarest value
// (the lowest byte value among the rarest) ranks last.
TEST_F(SIF_Stage, RankOrderSwitchesAtTenPercent) {
  T_Bytes Ten(100, 1);
  for (int v = 2; v <= 10; ++v) Ten.insert(Ten.end(), 10, static_cast<uint8_t>(v));
  EXPECT_EQ(Encode(Ten).size(), 1u + 11u + (190u - 100u));
  Expect_Round_Trip(Ten);

  T_Bytes Eleven(100, 1);
  for (int v = 2; v <= 11; ++v) Eleven.insert(Eleven.end(), 10, static_cast<uint8_t>(v));
  EXPECT_EQ(Encode(Eleven).size(), 1u + 12u + (200u - 10u));
  Expect_Round_Trip(Eleven);
}

TEST_F(SIF_Stage, TwoRanksExpectingTheSamePosition) {
  // Rank 0 at position 0 and rank 1 at position 1 both start out expecting
  // position 0; the lower rank takes it and pushes the other on.
  Expect_Round_Trip({3, 2, 3, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
  Expect_Round_Trip({0, 1, 2, 3, 0, 1, 2, 3, 3, 2, 1, 0});
}

TEST_F(SIF_Stage, RoundTrips) {
  std::mt19937 Rng(21);
  Expect_Round_Trip({200});
  Expect_Round_Trip(All_Values(1));
  Expect_Round_Trip(All_Values(7));
  Expect_Round_Trip(Random_Bytes(Rng, 20000, 256));
  Expect_Round_Trip(Random_Bytes(Rng, 20000, 2));
  Expect_Round_Trip(Skewed_Bytes(Rng, 30000));
  Expect_Round_Trip(Run_Bytes(Rng, 30000, 40, 3));
  for (int Trial = 0; Trial < 200; ++Trial) {
    const size_t n = 1 + Rng() % 300;
    Expect_Round_Trip(Random_Bytes(Rng, n, 1 + static_cast<int>(Rng() % 12)));
  }
}

// Both directions count free positions with the processor's bit
// instructions where it has them, or portably; both forms must handle every
// shape: ranks that fill whole 64-position words, one frequent value among
// many, alphabets of every size, block lengths on and off a word boundary.
TEST_F(SIF_Stage, RoundTripsWithPortableAndInstructionBits) {
  for (const bool Instructions : {false, true}) {
    SIF.Bit_Instructions = Instructions;
    std::mt19937 Rng(23);
    for (int Values : {2, 7, 8, 9, 15, 16, 17, 31, 33, 100, 256}) Expect_Round_Trip(Random_Bytes(Rng, 5000, Values));
    for (size_t Length : {63u, 64u, 65u, 127u, 128u, 129u, 4096u}) Expect_Round_Trip(Random_Bytes(Rng, Length, 3));
    T_Bytes One_Frequent = Random_Bytes(Rng, 8000, 200);
    for (size_t i = 0; i < One_Frequent.size(); i += 3) One_Frequent[i] = 7;
    Expect_Round_Trip(One_Frequent);
    Expect_Round_Trip(Skewed_Bytes(Rng, 20000));
    Expect_Round_Trip(Run_Bytes(Rng, 20000, 40, 3));
    T_Bytes Word_Runs;
    for (int Run = 0; Run < 40; ++Run)
      Word_Runs.insert(Word_Runs.end(), 64 * (1 + Run % 3), static_cast<uint8_t>(Run % 5));
    Expect_Round_Trip(Word_Runs);
  }
}

TEST_F(SIF_Stage, DecodesTheLastSegment) {
  Reset_Streams();
  for (int32_t v : {7, 0, 300}) QOR_MCP->Put_Integer(v);
  QOR_MCP->Mark_Segment();
  const T_Bytes Data = {'s', 'i', 'f', 's', 'i', 'f', 'f'};
  Set_Input(Data);
  SIF.Encode_Block(B);
  EXPECT_EQ(Decode(), Data);
  EXPECT_EQ(B.Code_Streams->Exponent_Count, 3 + 1 + 't' + 2 + 3);
}

TEST_F(SIF_Stage, DamageAlphabetSize) {
  Put_Segment({0, 5});
  EXPECT_THROW(Decode(), T_QOR_Damaged_Block);
  std::vector<int32_t> Big(258, 1);
  Big[0] = 257;
  Put_Segment(Big);
  EXPECT_THROW(Decode(), T_QOR_Damaged_Block);
}

TEST_F(SIF_Stage, DamageSegmentTooShort) {
  Put_Segment({});
  EXPECT_THROW(Decode(), T_QOR_Damaged_Block);
  Put_Segment({3, 1, 1});
  EXPECT_THROW(Decode(), T_QOR_Damaged_Block);
  // Two values of three occurrences each need three distances.
  Put_Segment({2, 3, 3, 0, 0});
  EXPECT_THROW(Decode(), T_QOR_Damaged_Block);
  Put_Segment({2, 3, 3, 0, 0, 0});
  EXPECT_EQ(Decode(), (T_Bytes{1, 1, 1, 0, 0, 0}));
}

TEST_F(SIF_Stage, DamageBlockLength) {
  Put_Segment({2, 0, 0});
  EXPECT_THROW(Decode(), T_QOR_Damaged_Block);
  Put_Segment({2, 5000000, 5000000});
  EXPECT_THROW(Decode(), T_QOR_Damaged_Block);
  // A mantissa no coder writes makes a frequency negative; it would index the
  // distances below their start.
  Put_Segment({2, 5, 3, 0, 0, 0, 0, 0});
  Regroup_Mantissas();
  B.Code_Streams->Mantissas[B.Code_Streams->Mantissa_Cursors[1]] = -10;
  EXPECT_THROW(SIF.Decode_Block(B), T_QOR_Damaged_Block);
}

TEST_F(SIF_Stage, DamagedDistancesStayInsideTheBlock) {
  // Distances that pass the end of the block, in either rank that has them.
  Put_Segment({3, 4, 4, 4, 16000000, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_THROW(Decode(), T_QOR_Damaged_Block);
  Put_Segment({3, 4, 4, 4, 0, 0, 0, 0, 0, 0, 0, 5});
  EXPECT_THROW(Decode(), T_QOR_Damaged_Block);
  Put_Segment({3, 4, 4, 4, 0, 0, 0, 9, 0, 0, 0, 0});
  EXPECT_THROW(Decode(), T_QOR_Damaged_Block);
  // Distances that stay inside always give a block of the right size (a
  // wrong one is left to the block's CRC). Ranks by falling byte value: 2 takes
  // 1 3 5 7, then 1 takes 0 2 4 and, passing 6 8 9, 10; 0 keeps the rest.
  Put_Segment({3, 4, 4, 4, 1, 1, 1, 1, 0, 0, 0, 3});
  EXPECT_EQ(Decode(), (T_Bytes{1, 2, 1, 2, 1, 2, 0, 2, 0, 0, 1, 0}));
}

// The block rebuilt position by position: at each position the lowest rank
// whose next occurrence is due there takes it, and every rank above it is
// pushed on by one. Empty when some occurrence would fall past the block.
T_Bytes Reference_Decode(const std::vector<int32_t>& Integers) {
  const int Alphabet_Size = Integers[0];
  std::vector<int64_t> Freq(Integers.begin() + 1, Integers.begin() + 1 + Alphabet_Size);
  int64_t Total = 0;
  for (int64_t f : Freq) Total += f;
  const std::vector<int> Order = Reference_Order(Freq, Total);
  const size_t L = Order.size() - 1;
  std::vector<int64_t> Left(L), Next(L);
  std::vector<size_t> Read(L);
  size_t Cursor = 1 + static_cast<size_t>(Alphabet_Size);
  for (size_t k = 0; k < L; ++k) {
    Left[k] = Freq[Order[k]];
    Read[k] = Cursor;
    Cursor += static_cast<size_t>(Left[k]);
    if (Left[k] > 0) Next[k] = Integers[Read[k]++];
  }
  T_Bytes Out;
  for (int64_t e = 0; e < Total; ++e) {
    size_t k = 0;
    while (k < L && !(Left[k] > 0 && Next[k] == e)) ++k;
    Out.push_back(static_cast<uint8_t>(Order[k]));
    if (k == L) continue;
    if (--Left[k] > 0) Next[k] = e + 1 + Integers[Read[k]++];
    for (size_t t = k + 1; t < L; ++t) Next[t] += 1;
  }
  for (size_t k = 0; k < L; ++k)
    if (Left[k] > 0) return {};
  return Out;
}

// Any distances at all, not only those an encoder makes: the placement by
// free positions must agree with the position-by-position rule whenever all
// occurrences fit, and report damage when one falls past the block.
TEST_F(SIF_Stage, ArbitraryDistancesDecodeAsThePositionRuleSays) {
  std::mt19937 Rng(29);
  for (const bool Instructions : {false, true}) {
    SIF.Bit_Instructions = Instructions;
    int Fitting = 0;
    for (int Trial = 0; Trial < 300; ++Trial) {
      const int Alphabet_Size = 2 + static_cast<int>(Rng() % 30);
      std::vector<int32_t> Integers = {Alphabet_Size};
      int64_t Total = 0;
      for (int v = 0; v < Alphabet_Size; ++v) {
        const int32_t f = Rng() % 4 == 0 ? 0 : static_cast<int32_t>(Rng() % 40);
        Integers.push_back(f);
        Total += f;
      }
      if (Total == 0) continue;
      const std::vector<int> Order = Reference_Order(std::vector<int64_t>(Integers.begin() + 1, Integers.end()), Total);
      const int64_t M = Total - Integers[1 + Order.back()];
      const int32_t Spread = 1 + static_cast<int32_t>(Rng() % 8);
      for (int64_t j = 0; j < M; ++j) Integers.push_back(static_cast<int32_t>(Rng() % static_cast<uint32_t>(Spread)));
      Put_Segment(Integers);
      const T_Bytes Expected = Reference_Decode(Integers);
      if (Expected.empty()) {
        EXPECT_THROW(Decode(), T_QOR_Damaged_Block) << Trial;
      } else {
        EXPECT_EQ(Decode(), Expected) << Trial;
        ++Fitting;
      }
    }
    EXPECT_GT(Fitting, 50);
  }
}

// The distances are read while the ranks are placed; afterwards the stream
// stands after the segment, every mantissa of it used.
TEST_F(SIF_Stage, DecodeLeavesTheStreamAfterTheSegment) {
  std::mt19937 Rng(31);
  for (const bool Instructions : {false, true}) {
    SIF.Bit_Instructions = Instructions;
    Reset_Streams();
    Set_Input(Skewed_Bytes(Rng, 5000));
    SIF.Encode_Block(B);
    const int32_t Exponent_End = B.Code_Streams->Exponent_Count;
    Regroup_Mantissas();
    int32_t Group_End[QOR_Exponent_Slots];
    std::memcpy(Group_End, B.Code_Streams->Mantissa_Cursors, sizeof Group_End);
    SIF.Decode_Block(B);
    EXPECT_EQ(B.Code_Streams->Exponent_Count, Exponent_End);
    for (int e = 1; e < QOR_Exponent_Slots; ++e) EXPECT_EQ(B.Code_Streams->Mantissa_Cursors[e], Group_End[e]) << e;
  }
}

// Mantissas no coder writes: far too large, or negative, in a distance.
TEST_F(SIF_Stage, DamagedMantissasInDistances) {
  for (const int32_t Mantissa : {INT32_MAX, INT32_MIN, -1000}) {
    for (const bool Instructions : {false, true}) {
      SIF.Bit_Instructions = Instructions;
      Put_Segment({3, 4, 4, 4, 0, 0, 0, (1 << 23) - 1, 0, 0, 0, 0});
      Regroup_Mantissas();
      B.Code_Streams->Mantissas[B.Code_Streams->Mantissa_Cursors[22]] = Mantissa;
      EXPECT_THROW(SIF.Decode_Block(B), T_QOR_Damaged_Block) << Mantissa;
    }
  }
}

}  // namespace
