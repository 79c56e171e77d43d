#include "transform_test_support.h"
#include "transforms/QOR_AWFC_Unit.h"

namespace {

using T_Weights = std::vector<int32_t>;

constexpr int32_t Level_Start[13] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048};

T_Weights Stage_Weights(int32_t Percent) {
  T_Weights W(12);
  T_QOR_AWFC::Compute_Weights(Percent, W.data());
  return W;
}

// Symbols an occurrence takes to pass through every level of weight above 0.
size_t Window_Span(int32_t Percent) {
  const T_Weights W = Stage_Weights(Percent);
  return static_cast<size_t>(Level_Start[std::count_if(W.begin(), W.end(), [](int32_t w) { return w > 0; })]);
}

// Pieces that put one value at several level boundaries at once, or tie
// several sums: runs (which the pipeline never passes on, but the stage must
// take), short periods whose value recurs at distances 1, 2, 4, 8, ..., and
// random bytes over three or twelve values, where different values often
// reach equal sums in the same position.
T_Bytes Coincidence_Bytes(std::mt19937& Rng, size_t n) {
  std::uniform_int_distribution<int> Kind(0, 3), Length(1, 40), Period(2, 6), Value(0, 11);
  T_Bytes Out;
  while (Out.size() < n) {
    const int L = Length(Rng);
    switch (Kind(Rng)) {
      case 0: Out.insert(Out.end(), L, static_cast<uint8_t>(Value(Rng) % 6)); break;
      case 1: {
        const int Cycle = Period(Rng);
        T_Bytes Pattern(Cycle);
        for (auto& b : Pattern) b = static_cast<uint8_t>(Value(Rng) % 6);
        for (int j = 0; j < 3 * L; ++j) Out.push_back(Pattern[j % Cycle]);
        break;
      }
      case 2:
        for (int j = 0; j < L; ++j) Out.push_back(static_cast<uint8_t>(Value(Rng) % 3));
        break;
      default:
        for (int j = 0; j < L; ++j) Out.push_back(static_cast<uint8_t>(Value(Rng)));
    }
  }
  Out.resize(n);
  return Out;
}

int32_t Dominant_Percent(const T_Bytes& Data) {
  std::vector<int64_t> Freq(256, 0);
  for (uint8_t b : Data) Freq[b] += 1;
  int64_t Distinct = 0;
  for (int64_t f : Freq) Distinct += f > 0;
  const int64_t Mean = static_cast<int64_t>(Data.size()) / Distinct;
  int64_t Dominant = 0;
  for (int64_t f : Freq) Dominant += f > 2 * Mean;
  return static_cast<int32_t>(Dominant * 100 / Distinct);
}

// The list kept the slow way: every weight change is followed by a stable sort
// of the whole list by falling sum, and after every position the sums are
// checked against the window's definition, recomputed from scratch.
class Reference_AWFC {
 public:
  explicit Reference_AWFC(int32_t Percent) : List(256), Sum(256, 0) {
    Weights = {131072, 16384};
    for (int32_t i = 2; i < 12; ++i)
      Weights.push_back(static_cast<int32_t>(int64_t{Weights.back()} * 2600 / (i * Percent * Percent + 4185)));
    for (int v = 0; v < 256; ++v) List[v] = v;
  }

  T_Bytes Encode(const T_Bytes& Data) {
    T_Bytes Codes;
    for (size_t Idx = 0; Idx < Data.size(); ++Idx) {
      Codes.push_back(static_cast<uint8_t>(std::find(List.begin(), List.end(), Data[Idx]) - List.begin()));
      Advance(Data, static_cast<int64_t>(Idx));
      Check_Sums(Data, static_cast<int64_t>(Idx));
      if (::testing::Test::HasFailure()) break;
    }
    return Codes;
  }

 private:
  void Change(int Value, int32_t Delta) {
    if (Delta == 0) return;
    Sum[Value] += Delta;
    Stable_Sort_By_Falling_Sum();
  }

  // Insertion sort of the whole list: stable, and quick on a list that is
  // sorted but for the one value just changed.
  void Stable_Sort_By_Falling_Sum() {
    for (size_t i = 1; i < List.size(); ++i) {
      const int Value = List[i];
      size_t k = i;
      for (; k > 0 && Sum[List[k - 1]] < Sum[Value]; --k) List[k] = List[k - 1];
      List[k] = Value;
    }
  }

  void Advance(const T_Bytes& Data, int64_t Idx) {
    for (int i = 0; i < 12; ++i) {
      if (Idx - Level_Start[i + 1] >= 0) Change(Data[Idx - Level_Start[i + 1]], -Weights[i]);
      if (Idx - Level_Start[i] >= 0) Change(Data[Idx - Level_Start[i]], Weights[i]);
    }
  }

  void Check_Sums(const T_Bytes& Data, int64_t Idx) const {
    std::vector<int64_t> Expected(256, 0);
    for (int64_t p = std::max<int64_t>(0, Idx - 2047); p <= Idx; ++p) {
      int Level = 0;
      while (Idx - p >= Level_Start[Level + 1]) ++Level;
      Expected[Data[p]] += Weights[Level];
    }
    for (int v = 0; v < 256; ++v) ASSERT_EQ(Sum[v], Expected[v]) << "value " << v << " after position " << Idx;
  }

  T_Weights Weights;
  std::vector<int> List;
  std::vector<int64_t> Sum;
};

class AWFC_Stage : public Transform_Stage {
 protected:
  T_Bytes Encode(const T_Bytes& Data) {
    Reset_Streams();
    Set_Input(Data);
    AWFC.Encode_Block(B);
    return Bytes_Of(*B.Output);
  }
  T_Bytes Decode(const T_Bytes& Codes, uint8_t Percent) {
    Reset_Streams();
    QOR_MCP->Push_Side_Info(Percent, 1);
    Set_Input(Codes);
    AWFC.Decode_Block(B);
    EXPECT_EQ(B.Side_Info->Length, 2);
    return Bytes_Of(*B.Output);
  }
  uint8_t Pushed_Percent() const {
    EXPECT_EQ(B.Side_Info->Length, 3);
    return B.Side_Info->Data[2];
  }

  // Encoding agrees with the reference, pushes the block's percentage, and
  // decoding restores the input.
  void Expect_Round_Trip(const T_Bytes& Data) {
    const T_Bytes Codes = Encode(Data);
    const int32_t Percent = Dominant_Percent(Data);
    ASSERT_EQ(Pushed_Percent(), Percent);
    ASSERT_EQ(Codes, Reference_AWFC(Percent).Encode(Data)) << "percent " << Percent;
    ASSERT_EQ(Decode(Codes, static_cast<uint8_t>(Percent)), Data);
  }

  T_QOR_AWFC AWFC;
};

TEST_F(AWFC_Stage, WeightTable) {
  EXPECT_EQ(Stage_Weights(0), (T_Weights{131072, 16384, 10178, 6323, 3928, 2440, 1515, 941, 584, 362, 224, 139}));
  EXPECT_EQ(Stage_Weights(10), (T_Weights{131072, 16384, 9714, 5631, 3193, 1771, 962, 512, 267, 136, 68, 33}));
  EXPECT_EQ(Stage_Weights(20), (T_Weights{131072, 16384, 8545, 4125, 1853, 778, 307, 114, 40, 13, 4, 1}));
  EXPECT_EQ(Stage_Weights(50), (T_Weights{131072, 16384, 4637, 1031, 188, 29, 3, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Stage_Weights(100), (T_Weights{131072, 16384, 1761, 133, 7, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(AWFC_Stage, WorkedExample) {
  const T_Bytes Data = {1, 2, 3, 1, 2, 3, 4, 1};
  EXPECT_EQ(Encode(Data), (T_Bytes{1, 2, 3, 2, 2, 2, 4, 2}));
  EXPECT_EQ(Pushed_Percent(), 0);
  EXPECT_EQ(Decode({1, 2, 3, 2, 2, 2, 4, 2}, 0), Data);
}

TEST_F(AWFC_Stage, SingleByteCodedAsItself) {
  EXPECT_EQ(Encode({173}), T_Bytes{173});
  EXPECT_EQ(Pushed_Percent(), 0);
  EXPECT_EQ(Decode({173}, 0), T_Bytes{173});
}

TEST_F(AWFC_Stage, DominantPercentOnSideInfo) {
  // Values 1..4 of which 1 is above twice the mean: 25 %.
  T_Bytes Data;
  for (int r = 0; r < 30; ++r) Data.insert(Data.end(), {1, 2, 1, 3, 1, 4, 1, 2, 1, 1});
  Encode(Data);
  EXPECT_EQ(Pushed_Percent(), 25);
}

TEST_F(AWFC_Stage, EmptyInputPassesThrough) {
  T_QOR_Buffer* In = B.Input;
  Reset_Streams();
  Set_Input({});
  AWFC.Encode_Block(B);
  EXPECT_EQ(B.Output, In);
  EXPECT_EQ(B.Side_Info->Length, 2);
  T_QOR_MCP::Swap_Buffers(B);
  B.Side_Info->Length = 3;
  AWFC.Decode_Block(B);
  EXPECT_EQ(B.Output, In);
  EXPECT_EQ(B.Side_Info->Length, 3);
}

// Values never seen keep the sum 0 and stay behind every positive sum, in
// rising byte order; values whose sum fell back to 0 stay in front of them.
TEST_F(AWFC_Stage, UntouchedValuesStayBehindInOrder) {
  T_Bytes Data;
  for (int r = 0; r < 10; ++r) Data.insert(Data.end(), {10, 20, 30});
  Data.push_back(5);
  Data.push_back(200);
  const T_Bytes Codes = Encode(Data);
  EXPECT_EQ(Codes[Data.size() - 2], 3 + 5);
  // 200 is behind 5, 10, 20, 30 and the 196 untouched values below it.
  EXPECT_EQ(Codes.back(), 4 + 196);
  EXPECT_EQ(Decode(Codes, Pushed_Percent()), Data);
}

// At position 2048 the occurrence at distance 2048 leaves the window: 7, the
// first symbol, drops to 0 and falls behind 5, which still holds the weight of
// level 11.
TEST_F(AWFC_Stage, WindowEdge) {
  T_Bytes Data = {7, 5};
  for (int j = 0; j < 2047; ++j) Data.push_back(j % 2 == 0 ? 1 : 2);
  Data.push_back(5);
  Data.push_back(7);
  const T_Bytes Codes = Encode(Data);
  ASSERT_EQ(Pushed_Percent(), 0);
  EXPECT_EQ(Codes[2049], 2);
  EXPECT_EQ(Codes[2050], 3);
  Expect_Round_Trip(Data);
}

TEST_F(AWFC_Stage, MatchesReference) {
  std::mt19937 Rng(31);
  Expect_Round_Trip(All_Values(3));
  Expect_Round_Trip(Random_Bytes(Rng, 3000, 256));
  Expect_Round_Trip(Random_Bytes(Rng, 3000, 5));
  Expect_Round_Trip(Skewed_Bytes(Rng, 3000));
  // One value dominating: high percentages, weights that reach 0 early and so
  // many equal sums.
  for (int Share : {2, 3, 5}) {
    T_Bytes Data = Random_Bytes(Rng, 2500, 40);
    for (size_t i = 0; i < Data.size(); i += Share) Data[i] = 0;
    Expect_Round_Trip(Data);
  }
  // Periodic patterns tie the sums of whole groups of values.
  T_Bytes Periodic;
  for (int r = 0; r < 400; ++r) Periodic.insert(Periodic.end(), {1, 2, 3, 4, 1, 2, 3, 5});
  Expect_Round_Trip(Periodic);
}

TEST_F(AWFC_Stage, RoundTripsLongBlocks) {
  std::mt19937 Rng(32);
  for (const T_Bytes& Data :
       {Random_Bytes(Rng, 100000, 256), Skewed_Bytes(Rng, 100000), Run_Bytes(Rng, 100000, 20, 2)}) {
    const T_Bytes Codes = Encode(Data);
    EXPECT_EQ(Decode(Codes, Pushed_Percent()), Data);
  }
}

// The list is rebuilt once per position from all of its weight changes; the
// same value met at several level boundaries, runs, and ties between values
// changed in the same position are where that could part from the step by
// step order.
TEST_F(AWFC_Stage, RunsPeriodsAndTiesMatchReference) {
  std::mt19937 Rng(34);
  Expect_Round_Trip(Coincidence_Bytes(Rng, 5000));
  Expect_Round_Trip(Run_Bytes(Rng, 3000, 4, 3));
  for (int Cycle : {1, 2, 3, 4, 5, 8, 16}) {
    T_Bytes Periodic;
    for (int j = 0; j < 2300; ++j) Periodic.push_back(static_cast<uint8_t>(j % Cycle == 0 ? 9 : 20 + j % Cycle));
    Expect_Round_Trip(Periodic);
  }
}

// For every percentage, the decoder rebuilds from the reference's codes a
// block long enough to reach beyond the block start's shorter path and to
// see occurrences leave the last level of weight above 0.
TEST_F(AWFC_Stage, EveryPercentageFollowsReference) {
  std::mt19937 Rng(35);
  for (int Percent = 0; Percent <= 100; ++Percent) {
    const T_Bytes Data = Coincidence_Bytes(Rng, Window_Span(Percent) + 800);
    const T_Bytes Codes = Reference_AWFC(Percent).Encode(Data);
    ASSERT_EQ(Decode(Codes, static_cast<uint8_t>(Percent)), Data) << "percent " << Percent;
  }
}

// Count of levels with a weight above 0: the block loop runs a separate,
// unrolled path for each.
int Active_Levels(int32_t Percent) {
  const T_Weights W = Stage_Weights(Percent);
  return static_cast<int>(std::count_if(W.begin(), W.end(), [](int32_t w) { return w > 0; }));
}

// A shuffled block over 100 values of which the first Dominant occur often
// enough to count as dominant and the others three times each: its percentage
// is Dominant. With none dominant, all 100 share the block evenly.
T_Bytes Block_With_Percent(std::mt19937& Rng, int Dominant, size_t n) {
  T_Bytes Out;
  for (int v = Dominant; v < 100; ++v) Out.insert(Out.end(), 3, static_cast<uint8_t>(v));
  for (size_t j = 0; Out.size() < n; ++j) Out.push_back(static_cast<uint8_t>(j % (Dominant == 0 ? 100 : Dominant)));
  std::shuffle(Out.begin(), Out.end(), Rng);
  return Out;
}

// Encoding meets every count of active levels its percentages can reach (a
// block's dominant share stays below one half), past the block start and
// with occurrences leaving the last active level.
TEST_F(AWFC_Stage, EveryReachableLevelCountEncodesLikeReference) {
  std::mt19937 Rng(36);
  std::vector<int> Seen;
  for (int Percent : {0, 20, 21, 25, 30, 36, 44, 45}) {
    const T_Bytes Data = Block_With_Percent(Rng, Percent, Window_Span(Percent) + 3000);
    ASSERT_EQ(Dominant_Percent(Data), Percent);
    Expect_Round_Trip(Data);
    Seen.push_back(Active_Levels(Percent));
  }
  std::sort(Seen.begin(), Seen.end());
  Seen.erase(std::unique(Seen.begin(), Seen.end()), Seen.end());
  EXPECT_EQ(Seen, (std::vector<int>{7, 8, 9, 10, 11, 12}));
}

TEST_F(AWFC_Stage, DecodesEveryPercentage) {
  std::mt19937 Rng(33);
  const T_Bytes Codes = Random_Bytes(Rng, 4000, 12);
  for (int Percent = 0; Percent <= 100; Percent += 7) {
    const T_Bytes Data = Decode(Codes, static_cast<uint8_t>(Percent));
    EXPECT_EQ(Reference_AWFC(Percent).Encode(Data), Codes) << Percent;
  }
}

TEST_F(AWFC_Stage, DamagePercentageAbove100) {
  EXPECT_EQ(Decode({3, 0, 1}, 100).size(), 3u);
  for (int Percent : {101, 180, 255})
    EXPECT_THROW(Decode({3, 0, 1}, static_cast<uint8_t>(Percent)), T_QOR_Damaged_Block);
}

TEST_F(AWFC_Stage, DamageMissingPercentage) {
  Reset_Streams();
  Set_Input({1, 2});
  EXPECT_THROW(AWFC.Decode_Block(B), T_QOR_Damaged_Block);
}

}  // namespace
