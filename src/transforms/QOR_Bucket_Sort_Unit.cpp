#include "transforms/QOR_Bucket_Sort_Unit.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "pipeline/QOR_Threads_Unit.h"

namespace {

constexpr int32_t Shell_Limit = T_QOR_Bucket_Sort::Shell_Limit;
constexpr int32_t Max_Push_Depth = 24;  // equal parts deeper than this are Shell-sorted
constexpr int32_t Pivot_Sample_Limit = 256;
constexpr int32_t Radix_Limit = 128;     // ranges this large are split on all byte values at once,
constexpr int32_t Radix_Min_Values = 8;  // when their bytes take more values than this
constexpr int32_t Chunk = 64;            // bytes per Compare_Suffixes step
constexpr int32_t Skew_Ratio = 16;       // a partition test passed by under 1/16 of the rows is predictable
constexpr int32_t Key_Bytes = 4;         // bytes of each suffix one gather of the key cache holds
// Work budget weights. Ordinary blocks spend their sorting work on short
// prefixes; long common prefixes (chunks after the first one of a
// comparison, partitions past this depth) are what makes repetitive blocks
// slow, so they count this many times over and such blocks reach the
// budget, and the guaranteed-time sort, quickly.
constexpr int32_t Deep_Depth = 16;
constexpr int64_t Deep_Weight = 8;
constexpr int32_t Shell_Increments[] = {1,    4,    13,    40,    121,    364,    1093,
                                        3280, 9841, 29524, 88573, 265720, 797161, 2391484};
constexpr int Increment_Count = sizeof Shell_Increments / sizeof Shell_Increments[0];

inline uint64_t Load_Big_Endian(const uint8_t* P) {
  uint64_t V;
  std::memcpy(&V, P, sizeof V);
  return __builtin_bswap64(V);
}

inline uint32_t Load_Big_Endian_32(const uint8_t* P) {
  uint32_t V;
  std::memcpy(&V, P, sizeof V);
  return __builtin_bswap32(V);
}

inline uint64_t Load_Native(const uint8_t* P) {
  uint64_t V;
  std::memcpy(&V, P, sizeof V);
  return V;
}

// Below this many rows a second thread costs about what it saves.
constexpr int32_t Min_Rows_For_Worker = 65536;
// Work a thread spends between draws on the shared budget: small next to
// any budget worth sharing, large enough that the draws cost nothing.
constexpr int64_t Work_Allowance = 1 << 16;

// The work budget of one block, shared by the threads that sort its
// buckets. Each thread spends from an allowance of its own and draws the
// next one here, paying what it overspent; together they run past the
// budget by at most one allowance each, beside the step in progress (as a
// single thread would). A failed draw leaves the budget spent for good, so
// the other thread stops at its next draw.
//
// Beside the block's total, spending is held to a rate per row of the
// buckets claimed so far (those in progress included, so that two threads
// fare as one), with a head start of 1/256 of the rows: blocks that exhaust the total do so at many times the rate of
// those that do not, from their first buckets on (on the corpus the rate
// stays under 60 per row throughout; concatenated manual pages run at about
// 600 and a shared library at thousands). Such a block is handed over after
// a small fraction of the total, which it would otherwise spend in vain.
class T_Work_Budget {
 public:
  T_Work_Budget(int64_t Total_, int64_t Rate_, int64_t Head_Start) : Total(Total_), Rate(Rate_), Credit(Head_Start) {}

  // Allowance is negative (overspent). Returns false when the budget cannot
  // pay for it.
  bool Draw(int64_t& Allowance) {
    const int64_t Debt = -Allowance;
    const int64_t Now_Spent = Spent.fetch_add(Debt, std::memory_order_relaxed) + Debt;
    const int64_t Limit = std::min(Total, Rate * Credit.load(std::memory_order_relaxed));
    if (Failed.load(std::memory_order_relaxed) || Now_Spent > Limit) {
      Failed.store(true, std::memory_order_relaxed);
      return false;
    }
    const int64_t Grant = std::min(Work_Allowance, Limit - Now_Spent);
    Spent.fetch_add(Grant, std::memory_order_relaxed);
    Allowance = Grant;
    return true;
  }

  // Rows of a bucket claimed for sorting: they raise the rate limit.
  void Claimed(int32_t Rows) { Credit.fetch_add(Rows, std::memory_order_relaxed); }

  bool Spent_All() const { return Failed.load(std::memory_order_relaxed); }

 private:
  const int64_t Total;
  const int64_t Rate;
  std::atomic<int64_t> Credit;
  std::atomic<int64_t> Spent{0};
  std::atomic<bool> Failed{false};
};

// The buckets to sort, largest first: the last claims are small, so neither
// thread waits long for the other at the end.
class T_Bucket_Queue {
 public:
  T_Bucket_Queue(const int32_t* Keys_, int32_t Count_, const int32_t* Bucket_Start_)
      : Keys(Keys_), Count(Count_), Bucket_Start(Bucket_Start_) {}

  bool Claim(int32_t& Lo, int32_t& Hi) {
    const int32_t i = Next.fetch_add(1, std::memory_order_relaxed);
    if (i >= Count) return false;
    Lo = Bucket_Start[Keys[i]];
    Hi = Bucket_Start[Keys[i] + 1] - 1;
    return true;
  }

 private:
  const int32_t* Keys;
  int32_t Count;
  const int32_t* Bucket_Start;
  std::atomic<int32_t> Next{0};
};

// One thread's bucket sorts. A bucket's order depends only on the block and
// on the bucket's own rows, so threads with their own scratch (work stack
// and key cache) can sort different buckets of one suffix array at once.
class T_Bucket_Sorter {
 public:
  // The block is padded and Rows = n + 1 counts the end marker's row;
  // Largest is the row count of the largest bucket. Scratch holds the key
  // cache, one entry per row of that bucket, and right after it the work
  // stack, one record per range: packed so, a block touches only the
  // scratch its buckets need. Fresh pages, large ones in particular, are
  // dear to clear, and parallel stack arrays a bound apart touched one
  // each.
  T_Bucket_Sorter(const uint8_t* Block_, int32_t Rows_, int32_t Largest, int32_t* Suffix_Array_, uint32_t* Scratch,
                  T_Work_Budget& Budget_)
      : Block(Block_), Rows(Rows_), Suffix_Array(Suffix_Array_), Budget(Budget_) {
    Keys = Scratch;
    Stack = reinterpret_cast<T_Range*>(Keys + Largest);
  }

  // Sorts claimed buckets until none is left or the budget is spent. Work
  // overspent on the last bucket is paid too, so a block that needed more
  // than its budget is reported as such by the budget.
  void Sort_Claimed(T_Bucket_Queue& Queue) {
    int32_t Lo;
    int32_t Hi;
    while (!Out_Of_Work() && Queue.Claim(Lo, Hi)) {
      Budget.Claimed(Hi - Lo + 1);
      Sort_Bucket(Lo, Hi);
    }
    Out_Of_Work();
  }

 private:
  bool Out_Of_Work() { return Work_Left < 0 && !Budget.Draw(Work_Left); }
  void Sort_Bucket(int32_t Lo, int32_t Hi);
  void Multikey_Sort(int32_t Lo, int32_t Hi, int32_t Depth);
  void Push_Range(int32_t Lo, int32_t Hi, int32_t Depth, int32_t Key_Depth);
  void Gather_Keys(int32_t Lo, int32_t Hi, int32_t Depth);
  bool Radix_Split(int32_t Lo, int32_t Hi, int32_t Depth, int32_t Key_Depth, int Shift, uint8_t& V, int32_t& Less,
                   int32_t& Greater);
  void Move_Parts(int32_t Lo, int32_t Hi, int Shift, uint8_t V, int32_t Less, int32_t Greater);
  void Sort_Equal_Part(int32_t Lo, int32_t Hi, int32_t Depth, int32_t Key_Depth);
  void Split_At_Pivot(int32_t Lo, int32_t Hi, int Shift, uint8_t V, int32_t& Less, int32_t& Greater);
  void Move_To_Front(int32_t Lo, int32_t Hi, int Shift, uint32_t Limit, int32_t Count);
  uint8_t Choose_Pivot(int32_t Lo, int32_t Hi, int Shift) const;
  int32_t Median_Of_Three(int32_t X, int32_t Y, int32_t Z, int Shift) const;
  void Shell_Sort(int32_t Lo, int32_t Hi, int32_t Depth);
  void Insertion_Sort(int32_t Lo, int32_t Hi, int32_t Depth);
  bool Compare_Suffixes(int32_t W, int32_t V, int32_t Depth);
  // The byte of Row's suffix at the current depth, from the key cache.
  uint8_t Key_Byte(int32_t Row, int Shift) const { return static_cast<uint8_t>(Keys[Row - Key_Origin] >> Shift); }

  const uint8_t* const Block;
  const int32_t Rows;
  int32_t* const Suffix_Array;
  T_Work_Budget& Budget;
  struct T_Range {
    int32_t Lo;
    int32_t Hi;
    int32_t Depth;
    int32_t Key_Depth;  // depth the range's cached keys start at
  };
  T_Range* Stack;  // Stack_Capacity(Largest) records
  int32_t Stack_Size = 0;
  // Key cache of the bucket being sorted: entry r - Key_Origin holds
  // Key_Bytes bytes, most significant first, of the suffix in row r.
  uint32_t* Keys;
  int32_t Key_Origin = 0;
  int64_t Work_Left = 0;
};

// The bucket's first two bytes are equal throughout; sorting starts at the
// second byte.
void T_Bucket_Sorter::Sort_Bucket(int32_t Lo, int32_t Hi) {
  const int32_t M = Hi - Lo + 1;
  if (M <= Shell_Limit) {
    Shell_Sort(Lo, Hi, 1);
  } else {
    Key_Origin = Lo;
    Multikey_Sort(Lo, Hi, 1);
  }
}

void T_Bucket_Sorter::Push_Range(int32_t Lo, int32_t Hi, int32_t Depth, int32_t Key_Depth) {
  Stack[Stack_Size++] = {Lo, Hi, Depth, Key_Depth};
}

// The partition's byte fetches through the suffix array land anywhere in the
// block. Gathering Key_Bytes bytes of each row's suffix into an array that
// moves with the rows serves that many depths from sequential reads; the
// gather's loads are independent of each other, so their misses overlap.
void T_Bucket_Sorter::Gather_Keys(int32_t Lo, int32_t Hi, int32_t Depth) {
  const uint8_t* const T = Block + Depth;
  uint32_t* const K = Keys - Key_Origin;
  for (int32_t r = Lo; r <= Hi; ++r) K[r] = Load_Big_Endian_32(T + Suffix_Array[r]);
}

// Ternary-split quicksort on the byte at Depth. Ranges are pushed less,
// equal, greater, so the greater part is taken next.
// Each range carries the depth its cached keys were gathered from; a range
// whose depth has run past them gathers again.
void T_Bucket_Sorter::Multikey_Sort(int32_t Lo, int32_t Hi, int32_t Depth) {
  Stack_Size = 0;
  Push_Range(Lo, Hi, Depth, Depth - Key_Bytes);
  while (Stack_Size > 0) {
    if (Out_Of_Work()) return;
    Stack_Size -= 1;
    Lo = Stack[Stack_Size].Lo;
    Hi = Stack[Stack_Size].Hi;
    Depth = Stack[Stack_Size].Depth;
    int32_t Key_Depth = Stack[Stack_Size].Key_Depth;
    Work_Left -= int64_t{Hi - Lo + 1} * (Depth < Deep_Depth ? 1 : Deep_Weight);
    if (Depth - Key_Depth >= Key_Bytes) {
      Gather_Keys(Lo, Hi, Depth);
      Key_Depth = Depth;
    }
    const int Shift = 8 * (Key_Bytes - 1 - (Depth - Key_Depth));
    uint8_t V;
    int32_t Less;
    int32_t Greater;
    if (Hi - Lo + 1 < Radix_Limit) {
      V = Choose_Pivot(Lo, Hi, Shift);
      Split_At_Pivot(Lo, Hi, Shift, V, Less, Greater);
    } else if (Radix_Split(Lo, Hi, Depth, Key_Depth, Shift, V, Less, Greater)) {
      continue;
    } else {
      Move_Parts(Lo, Hi, Shift, V, Less, Greater);
    }

    if (Less > 1) {
      if (Less <= Shell_Limit) {
        Shell_Sort(Lo, Lo + Less - 1, Depth);
      } else {
        Push_Range(Lo, Lo + Less - 1, Depth, Key_Depth);
      }
    }
    Sort_Equal_Part(Lo + Less, Hi - Greater, Depth, Key_Depth);
    if (Greater > 1) {
      if (Greater <= Shell_Limit) {
        Shell_Sort(Hi - Greater + 1, Hi, Depth);
      } else {
        Push_Range(Hi - Greater + 1, Hi, Depth, Key_Depth);
      }
    }
  }
}

// Rows Lo..Hi share their bytes up to Depth: they go on at the next depth.
void T_Bucket_Sorter::Sort_Equal_Part(int32_t Lo, int32_t Hi, int32_t Depth, int32_t Key_Depth) {
  const int32_t Equal = Hi - Lo + 1;
  if (Equal > Shell_Limit && Depth <= Max_Push_Depth) {
    Push_Range(Lo, Hi, Depth + 1, Key_Depth);
  } else if (Equal > 1) {
    Shell_Sort(Lo, Hi, Depth + 1);
  }
}

// A large range whose bytes at Depth take many values would need a
// ternary split per few values, each a pass over the rows (a 16-bit
// sample's low bytes took five or six): one count and one in-place
// distribution split it on every value at once. The parts are disjoint
// and each goes on at the next depth, so the stack bound holds. The
// distribution's moves depend on one another and on unpredictable values,
// so with few values (DNA, say) the branch-free ternary split is faster:
// then this returns false with the split's pivot, the value that holds the
// middle row, and the rows below and above it, read from the counts.
bool T_Bucket_Sorter::Radix_Split(int32_t Lo, int32_t Hi, int32_t Depth, int32_t Key_Depth, int Shift, uint8_t& V,
                                  int32_t& Less, int32_t& Greater) {
  int32_t* const SA = Suffix_Array;
  uint32_t* const K = Keys - Key_Origin;
  const int32_t M = Hi - Lo + 1;
  int32_t Next[256] = {};
  for (int32_t r = Lo; r <= Hi; ++r) Next[(K[r] >> Shift) & 0xFF] += 1;
  int Values = 0;
  for (int b = 0; b < 256; ++b) Values += Next[b] > 0;
  if (Values <= Radix_Min_Values) {
    int b = 0;
    int32_t Below = 0;
    while (Below + Next[b] <= M / 2) Below += Next[b++];
    V = static_cast<uint8_t>(b);
    Less = Below;
    Greater = M - Below - Next[b];
    return false;
  }
  int32_t End[256];
  int32_t Sum = Lo;
  for (int b = 0; b < 256; ++b) {
    const int32_t Count = Next[b];
    Next[b] = Sum;
    Sum += Count;
    End[b] = Sum;
  }
  // Each row is moved straight to the next free place of its value; a
  // place is free until its own value's cursor passes it.
  for (int b = 0; b < 256; ++b) {
    while (Next[b] < End[b]) {
      const int32_t r = Next[b];
      uint32_t Key = K[r];
      int32_t Position = SA[r];
      uint32_t Byte = (Key >> Shift) & 0xFF;
      while (Byte != static_cast<uint32_t>(b)) {
        const int32_t Target = Next[Byte]++;
        std::swap(Key, K[Target]);
        std::swap(Position, SA[Target]);
        Byte = (Key >> Shift) & 0xFF;
      }
      K[r] = Key;
      SA[r] = Position;
      Next[b] = r + 1;
    }
  }
  int32_t Start = Lo;
  for (int b = 0; b < 256; ++b) {
    Sort_Equal_Part(Start, End[b] - 1, Depth, Key_Depth);
    Start = End[b];
  }
  return true;
}

// Leaves the rows below V first and those above V last, and returns their
// counts. The key bytes of a range follow no pattern the branch predictor
// could learn, so the split is made by two branch-free passes, each moving
// the rows that pass its test to the front. A read-only count first skips
// the passes with nothing to move: ranges whose rows mostly share the byte
// (long repeats) then cost one quick scan per depth.
void T_Bucket_Sorter::Split_At_Pivot(int32_t Lo, int32_t Hi, int Shift, uint8_t V, int32_t& Less, int32_t& Greater) {
  const uint32_t* const K = Keys - Key_Origin;
  int32_t Below = 0;
  int32_t Above = 0;
  for (int32_t r = Lo; r <= Hi; ++r) {
    const uint8_t X = static_cast<uint8_t>(K[r] >> Shift);
    Below += X < V;
    Above += X > V;
  }
  Move_Parts(Lo, Hi, Shift, V, Below, Above);
  Less = Below;
  Greater = Above;
}

// Moves the Less rows below V to the front and the Greater rows above V to
// the back.
void T_Bucket_Sorter::Move_Parts(int32_t Lo, int32_t Hi, int Shift, uint8_t V, int32_t Less, int32_t Greater) {
  if (Less > 0) Move_To_Front(Lo, Hi, Shift, V, Less);
  if (Greater > 0) Move_To_Front(Lo + Less, Hi, Shift, V + 1, Hi - Lo + 1 - Less - Greater);
}

// Moves the Count rows whose key byte is below Limit (up to 256) to the
// front of Lo..Hi. When few rows move, or few stay, a test per row is
// predictable and the scan stops at the last row that has to move; only
// mixed ranges take the branch-free loop.
void T_Bucket_Sorter::Move_To_Front(int32_t Lo, int32_t Hi, int Shift, uint32_t Limit, int32_t Count) {
  int32_t* const SA = Suffix_Array;
  uint32_t* const K = Keys - Key_Origin;
  const auto Exchange = [SA, K](int32_t X, int32_t Y) {
    std::swap(SA[X], SA[Y]);
    std::swap(K[X], K[Y]);
  };
  const auto Below_Limit = [&](int32_t r) { return ((K[r] >> Shift) & 0xFF) < Limit; };
  const int32_t M = Hi - Lo + 1;
  if (Count * Skew_Ratio < M) {
    for (int32_t r = Lo, Front = Lo; Front < Lo + Count; ++r) {
      if (Below_Limit(r)) Exchange(r, Front++);
    }
  } else if ((M - Count) * Skew_Ratio < M) {
    for (int32_t r = Hi, Back = Hi; Back >= Lo + Count; --r) {
      if (!Below_Limit(r)) Exchange(r, Back--);
    }
  } else {
    int32_t Front = Lo;
    for (int32_t r = Lo; r <= Hi; ++r) {
      const uint32_t Key = K[r];
      const int32_t Position = SA[r];
      K[r] = K[Front];
      SA[r] = SA[Front];
      K[Front] = Key;
      SA[Front] = Position;
      Front += ((Key >> Shift) & 0xFF) < Limit;
    }
  }
}

uint8_t T_Bucket_Sorter::Choose_Pivot(int32_t Lo, int32_t Hi, int Shift) const {
  const int32_t Mid = (Lo + Hi) / 2;
  int32_t Row;
  if (Hi - Lo < Pivot_Sample_Limit) {
    Row = Median_Of_Three(Lo, Mid, Hi, Shift);
  } else {
    const int32_t S = (Hi - Lo) / 8;
    const int32_t M1 = Median_Of_Three(Lo, Lo + S, Lo + 2 * S, Shift);
    const int32_t M2 = Median_Of_Three(Mid - S, Mid, Mid + S, Shift);
    const int32_t M3 = Median_Of_Three(Hi - 2 * S, Hi - S, Hi, Shift);
    Row = Median_Of_Three(M1, M2, M3, Shift);
  }
  return Key_Byte(Row, Shift);
}

int32_t T_Bucket_Sorter::Median_Of_Three(int32_t X, int32_t Y, int32_t Z, int Shift) const {
  const uint8_t A = Key_Byte(X, Shift);
  const uint8_t B = Key_Byte(Y, Shift);
  const uint8_t C = Key_Byte(Z, Shift);
  if (B > C) {
    if (A > B) return Y;
    return A > C ? X : Z;
  }
  if (B > A) return Y;
  return A > C ? Z : X;
}

// Insertion sort over the diminishing increments; the result is ascending.
void T_Bucket_Sorter::Shell_Sort(int32_t Lo, int32_t Hi, int32_t Depth) {
  const int32_t M = Hi - Lo + 1;
  if (M <= Shell_Limit) {
    Insertion_Sort(Lo, Hi, Depth);
    return;
  }
  int K = Increment_Count - 1;
  while (K >= 0 && Shell_Increments[K] >= M) --K;
  for (; K >= 0; --K) {
    const int32_t H = Shell_Increments[K];
    for (int32_t j = Lo + H; j <= Hi; ++j) {
      const int32_t V = Suffix_Array[j];
      int32_t i = j;
      while (i >= Lo + H && Compare_Suffixes(Suffix_Array[i - H], V, Depth)) {
        Suffix_Array[i] = Suffix_Array[i - H];
        i -= H;
      }
      Suffix_Array[i] = V;
      if (Out_Of_Work()) return;
    }
  }
}

// The small ranges the partitions leave (most rows end in one) are sorted
// on the next 8 bytes of each suffix, read once per row into registers:
// every comparison through the block would fetch two scattered suffixes
// again. Equal keys go on to the whole suffixes from 8 bytes further; the
// keys read at most 8 bytes past Depth, well inside the padding.
void T_Bucket_Sorter::Insertion_Sort(int32_t Lo, int32_t Hi, int32_t Depth) {
  uint64_t Key[Shell_Limit];
  int32_t Position[Shell_Limit];
  const int32_t M = Hi - Lo + 1;
  for (int32_t i = 0; i < M; ++i) {
    Position[i] = Suffix_Array[Lo + i];
    Key[i] = Load_Big_Endian(Block + Position[i] + Depth);
  }
  Work_Left -= M;
  for (int32_t i = 1; i < M; ++i) {
    const uint64_t K = Key[i];
    const int32_t P = Position[i];
    int32_t j = i;
    while (j > 0 && (Key[j - 1] > K || (Key[j - 1] == K && Compare_Suffixes(Position[j - 1], P, Depth + 8)))) {
      Key[j] = Key[j - 1];
      Position[j] = Position[j - 1];
      j -= 1;
    }
    Key[j] = K;
    Position[j] = P;
  }
  for (int32_t i = 0; i < M; ++i) Suffix_Array[Lo + i] = Position[i];
}

// True when suffix W is greater than suffix V, both read from Depth on.
// Past the block every byte is a padding zero, so equal chunks can run into
// the padding; once a read position is N + 64 or beyond, the suffix that
// starts later has met its end marker first and is the smaller. Reads stay
// below T[N + 128], inside the padding.
bool T_Bucket_Sorter::Compare_Suffixes(int32_t W, int32_t V, int32_t Depth) {
  const uint8_t* P = Block + W + Depth;
  const uint8_t* Q = Block + V + Depth;
  const uint8_t* const Limit = Block + Rows + Chunk;
  Work_Left -= 1;
  for (;;) {
    for (int32_t k = 0; k < Chunk; k += 8) {
      const uint64_t X = Load_Native(P + k);
      const uint64_t Y = Load_Native(Q + k);
      if (X != Y) return Load_Big_Endian(P + k) > Load_Big_Endian(Q + k);
    }
    P += Chunk;
    Q += Chunk;
    Work_Left -= Deep_Weight;
    if (P >= Limit || Q >= Limit) return W < V;
  }
}

}  // namespace

bool T_QOR_Bucket_Sort::Sort(const uint8_t* Block, int32_t Rows, int32_t* Suffix_Array, const int32_t* Bucket_Start,
                             const int32_t* Keys, int32_t Count, int64_t Work_Budget, int Threads,
                             T_QOR_Thread_Budget* Helpers, uint32_t* Caller_Scratch, uint32_t* Worker_Scratch,
                             bool& Used_Second_Thread) {
  // The rate is four times the average the total allows: about half the
  // rows are sorted, so a block held under it for long would still have
  // spent twice the total.
  const int64_t Rate = 4 * (Work_Budget / Rows);
  T_Work_Budget Budget(Work_Budget, Rate, Rows / 256);
  T_Bucket_Queue Queue(Keys, Count, Bucket_Start);
  const int32_t Largest = Count > 0 ? Bucket_Start[Keys[0] + 1] - Bucket_Start[Keys[0]] : 0;
  T_Bucket_Sorter Caller(Block, Rows, Largest, Suffix_Array, Caller_Scratch, Budget);
  T_Bucket_Sorter Helper(Block, Rows, Largest, Suffix_Array, Worker_Scratch, Budget);
  const auto Caller_Share = [&Caller, &Queue] { Caller.Sort_Claimed(Queue); };
  if (Threads > 1 && Rows >= Min_Rows_For_Worker && Count > 1) {
    Used_Second_Thread = QOR_Run_Both(Helpers, Caller_Share, [&Helper, &Queue] { Helper.Sort_Claimed(Queue); });
  } else {
    Used_Second_Thread = false;
    Caller_Share();
  }
  return !Budget.Spent_All();
}
