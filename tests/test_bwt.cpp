#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include "pipeline/QOR_MCP_Unit.h"
#include "transforms/QOR_BWT_Unit.h"
#include "transforms/QOR_Suffix_Sort_Unit.h"

namespace {

using T_Bytes = std::vector<uint8_t>;

struct T_Transformed {
  T_Bytes Last_Column;
  int32_t Primary_Index = -1;
  bool operator==(const T_Transformed&) const = default;
};

// Suffix order with the end marker smallest: a suffix that is a prefix of
// another sorts first, which is exactly string_view's order.
std::vector<int32_t> Reference_Suffix_Array(const T_Bytes& T) {
  const std::string_view Text(reinterpret_cast<const char*>(T.data()), T.size());
  std::vector<int32_t> SA(T.size());
  for (size_t i = 0; i < T.size(); ++i) SA[i] = static_cast<int32_t>(i);
  std::sort(SA.begin(), SA.end(), [&](int32_t A, int32_t B) {
    const std::string_view X = Text.substr(A);
    const std::string_view Y = Text.substr(B);
    // string_view compares chars as unsigned through char_traits<char>.
    return X.compare(Y) < 0;
  });
  return SA;
}

T_Transformed Reference_BWT(const T_Bytes& T) {
  T_Transformed R;
  R.Last_Column.push_back(T.back());  // row 0: the end marker alone
  for (const int32_t P : Reference_Suffix_Array(T)) {
    if (P == 0) R.Primary_Index = static_cast<int32_t>(R.Last_Column.size());
    R.Last_Column.push_back(P > 0 ? T[P - 1] : 0);
  }
  return R;
}

// Drives the stage on a real pipeline record, as the pipeline does.
class BWT_Stage : public ::testing::Test {
 protected:
  T_QOR_MCP Pipeline;
  T_QOR_Block_Data& B = Pipeline.Block();
  T_QOR_BWT BWT;

  T_Transformed Forward(const T_Bytes& T) {
    std::copy(T.begin(), T.end(), B.Input->Data);
    B.Input->Length = static_cast<int32_t>(T.size());
    B.Side_Info->Length = 2;
    BWT.Encode_Block(B);
    EXPECT_EQ(B.Input->Length, static_cast<int32_t>(T.size()));
    EXPECT_TRUE(std::equal(T.begin(), T.end(), B.Input->Data)) << "the block itself must not change";
    EXPECT_EQ(B.Output->Length, static_cast<int32_t>(T.size()) + 1);
    EXPECT_EQ(B.Side_Info->Length, 5);
    T_Transformed R;
    R.Last_Column.assign(B.Output->Data, B.Output->Data + B.Output->Length);
    const uint8_t* S = B.Side_Info->Data + 2;
    R.Primary_Index = S[0] | S[1] << 8 | S[2] << 16;
    return R;
  }

  T_Bytes Inverse(const T_Transformed& R) {
    std::copy(R.Last_Column.begin(), R.Last_Column.end(), B.Input->Data);
    B.Input->Length = static_cast<int32_t>(R.Last_Column.size());
    B.Side_Info->Length = 2;
    QOR_MCP->Push_Side_Info(static_cast<uint32_t>(R.Primary_Index), 3);
    BWT.Decode_Block(B);
    EXPECT_EQ(B.Side_Info->Length, 2);
    return T_Bytes(B.Output->Data, B.Output->Data + B.Output->Length);
  }

  // Damages one byte of Good at a time: the inverse either reports the block
  // or rebuilds something else, never the original and never out of bounds.
  void Corrupt_And_Check(std::mt19937& Rng, const T_Bytes& T, const T_Transformed& Good);
  void Check_Wrong_Primary_Indexes(const T_Bytes& T);

  T_Transformed Forward_With(T_QOR_BWT::T_Variant Variant, const T_Bytes& T) {
    BWT.Variant = Variant;
    T_Transformed R = Forward(T);
    BWT.Variant = T_QOR_BWT::T_Variant::By_Cost;
    return R;
  }

  // The transform of T must be the reference's, under both variants, and
  // must invert back to T.
  void Check_Block(const T_Bytes& T, const char* Shape) {
    SCOPED_TRACE(::testing::Message() << Shape << ", " << T.size() << " bytes");
    const T_Transformed Expected = Reference_BWT(T);
    const T_Transformed Got = Forward(T);
    ASSERT_EQ(Got, Expected);
    EXPECT_EQ(Forward_With(T_QOR_BWT::T_Variant::Ascending, T), Expected);
    EXPECT_EQ(Forward_With(T_QOR_BWT::T_Variant::Descending, T), Expected);
    EXPECT_EQ(Inverse(Got), T);
  }
};

T_Bytes Bytes_Of(std::string_view Text) { return T_Bytes(Text.begin(), Text.end()); }

T_Bytes Random_Block(std::mt19937& Rng, size_t Length, int Alphabet) {
  T_Bytes T(Length);
  std::uniform_int_distribution<int> Pick(0, Alphabet - 1);
  for (auto& Byte : T) Byte = static_cast<uint8_t>(Alphabet == 256 ? Pick(Rng) : 'a' + Pick(Rng));
  return T;
}

T_Bytes Runs_Block(std::mt19937& Rng, size_t Length) {
  T_Bytes T;
  std::uniform_int_distribution<int> Byte(0, 3), Run(1, 40);
  while (T.size() < Length) T.insert(T.end(), Run(Rng), static_cast<uint8_t>(Byte(Rng) * 85));
  T.resize(Length);
  return T;
}

T_Bytes Repeat(const T_Bytes& Unit, size_t Length) {
  T_Bytes T(Length);
  for (size_t i = 0; i < Length; ++i) T[i] = Unit[i % Unit.size()];
  return T;
}

T_Bytes Fibonacci_Block(size_t Length) {
  T_Bytes A = {'a'}, B = {'a', 'b'};
  while (B.size() < Length) {
    T_Bytes Next = B;
    Next.insert(Next.end(), A.begin(), A.end());
    A = std::move(B);
    B = std::move(Next);
  }
  B.resize(Length);
  return B;
}

// A disk image: equal 512-byte sectors, with a few that differ in one byte.
T_Bytes Sectors_Block(std::mt19937& Rng, size_t Length) {
  const T_Bytes Sector = Random_Block(Rng, 512, 256);
  T_Bytes T = Repeat(Sector, Length);
  for (size_t s = 7; s * 512 < Length; s += 13) T[s * 512 + Rng() % 512] ^= 0x5A;
  return T;
}

}  // namespace

TEST_F(BWT_Stage, BananaVector) {
  const T_Bytes Banana = Bytes_Of("banana");
  const T_Transformed Expected{{'a', 'n', 'n', 'b', 0, 'a', 'a'}, 4};
  EXPECT_EQ(Forward(Banana), Expected);
  const uint8_t* S = B.Side_Info->Data;
  EXPECT_EQ(S[2], 4);
  EXPECT_EQ(S[3], 0);
  EXPECT_EQ(S[4], 0);
  EXPECT_EQ(Forward_With(T_QOR_BWT::T_Variant::Ascending, Banana), Expected);
  EXPECT_EQ(Forward_With(T_QOR_BWT::T_Variant::Descending, Banana), Expected);
  EXPECT_EQ(Inverse(Expected), Banana);
}

TEST_F(BWT_Stage, OneByteBlockForEveryValue) {
  for (int X = 0; X < 256; ++X) {
    const T_Bytes T{static_cast<uint8_t>(X)};
    const T_Transformed Expected{{static_cast<uint8_t>(X), 0}, 1};
    EXPECT_EQ(Forward(T), Expected) << X;
    EXPECT_EQ(Forward_With(T_QOR_BWT::T_Variant::Descending, T), Expected) << X;
    EXPECT_EQ(Inverse(Expected), T) << X;
  }
}

TEST_F(BWT_Stage, EqualBytesGiveThemselvesAndAPlaceholder) {
  for (const uint8_t Byte : {uint8_t{0}, uint8_t{'q'}, uint8_t{255}}) {
    for (const size_t N : {size_t{1}, size_t{2}, size_t{3}, size_t{13}, size_t{300}, size_t{100000}}) {
      const T_Bytes T(N, Byte);
      T_Transformed Expected{T_Bytes(N, Byte), static_cast<int32_t>(N)};
      Expected.Last_Column.push_back(0);
      EXPECT_EQ(Forward(T), Expected) << int{Byte} << " x " << N;
      EXPECT_FALSE(BWT.Used_Fallback) << "runs of one byte are placed by scans";
      EXPECT_EQ(Inverse(Expected), T);
    }
  }
}

TEST_F(BWT_Stage, TrailingZeroRunSortsShortestFirst) {
  T_Bytes T = Bytes_Of("xyz");
  T.insert(T.end(), 1000, 0);
  const T_Transformed Got = Forward(T);
  // Rows 1..1000 are the suffixes of the zero run, shortest first: each is
  // preceded by a zero except the longest, preceded by 'z'.
  for (int r = 0; r < 1000; ++r) ASSERT_EQ(Got.Last_Column[r], 0) << r;
  EXPECT_EQ(Got.Last_Column[1000], 'z');
  Check_Block(T, "zero run at the end");
}

TEST_F(BWT_Stage, EmptyBlockPassesThrough) {
  T_QOR_Buffer* Input = B.Input;
  T_QOR_Buffer* Output = B.Output;
  B.Input->Length = 0;
  B.Side_Info->Length = 2;
  BWT.Encode_Block(B);
  EXPECT_EQ(B.Side_Info->Length, 2);
  T_QOR_MCP::Swap_Buffers(B);  // the pipeline's own swap
  EXPECT_EQ(B.Input, Input);
  EXPECT_EQ(B.Output, Output);
  BWT.Decode_Block(B);
  EXPECT_EQ(B.Side_Info->Length, 2);
  T_QOR_MCP::Swap_Buffers(B);
  EXPECT_EQ(B.Input, Input);
}

TEST_F(BWT_Stage, ShortBlocksAroundTheShellSortLimit) {
  std::mt19937 Rng(12);
  for (size_t N = 1; N <= 40; ++N) {
    for (const int Alphabet : {2, 3, 256}) {
      for (int k = 0; k < 4; ++k) Check_Block(Random_Block(Rng, N, Alphabet), "short random");
    }
  }
}

// Alphabets of two and three letters put a few hundred suffixes into one
// two-byte bucket: the sampled pivot (256 rows and more) and deep ranges.
TEST_F(BWT_Stage, MatchesReferenceOnRandomAndStructuredBlocks) {
  std::mt19937 Rng(2026);
  for (const size_t N : {size_t{100}, size_t{700}, size_t{1100}, size_t{1500}, size_t{5000}, size_t{40000}}) {
    Check_Block(Random_Block(Rng, N, 256), "random bytes");
    Check_Block(Random_Block(Rng, N, 2), "two letters");
    Check_Block(Random_Block(Rng, N, 3), "three letters");
    Check_Block(Random_Block(Rng, N, 4), "four letters");
    Check_Block(Runs_Block(Rng, N), "runs");
    Check_Block(Repeat(Random_Block(Rng, 7, 256), N), "period 7");
    Check_Block(Repeat(Bytes_Of("ab"), N), "ab repeated");
    Check_Block(Fibonacci_Block(N), "Fibonacci");
  }
}

TEST_F(BWT_Stage, EveryByteValueAndBothEnds) {
  T_Bytes T;
  for (int Round = 0; Round < 3; ++Round) {
    for (int X = 0; X < 256; ++X) T.push_back(static_cast<uint8_t>(Round == 1 ? 255 - X : X));
  }
  Check_Block(T, "all values up, down, up");
  T.assign(600, 255);
  T.push_back(0);
  T.insert(T.end(), 600, 255);
  Check_Block(T, "255 runs around a zero");
}

// Long repeats defeat the comparison sort; the budget hands these to the
// guaranteed-time sort, and the output must not change.
TEST_F(BWT_Stage, DegenerateBlocksMatchReference) {
  std::mt19937 Rng(7);
  constexpr size_t N = 1 << 15;
  Check_Block(Repeat(Random_Block(Rng, 1024, 256), N), "1 KB random chunk repeated");
  EXPECT_TRUE(BWT.Used_Fallback);
  Check_Block(Repeat(Bytes_Of("ab"), N), "ab repeated");
  Check_Block(Repeat(Bytes_Of("period7"), N), "period-7 text");
  Check_Block(Fibonacci_Block(N), "Fibonacci string");
  Check_Block(Sectors_Block(Rng, N), "equal 512-byte sectors");
  EXPECT_TRUE(BWT.Used_Fallback);
  Check_Block(T_Bytes(N, 0), "all zero");
  Check_Block(T_Bytes(N, 'e'), "all one byte");
}

// With no budget at all every block that needs a comparison goes to the
// guaranteed-time sort.
TEST_F(BWT_Stage, GuaranteedTimePathMatchesReference) {
  BWT.Work_Per_Row = 0;
  std::mt19937 Rng(99);
  for (const size_t N : {size_t{2}, size_t{5}, size_t{20}, size_t{300}, size_t{3000}}) {
    Check_Block(Random_Block(Rng, N, 256), "random bytes");
    Check_Block(Random_Block(Rng, N, 2), "two letters");
    Check_Block(Runs_Block(Rng, N), "runs");
    Check_Block(Fibonacci_Block(N), "Fibonacci");
  }
  EXPECT_TRUE(BWT.Used_Fallback);
}

TEST(BWT_Suffix_Sort, MatchesReferenceIncludingDeepRecursion) {
  std::mt19937 Rng(5);
  std::vector<T_Bytes> Blocks = {Bytes_Of("a"),           Bytes_Of("ba"),        Bytes_Of("ab"),
                                 Bytes_Of("mississippi"), Fibonacci_Block(5000), Repeat(Bytes_Of("abc"), 4000),
                                 T_Bytes(777, 0)};
  for (int k = 0; k < 50; ++k) Blocks.push_back(Random_Block(Rng, 1 + Rng() % 2000, 1 + k % 4));
  for (int k = 0; k < 10; ++k) Blocks.push_back(Random_Block(Rng, 1 + Rng() % 2000, 256));
  for (const T_Bytes& T : Blocks) {
    const int32_t N = static_cast<int32_t>(T.size());
    std::vector<int32_t> SA(N);
    std::vector<uint32_t> Work(T_QOR_Suffix_Sort::Work_Entries(N));
    T_QOR_Suffix_Sort::Sort(T.data(), N, SA.data(), Work.data());
    EXPECT_EQ(SA, Reference_Suffix_Array(T)) << N << " bytes";
  }
}

// 300,000 rows are walked by one thread, 600,000 by two.
TEST_F(BWT_Stage, InverseRestoresLargeBlocks) {
  std::mt19937 Rng(31);
  for (const T_Bytes& T : {Random_Block(Rng, 300000, 256), Random_Block(Rng, 300000, 3), Runs_Block(Rng, 300000),
                           Random_Block(Rng, 600000, 256), Random_Block(Rng, 600000, 3), Runs_Block(Rng, 600000)}) {
    const T_Transformed R = Forward(T);
    EXPECT_EQ(Inverse(R), T);
  }
}

// The largest block, on the guaranteed-time path: suffix array, padding and
// scratch at their largest, inside the pipeline's buffers.
TEST_F(BWT_Stage, LargestBlockRoundTrips) {
  const T_Bytes Periodic = Repeat(Bytes_Of("ab"), QOR_Block_Size);
  EXPECT_EQ(Inverse(Forward(Periodic)), Periodic);
  EXPECT_TRUE(BWT.Used_Fallback);
}

// Large blocks: the buckets of the sorted class are shared out between two
// threads. The reference is the guaranteed-time suffix sort, checked above
// against the plain string order; it is fast enough for blocks of this size.
namespace {

T_Transformed Reference_BWT_Large(const T_Bytes& T) {
  const int32_t N = static_cast<int32_t>(T.size());
  std::vector<int32_t> SA(T.size());
  std::vector<uint32_t> Work(T_QOR_Suffix_Sort::Work_Entries(N));
  T_QOR_Suffix_Sort::Sort(T.data(), N, SA.data(), Work.data());
  T_Transformed R;
  R.Last_Column.push_back(T.back());
  for (const int32_t P : SA) {
    if (P == 0) R.Primary_Index = static_cast<int32_t>(R.Last_Column.size());
    R.Last_Column.push_back(P > 0 ? T[P - 1] : 0);
  }
  return R;
}

// Words drawn with Zipf-like frequencies, with punctuation and line ends:
// two-byte buckets from a single row to tens of thousands, as in text.
T_Bytes Text_Like_Block(std::mt19937& Rng, size_t Length) {
  std::uniform_int_distribution<int> Letter('a', 'z'), Word_Length(1, 9);
  std::vector<T_Bytes> Words(3000);
  for (auto& Word : Words) {
    Word.resize(static_cast<size_t>(Word_Length(Rng)));
    for (auto& Byte : Word) Byte = static_cast<uint8_t>(Letter(Rng));
  }
  std::vector<double> Weights(Words.size());
  for (size_t k = 0; k < Weights.size(); ++k) Weights[k] = 1.0 / static_cast<double>(k + 1);
  std::discrete_distribution<size_t> Pick(Weights.begin(), Weights.end());
  const std::string_view Separators = "      ,.\n;";
  T_Bytes T;
  while (T.size() < Length) {
    const T_Bytes& Word = Words[Pick(Rng)];
    T.insert(T.end(), Word.begin(), Word.end());
    T.push_back(static_cast<uint8_t>(Separators[Rng() % Separators.size()]));
  }
  T.resize(Length);
  return T;
}

// Text with binary stretches, runs and short stretches of repeats: very
// uneven buckets and some deep ones, in one block, within the budget.
T_Bytes Mixed_Block(std::mt19937& Rng, size_t Length) {
  T_Bytes T = Text_Like_Block(Rng, Length / 2);
  const T_Bytes Binary = Random_Block(Rng, Length / 8, 256);
  T.insert(T.end(), Binary.begin(), Binary.end());
  for (int k = 0; k < 20; ++k) {
    const T_Bytes Repeats = Repeat(Random_Block(Rng, 3 + Rng() % 40, 4), 1500);
    T.insert(T.end(), Repeats.begin(), Repeats.end());
  }
  const T_Bytes Runs = Runs_Block(Rng, Length / 8);
  T.insert(T.end(), Runs.begin(), Runs.end());
  const T_Bytes More_Text = Text_Like_Block(Rng, Length - T.size());
  T.insert(T.end(), More_Text.begin(), More_Text.end());
  return T;
}

}  // namespace

class BWT_Two_Threads : public BWT_Stage {
 protected:
  // The block must come out as the reference under every variant, on two
  // threads and on one, and several times over: a race shows as a
  // difference between runs or from the reference.
  void Check_Large_Block(const T_Bytes& T, const char* Shape, bool Expect_Fallback = false) {
    SCOPED_TRACE(::testing::Message() << Shape << ", " << T.size() << " bytes, " << BWT.Work_Per_Row
                                      << " work per row");
    const T_Transformed Expected = Reference_BWT_Large(T);
    for (const auto Variant :
         {T_QOR_BWT::T_Variant::By_Cost, T_QOR_BWT::T_Variant::Ascending, T_QOR_BWT::T_Variant::Descending}) {
      for (int Round = 0; Round < 3; ++Round) {
        ASSERT_EQ(Forward_With(Variant, T), Expected) << "variant " << static_cast<int>(Variant);
        EXPECT_TRUE(BWT.Used_Second_Thread);
        EXPECT_EQ(BWT.Used_Fallback, Expect_Fallback);
      }
      BWT.Sort_Threads = 1;
      ASSERT_EQ(Forward_With(Variant, T), Expected) << "one thread, variant " << static_cast<int>(Variant);
      EXPECT_FALSE(BWT.Used_Second_Thread);
      BWT.Sort_Threads = 2;
    }
  }
};

TEST_F(BWT_Two_Threads, MatchReferenceOnBlocksWithUnevenBuckets) {
  std::mt19937 Rng(64);
  Check_Large_Block(Text_Like_Block(Rng, 400000), "text-like");
  Check_Large_Block(Mixed_Block(Rng, 600000), "text, binary, repeats and runs");
  Check_Large_Block(Random_Block(Rng, 300000, 256), "random bytes");
  Check_Large_Block(Random_Block(Rng, 300000, 3), "three letters");
  Check_Large_Block(Runs_Block(Rng, 300000), "runs");
}

// Just above the size that takes a worker, and blocks of every size in
// turn: nothing of one block's split may leak into the next.
TEST_F(BWT_Two_Threads, SmallAndLargeBlocksInTurn) {
  std::mt19937 Rng(65);
  for (const size_t N : {size_t{65535}, size_t{700}, size_t{200000}, size_t{65534}, size_t{90000}, size_t{5}}) {
    const T_Bytes T = Text_Like_Block(Rng, N);
    SCOPED_TRACE(N);
    ASSERT_EQ(Forward(T), Reference_BWT_Large(T));
    EXPECT_EQ(BWT.Used_Second_Thread, N >= 65535) << "blocks under 64 KB stay on one thread";
  }
}

// A budget that runs out while both threads sort: whichever thread finds it
// spent, the block goes to the guaranteed-time sort and the output holds.
TEST_F(BWT_Two_Threads, BudgetRunsOutWhileBothThreadsSort) {
  std::mt19937 Rng(66);
  const T_Bytes Text = Text_Like_Block(Rng, 300000);
  for (const int64_t Work : {0, 1, 2, 3}) {
    BWT.Work_Per_Row = Work;
    Check_Large_Block(Text, "text-like, low budget", true);
  }
  BWT.Work_Per_Row = 32;
  // Ordinary text and, in the middle, a 1 KB chunk repeated: the repeats
  // spend the whole budget at the default setting.
  T_Bytes Degenerate = Text_Like_Block(Rng, 200000);
  const T_Bytes Repeats = Repeat(Random_Block(Rng, 1024, 256), 200000);
  Degenerate.insert(Degenerate.begin() + 100000, Repeats.begin(), Repeats.end());
  Check_Large_Block(Degenerate, "text around a repeated chunk", true);
}

// The worker keeps its scratch in the mantissa stream; whatever an earlier
// block left there does not change the transform.
TEST_F(BWT_Two_Threads, WorkerScratchNeedsNoClearing) {
  std::mt19937 Rng(67);
  const T_Bytes T = Mixed_Block(Rng, 300000);
  const T_Transformed Expected = Reference_BWT_Large(T);
  std::fill(B.Code_Streams->Mantissas, B.Code_Streams->Mantissas + QOR_Buffer_Capacity, -1);
  ASSERT_EQ(Forward(T), Expected);
  EXPECT_TRUE(BWT.Used_Second_Thread);
}

TEST_F(BWT_Stage, DamagedPrimaryIndexIsReported) {
  const T_Transformed Banana{{'a', 'n', 'n', 'b', 0, 'a', 'a'}, 4};
  for (const int32_t Bad : {0, 7, 8, 1000, 0xFFFFFF}) {
    T_Transformed R = Banana;
    R.Primary_Index = Bad;
    EXPECT_THROW(Inverse(R), T_QOR_Damaged_Block) << Bad;
  }
  // A primary index in range but wrong never rebuilds the block silently.
  std::mt19937 Rng(3);
  for (const T_Bytes& T : {Random_Block(Rng, 2000, 4), Random_Block(Rng, 200000, 256), Runs_Block(Rng, 600000)}) {
    Check_Wrong_Primary_Indexes(T);
  }
}

void BWT_Stage::Check_Wrong_Primary_Indexes(const T_Bytes& T) {
  const T_Transformed Good = Forward(T);
  const int32_t Step = static_cast<int32_t>(Good.Last_Column.size()) / 50 + 1;
  int Reported = 0;
  for (int32_t P = 1; P < static_cast<int32_t>(Good.Last_Column.size()); P += Step) {
    if (P == Good.Primary_Index) continue;
    T_Transformed R = Good;
    R.Primary_Index = P;
    try {
      EXPECT_NE(Inverse(R), T) << P;
    } catch (const T_QOR_Damaged_Block&) {
      ++Reported;
    }
  }
  EXPECT_GT(Reported, 0) << "the rows of a wrong primary index rarely form one cycle";
}

// Large blocks are rebuilt by several walks at once, on two threads from
// 524,288 rows on; damage must still be caught whichever walk, on whichever
// thread, meets it.
TEST_F(BWT_Stage, DamagedLastColumnNeverLeavesTheTables) {
  std::mt19937 Rng(4);
  for (const T_Bytes& T : {Random_Block(Rng, 5000, 256), Random_Block(Rng, 400000, 4), Runs_Block(Rng, 400000),
                           Random_Block(Rng, 600000, 4), Runs_Block(Rng, 600000)}) {
    const T_Transformed Good = Forward(T);
    Corrupt_And_Check(Rng, T, Good);
  }
}

void BWT_Stage::Corrupt_And_Check(std::mt19937& Rng, const T_Bytes& T, const T_Transformed& Good) {
  int Reported = 0;
  for (int k = 0; k < 30; ++k) {
    T_Transformed R = Good;
    const size_t Row = Rng() % R.Last_Column.size();
    if (static_cast<int32_t>(Row) == R.Primary_Index) continue;  // the placeholder carries no data
    R.Last_Column[Row] ^= static_cast<uint8_t>(1 + Rng() % 255);
    try {
      EXPECT_NE(Inverse(R), T);
    } catch (const T_QOR_Damaged_Block&) {
      ++Reported;
    }
  }
  EXPECT_GT(Reported, 0) << "a changed byte rarely leaves the rows in one cycle";
}
