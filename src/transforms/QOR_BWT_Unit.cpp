#include "transforms/QOR_BWT_Unit.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "pipeline/QOR_MCP_Unit.h"
#include "pipeline/QOR_Threads_Unit.h"
#include "transforms/QOR_Suffix_Sort_Unit.h"

namespace {

constexpr int32_t Bucket_Count = 65536;  // two-byte keys 256 * T[i] + T[i+1]
constexpr int32_t Padding = 257;         // zero bytes written after the block
constexpr int32_t Shell_Limit = 12;      // ranges this small go straight to the Shell sort
constexpr int32_t Max_Push_Depth = 24;   // equal parts deeper than this are Shell-sorted
constexpr int32_t Pivot_Sample_Limit = 256;
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
constexpr int32_t Shell_Increments[] = {1,    4,     13,    40,     121,    364,     1093,
                                        3280, 9841, 29524, 88573, 265720, 797161, 2391484};
constexpr int Increment_Count = sizeof Shell_Increments / sizeof Shell_Increments[0];

// Tables of the comparison sort, in UInt_Work entries.
constexpr int64_t Table_Entries = (Bucket_Count + 1) + Bucket_Count + 7 * 256;
constexpr int64_t Max_Rows = int64_t{QOR_Block_Size} + 1;
static_assert(T_QOR_Suffix_Sort::Work_Entries(QOR_Block_Size) <= QOR_Buffer_Capacity,
              "the guaranteed-time sort must fit in UInt_Work");
static_assert(Max_Rows + 1 <= QOR_Buffer_Capacity, "the suffix array starts at Int_Work + 1");
static_assert(QOR_Block_Size + Padding <= QOR_Buffer_Capacity, "the padding must fit the buffer");

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

// Inverse. Row_Links[r] packs the row's byte (low 8 bits) with the row that
// LF leads to (bits 8..30): the row of the suffix one position earlier in the
// block, which is the first row of that byte plus the count of earlier rows
// with the same byte. Byte 0's rows start at 1 because row 0, the end
// marker's row, comes before them. The primary row's placeholder byte is not
// counted and the primary row gets no link.
constexpr uint32_t Stop_Mark = 0x80000000u;  // bit 31: a walk ends on this row
static_assert(QOR_Buffer_Capacity < (1 << 23), "rows must fit bits 8..30 of the links");

// A block from this many rows on shares its inverse between two threads.
constexpr int32_t Two_Thread_Rows = 1 << 19;

// Runs both on two threads for a large block when Budget has a helper free,
// one after the other otherwise.
template <class T_First, class T_Second>
void Run_Both_If(bool Large, T_QOR_Thread_Budget* Budget, const T_First& First, const T_Second& Second) {
  if (Large) {
    QOR_Run_Both(Budget, First, Second);
  } else {
    First();
    Second();
  }
}

// Count[c]: rows From .. To - 1 holding byte c, the primary row's placeholder left out.
void Count_Bytes(const uint8_t* L, int32_t From, int32_t To, int32_t Primary, int32_t* Count) {
  std::fill(Count, Count + 256, 0);
  for (int32_t r = From; r < To; ++r) Count[L[r]] += 1;
  if (Primary >= From && Primary < To) Count[L[Primary]] -= 1;
}

// Links rows From .. To - 1 (the primary row gets no link); Next_Row[c] is the
// row the first of them holding c leads to.
void Link_Rows(const uint8_t* L, int32_t From, int32_t To, int32_t Primary, int32_t* Next_Row, uint32_t* Row_Links) {
  const int32_t Skip = std::clamp(Primary, From, To);
  for (int32_t r = From; r < Skip; ++r) Row_Links[r] = static_cast<uint32_t>(Next_Row[L[r]]++) << 8 | L[r];
  for (int32_t r = std::max(Skip, Primary + 1); r < To; ++r)
    Row_Links[r] = static_cast<uint32_t>(Next_Row[L[r]]++) << 8 | L[r];
}

// The rows are linked in two halves; the second half's rows of each byte
// follow the first half's.
void Build_Links(const uint8_t* L, int32_t N, int32_t Primary, uint32_t* Row_Links, T_QOR_Thread_Budget* Budget) {
  const bool Large = N >= Two_Thread_Rows;
  const int32_t Mid = Large ? N / 2 : N;
  int32_t Low[256];
  int32_t High[256];
  Run_Both_If(
      Large, Budget, [&] { Count_Bytes(L, 0, Mid, Primary, Low); }, [&] { Count_Bytes(L, Mid, N, Primary, High); });
  int32_t First_Row = 1;
  for (int c = 0; c < 256; ++c) {
    const int32_t Count = Low[c] + High[c];
    High[c] = First_Row + Low[c];
    Low[c] = First_Row;
    First_Row += Count;
  }
  Run_Both_If(
      Large, Budget, [&] { Link_Rows(L, 0, Mid, Primary, Low, Row_Links); },
      [&] { Link_Rows(L, Mid, N, Primary, High, Row_Links); });
}

// The LF walk is a chain of dependent random reads: one cache miss per byte
// on a large block. Several walks at once keep that many misses in flight,
// and a large block's walks are shared by two threads, each with its own
// misses in flight. Walks start at rows spread over the table, all marked
// beforehand; each walk stops on the first marked row it meets, the start of
// another walk or the primary row (the block's first position). Their
// pieces, written into chunks of a scratch pool, are joined by following
// which walk stopped where. A walk's length depends on where the text
// positions of the start rows fall, so there are many more walks than run at
// once: a finished walk hands its slot to the next one, which keeps the
// misses in flight until the end. In a damaged block the links may form
// several cycles: the pool's chunk limit stops a walk that runs on, and the
// assembly checks that the pieces form exactly one block of N - 1 bytes.
class T_Inverse_Walk {
 public:
  static constexpr int Max_Walks = 256;
  static constexpr int Max_Active = 32;
  static constexpr int32_t Chunk_Bytes = 16384;
  static constexpr int Max_Chunks = QOR_Buffer_Capacity / Chunk_Bytes + Max_Walks + 1;
  static constexpr int64_t Pool_Bytes = int64_t{Max_Chunks} * Chunk_Bytes;
  // Smaller blocks take fewer walks, down to one.
  static constexpr int32_t Min_Rows_Per_Walk = 8192;

  T_Inverse_Walk(uint32_t* Row_Links, int32_t N, int32_t Primary, uint8_t* Pool)
      : Links(Row_Links), N(N), Primary(Primary), Pool(Pool),
        Walks(std::clamp<int32_t>(N / Min_Rows_Per_Walk, 1, Max_Walks)),
        Chunk_Limit((N - 1) / Chunk_Bytes + Walks + 1) {}

  void Run(uint8_t* Out, T_QOR_Thread_Budget* Budget) {
    Start_Walks();
    const auto Walk_Share = [this] { T_Walker(*this).Run(); };
    // Alone, the calling thread's share takes every walk and the second finds none left.
    Run_Both_If(N >= Two_Thread_Rows, Budget, Walk_Share, Walk_Share);
    Assemble(Out);
  }

 private:
  // One thread's share: up to Max_Active walks in lockstep, taking the next
  // unstarted walk whenever one ends.
  class T_Walker {
   public:
    explicit T_Walker(T_Inverse_Walk& Walk) : W(Walk) {}

    void Run() {
      while (Active_Count < Max_Active && Activate_Next()) {
      }
      while (Active_Count > 0) Step_Until_Stop(Room_For_Steps());
    }

   private:
    // Takes the next walk's first step, from its own (marked) start row.
    bool Activate_Next() {
      const int w = W.Next_Walk.fetch_add(1, std::memory_order_relaxed);
      if (w >= W.Walks) return false;
      W.Head[w] = -1;
      W.New_Chunk(w);
      const uint32_t E = W.Links[W.Start[w]] & ~Stop_Mark;
      W.Pool[--W.Fill[w]] = static_cast<uint8_t>(E);
      W.Current[w] = E >> 8;
      Active[Active_Count++] = w;
      return true;
    }

    // Gives every active walk room in its chunk; returns the steps all of
    // them can take without another check.
    int32_t Room_For_Steps() {
      int32_t Room = Chunk_Bytes;
      for (int a = 0; a < Active_Count; ++a) {
        const int w = Active[a];
        if (W.Fill[w] == W.Floor[w]) W.New_Chunk(w);
        Room = std::min(Room, W.Fill[w] - W.Floor[w]);
      }
      return Room;
    }

    // Advances the active walks in lockstep, up to Room bytes each; a walk
    // that reaches a marked row ends there, and the round ends with it.
    void Step_Until_Stop(int32_t Room) {
      const uint32_t* const Links = W.Links;
      const int Count = Active_Count;
      uint32_t Rows[Max_Active];
      uint8_t* Ends[Max_Active];
      for (int a = 0; a < Count; ++a) {
        Rows[a] = W.Current[Active[a]];
        Ends[a] = W.Pool + W.Fill[Active[a]] - 1;
      }
      int Stopped = -1;
      int32_t s = 0;
      for (; s < Room; ++s) {
        for (int a = 0; a < Count; ++a) {
          const uint32_t E = Links[Rows[a]];
          if (E & Stop_Mark) {
            Stopped = a;
            break;
          }
          Ends[a][-s] = static_cast<uint8_t>(E);
          Rows[a] = E >> 8;
        }
        if (Stopped >= 0) break;
      }
      // Walks before the stopped one have taken one step more in this round.
      for (int a = 0; a < Count; ++a) {
        W.Current[Active[a]] = Rows[a];
        W.Fill[Active[a]] -= s + (a < Stopped ? 1 : 0);
      }
      if (Stopped >= 0) Finish(Stopped);
    }

    void Finish(int Index) {
      const int w = Active[Index];
      W.Stop[w] = static_cast<int32_t>(W.Current[w]);
      W.Chunk_Begin[W.Head[w]] = W.Fill[w] - W.Floor[w];
      Active[Index] = Active[--Active_Count];
      Activate_Next();
    }

    T_Inverse_Walk& W;
    int Active_Count = 0;
    int Active[Max_Active];
  };

  // Walk 0 starts at row 0, the end marker's row, whose byte is the block's
  // last. The others start at pseudo-random rows: in periodic blocks evenly
  // spaced rows (or rows spaced by the golden ratio, in Fibonacci strings)
  // belong to nearby text positions, which leaves one walk with most of the
  // block.
  void Start_Walks() {
    Links[Primary] = Stop_Mark;
    Start[0] = 0;
    int Count = 1;
    for (int w = 1; w < Walks; ++w) {
      const uint64_t Fraction = Mix(static_cast<uint64_t>(w)) >> 32;
      const int32_t Row = 1 + static_cast<int32_t>((Fraction * static_cast<uint32_t>(N - 1)) >> 32);
      if (Row != Primary) Start[Count++] = Row;
    }
    std::sort(Start + 1, Start + Count);
    Walks = static_cast<int>(std::unique(Start, Start + Count) - Start);
    for (int w = 1; w < Walks; ++w) Links[Start[w]] |= Stop_Mark;
  }

  // A 64-bit finaliser: consecutive inputs give unrelated outputs.
  static uint64_t Mix(uint64_t X) {
    X += 0x9E3779B97F4A7C15u;
    X = (X ^ (X >> 30)) * 0xBF58476D1CE4E5B9u;
    X = (X ^ (X >> 27)) * 0x94D049BB133111EBu;
    return X ^ (X >> 31);
  }

  // Chunks are filled from their end, as the walk runs backwards through the
  // block; a walk's newest chunk comes first in block order.
  void New_Chunk(int w) {
    const int C = Chunk_Count.fetch_add(1, std::memory_order_relaxed);
    if (C >= Chunk_Limit) Report_Damaged_Block("BWT rows do not form one cycle");
    Chunk_Next[C] = Head[w];
    Chunk_Begin[C] = 0;
    Head[w] = C;
    Floor[w] = C * Chunk_Bytes;
    Fill[w] = Floor[w] + Chunk_Bytes;
  }

  int Walk_Starting_At(int32_t Row) const {
    const int32_t* Found = std::lower_bound(Start, Start + Walks, Row);
    return Found != Start + Walks && *Found == Row ? static_cast<int>(Found - Start) : -1;
  }

  // Walk 0 holds the end of the block; the walk that started where it
  // stopped holds the bytes before, and so on back to the primary row.
  void Assemble(uint8_t* Out) {
    int32_t End = N - 1;
    int w = 0;
    for (int Joined = 1;; ++Joined) {
      End = Copy_Walk(w, Out, End);
      if (Stop[w] == Primary) {
        if (End != 0 || Joined != Walks) Report_Damaged_Block("BWT rows do not form one cycle");
        return;
      }
      w = Walk_Starting_At(Stop[w]);
      if (w <= 0 || Joined == Walks) Report_Damaged_Block("BWT rows do not form one cycle");
    }
  }

  // Copies the walk's chunks, in block order, to end just before Out[End];
  // returns where they begin.
  int32_t Copy_Walk(int w, uint8_t* Out, int32_t End) {
    int64_t Bytes = 0;
    for (int C = Head[w]; C >= 0; C = Chunk_Next[C]) Bytes += Chunk_Bytes - Chunk_Begin[C];
    if (Bytes > End) Report_Damaged_Block("BWT rows do not form one cycle");
    uint8_t* To = Out + End - Bytes;
    for (int C = Head[w]; C >= 0; C = Chunk_Next[C]) {
      const int32_t Count = Chunk_Bytes - Chunk_Begin[C];
      std::memcpy(To, Pool + int64_t{C} * Chunk_Bytes + Chunk_Begin[C], static_cast<size_t>(Count));
      To += Count;
    }
    return End - static_cast<int32_t>(Bytes);
  }

  uint32_t* Links;
  int32_t N;
  int32_t Primary;
  uint8_t* Pool;
  int Walks;
  int Chunk_Limit;
  // Shared by the threads; every other entry below belongs to the one
  // thread that runs its walk, or its chunk.
  std::atomic<int> Chunk_Count{0};
  std::atomic<int> Next_Walk{0};
  int32_t Start[Max_Walks];
  int32_t Stop[Max_Walks];
  uint32_t Current[Max_Walks];
  int32_t Fill[Max_Walks];
  int32_t Floor[Max_Walks];
  int Head[Max_Walks];
  int Chunk_Next[Max_Chunks];
  int32_t Chunk_Begin[Max_Chunks];
};
static_assert(T_Inverse_Walk::Pool_Bytes <= int64_t{QOR_Buffer_Capacity} * 4,
              "the inverse's pool must fit in the mantissa stream");

}  // namespace

namespace {

constexpr int32_t Sorted_Bucket_Limit = 255 * 256 / 2;  // pairs c < d, or c > d
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
class T_Work_Budget {
 public:
  explicit T_Work_Budget(int64_t Total) : Left(Total) {}

  // Allowance is negative (overspent). Returns false when the budget cannot
  // pay for it.
  bool Draw(int64_t& Allowance) {
    const int64_t Debt = -Allowance;
    int64_t Available = Left.load(std::memory_order_relaxed);
    int64_t Grant;
    do {
      if (Available < Debt) {
        Left.store(-1, std::memory_order_relaxed);
        return false;
      }
      Grant = std::min(Work_Allowance, Available - Debt);
    } while (!Left.compare_exchange_weak(Available, Available - Debt - Grant, std::memory_order_relaxed));
    Allowance = Grant;
    return true;
  }

  bool Spent() const { return Left.load(std::memory_order_relaxed) < 0; }

 private:
  std::atomic<int64_t> Left;
};

// The buckets to sort, largest first: the last claims are small, so neither
// thread waits long for the other at the end.
class T_Bucket_Queue {
 public:
  T_Bucket_Queue(const int32_t* Keys, int32_t Count, const int32_t* Bucket_Start)
      : Keys(Keys), Count(Count), Bucket_Start(Bucket_Start) {}

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
  // Multikey work stack: four parallel arrays. Ranges on the stack are
  // disjoint and hold more than 12 rows each, so Rows / 13 + 1 entries can
  // never overflow. The key cache has one entry per row of the largest
  // sorted bucket: neighbouring positions are never both ascending, or both
  // descending, with the same two bytes, so a bucket holds at most half the
  // rows, rounded up.
  static constexpr int64_t Stack_Capacity(int64_t Rows) { return Rows / (Shell_Limit + 1) + 1; }
  static constexpr int64_t Scratch_Entries(int64_t Rows) { return 4 * Stack_Capacity(Rows) + (Rows + 1) / 2; }

  // The block is padded and Rows = n + 1 counts the end marker's row.
  T_Bucket_Sorter(const uint8_t* Block, int32_t Rows, int32_t* Suffix_Array, uint32_t* Scratch,
                  T_Work_Budget& Budget)
      : Block(Block), Rows(Rows), Suffix_Array(Suffix_Array), Budget(Budget) {
    const int32_t Capacity = static_cast<int32_t>(Stack_Capacity(Rows));
    Stack_Lo = reinterpret_cast<int32_t*>(Scratch);
    Stack_Hi = Stack_Lo + Capacity;
    Stack_Depth = Stack_Hi + Capacity;
    Stack_Key_Depth = Stack_Depth + Capacity;
    Keys = reinterpret_cast<uint32_t*>(Stack_Key_Depth + Capacity);
  }

  // Sorts claimed buckets until none is left or the budget is spent. Work
  // overspent on the last bucket is paid too, so a block that needed more
  // than its budget is reported as such by the budget.
  void Sort_Claimed(T_Bucket_Queue& Queue) {
    int32_t Lo;
    int32_t Hi;
    while (!Out_Of_Work() && Queue.Claim(Lo, Hi)) Sort_Bucket(Lo, Hi);
    Out_Of_Work();
  }

 private:
  bool Out_Of_Work() { return Work_Left < 0 && !Budget.Draw(Work_Left); }
  void Sort_Bucket(int32_t Lo, int32_t Hi);
  void Multikey_Sort(int32_t Lo, int32_t Hi, int32_t Depth);
  void Push_Range(int32_t Lo, int32_t Hi, int32_t Depth, int32_t Key_Depth);
  void Gather_Keys(int32_t Lo, int32_t Hi, int32_t Depth);
  void Split_At_Pivot(int32_t Lo, int32_t Hi, int Shift, uint8_t V, int32_t& Less, int32_t& Greater);
  void Move_To_Front(int32_t Lo, int32_t Hi, int Shift, uint32_t Limit, int32_t Count);
  uint8_t Choose_Pivot(int32_t Lo, int32_t Hi, int Shift) const;
  int32_t Median_Of_Three(int32_t X, int32_t Y, int32_t Z, int Shift) const;
  void Shell_Sort(int32_t Lo, int32_t Hi, int32_t Depth);
  bool Compare_Suffixes(int32_t W, int32_t V, int32_t Depth);
  // The byte of Row's suffix at the current depth, from the key cache.
  uint8_t Key_Byte(int32_t Row, int Shift) const { return static_cast<uint8_t>(Keys[Row - Key_Origin] >> Shift); }

  const uint8_t* const Block;
  const int32_t Rows;
  int32_t* const Suffix_Array;
  T_Work_Budget& Budget;
  int32_t* Stack_Lo;
  int32_t* Stack_Hi;
  int32_t* Stack_Depth;
  int32_t* Stack_Key_Depth;  // depth the range's cached keys start at
  int32_t Stack_Size = 0;
  // Key cache of the bucket being sorted: entry r - Key_Origin holds
  // Key_Bytes bytes, most significant first, of the suffix in row r.
  uint32_t* Keys;
  int32_t Key_Origin = 0;
  int64_t Work_Left = 0;
};

// UInt_Work holds the sort tables, the list of buckets to sort and the
// calling thread's scratch; the worker's scratch goes to the mantissa
// stream, which no stage before the BWT fills.
constexpr int64_t Sorted_List_Entries = Sorted_Bucket_Limit;
static_assert(Table_Entries + Sorted_List_Entries + T_Bucket_Sorter::Scratch_Entries(Max_Rows) <= QOR_Buffer_Capacity,
              "the sort tables, the bucket list and one sorter's scratch must fit in UInt_Work");
static_assert(T_Bucket_Sorter::Scratch_Entries(Max_Rows) <= QOR_Buffer_Capacity,
              "the worker's scratch must fit in the mantissa stream");

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
  Stack_Lo[Stack_Size] = Lo;
  Stack_Hi[Stack_Size] = Hi;
  Stack_Depth[Stack_Size] = Depth;
  Stack_Key_Depth[Stack_Size] = Key_Depth;
  Stack_Size += 1;
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
    Lo = Stack_Lo[Stack_Size];
    Hi = Stack_Hi[Stack_Size];
    Depth = Stack_Depth[Stack_Size];
    int32_t Key_Depth = Stack_Key_Depth[Stack_Size];
    Work_Left -= int64_t{Hi - Lo + 1} * (Depth < Deep_Depth ? 1 : Deep_Weight);
    if (Depth - Key_Depth >= Key_Bytes) {
      Gather_Keys(Lo, Hi, Depth);
      Key_Depth = Depth;
    }
    const int Shift = 8 * (Key_Bytes - 1 - (Depth - Key_Depth));
    const uint8_t V = Choose_Pivot(Lo, Hi, Shift);

    int32_t Less;
    int32_t Greater;
    Split_At_Pivot(Lo, Hi, Shift, V, Less, Greater);

    if (Less > 1) {
      if (Less <= Shell_Limit) {
        Shell_Sort(Lo, Lo + Less - 1, Depth);
      } else {
        Push_Range(Lo, Lo + Less - 1, Depth, Key_Depth);
      }
    }
    const int32_t Equal = Hi - Greater - Lo - Less + 1;
    if (Equal > Shell_Limit && Depth <= Max_Push_Depth) {
      Push_Range(Lo + Less, Hi - Greater, Depth + 1, Key_Depth);
    } else if (Equal > 1) {
      Shell_Sort(Lo + Less, Hi - Greater, Depth + 1);
    }
    if (Greater > 1) {
      if (Greater <= Shell_Limit) {
        Shell_Sort(Hi - Greater + 1, Hi, Depth);
      } else {
        Push_Range(Hi - Greater + 1, Hi, Depth, Key_Depth);
      }
    }
  }
}

// Leaves the rows below V first and those above V last, and returns their
// counts. The key bytes of a range follow no pattern the branch predictor
// could learn, so the split is made by two branch-free passes, each moving
// the rows that pass its test to the front. A read-only count first skips
// the passes with nothing to move: ranges whose rows mostly share the byte
// (long repeats) then cost one quick scan per depth.
void T_Bucket_Sorter::Split_At_Pivot(int32_t Lo, int32_t Hi, int Shift, uint8_t V, int32_t& Less,
                                     int32_t& Greater) {
  const uint32_t* const K = Keys - Key_Origin;
  int32_t Below = 0;
  int32_t Above = 0;
  for (int32_t r = Lo; r <= Hi; ++r) {
    const uint8_t X = static_cast<uint8_t>(K[r] >> Shift);
    Below += X < V;
    Above += X > V;
  }
  if (Below > 0) Move_To_Front(Lo, Hi, Shift, V, Below);
  if (Above > 0) Move_To_Front(Lo + Below, Hi, Shift, V + 1, Hi - Lo + 1 - Below - Above);
  Less = Below;
  Greater = Above;
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

void T_QOR_BWT::Encode_Block(T_QOR_Block_Data& Block_Data) {
  if (T_QOR_MCP::Pass_Empty_Block(Block_Data)) return;
  Suffix_Array = Block_Data.Int_Work + 1;
  Thread_Budget = Block_Data.Thread_Budget;
  Block = Block_Data.Input->Data;
  Last_Column = Block_Data.Output->Data;
  Block_Length = static_cast<uint32_t>(Block_Data.Input->Length);
  Sort_Suffixes(Block_Data);
  Last_Column[Primary_Index] = 0;
  Suffix_Array = Block_Data.Int_Work;
  QOR_MCP->Push_Side_Info(static_cast<uint32_t>(Primary_Index), 3);
  Block_Data.Output->Length = Block_Data.Input->Length + 1;
}

// Sorts the N = n + 1 suffixes (the last one is the end marker alone) and
// writes the last column. Only one class of suffixes, ascending or
// descending, is sorted by comparison; the final scans derive the order of
// every other suffix from it. The scans never write into a bucket of the
// sorted class (they fill equal-pair buckets and the other class), and a
// bucket's sort reads only the block and its own rows, so every bucket is
// sorted before the scans start, two at a time on a large block.
void T_QOR_BWT::Sort_Suffixes(T_QOR_Block_Data& Block_Data) {
  const int32_t n = static_cast<int32_t>(Block_Length);
  std::memset(Block + n, 0, Padding);
  Block_Length = static_cast<uint32_t>(n + 1);

  Lay_Out_Tables(Block_Data.UInt_Work);
  Used_Fallback = false;
  Count_Buckets();
  const bool Ascending =
      Variant == T_Variant::Ascending || (Variant == T_Variant::By_Cost && Ascending_Cheaper());
  if (Ascending) {
    Place_Ascending();
  } else {
    Place_Descending();
  }
  Set_Byte_Ranges();
  // The end marker's suffix: bucket (0,0), row 0.
  Suffix_Array[Equal_Start[0]] = n;
  Equal_Start[0] += 1;
  if (!Sort_Listed_Buckets(List_Sorted_Buckets(Ascending),
                           reinterpret_cast<uint32_t*>(Block_Data.Code_Streams->Mantissas))) {
    Sort_All_Suffixes(Block_Data.UInt_Work);
  } else if (Ascending) {
    Scan_Ascending();
  } else {
    Scan_Descending();
  }
}

// The tables live in UInt_Work, which the forward transform does not use
// otherwise; the list of buckets to sort and the calling thread's scratch
// follow them.
void T_QOR_BWT::Lay_Out_Tables(uint32_t* Work) {
  Bucket_Start = reinterpret_cast<int32_t*>(Work);
  Saved_Start = Bucket_Start + Bucket_Count + 1;
  Desc_Count = Saved_Start + Bucket_Count;
  Equal_Count = Desc_Count + 256;
  Asc_Count = Equal_Count + 256;
  Range_Start = Asc_Count + 256;
  Equal_Start = Range_Start + 256;
  Equal_End = Equal_Start + 256;
  Range_End = Equal_End + 256;
  Sorted_Buckets = Range_End + 256;
  Sorter_Scratch = reinterpret_cast<uint32_t*>(Sorted_Buckets + Sorted_List_Entries);
}

void T_QOR_BWT::Count_Buckets() {
  const int32_t N = static_cast<int32_t>(Block_Length);
  std::fill(Bucket_Start, Bucket_Start + Bucket_Count + 1, 0);
  uint32_t Key = Block[0];
  for (int32_t i = 0; i < N; ++i) {
    Key = ((Key << 8) | Block[i + 1]) & 0xFFFF;
    Bucket_Start[Key] += 1;
  }
  int32_t Sum = 0;
  for (int32_t k = 0; k <= Bucket_Count; ++k) {
    const int32_t Count = Bucket_Start[k];
    Bucket_Start[k] = Sum;
    Sum += Count;
  }
  std::copy(Bucket_Start, Bucket_Start + Bucket_Count, Saved_Start);
}

// The class with the smaller sum of squared per-byte counts is sorted: the
// cost of comparison sorting grows faster than linearly with range size.
// A tie sorts the ascending class.
bool T_QOR_BWT::Ascending_Cheaper() const {
  int64_t Cost_Desc = 0;
  int64_t Cost_Asc = 0;
  for (int32_t c = 0; c < 256; ++c) {
    const int64_t D = Bucket_Start[257 * c] - Bucket_Start[256 * c];
    const int64_t A = Bucket_Start[256 * (c + 1)] - Bucket_Start[257 * c + 1];
    if (D > 1) Cost_Desc += D * D;
    if (A > 1) Cost_Asc += A * A;
  }
  return Cost_Desc >= Cost_Asc;
}

void T_QOR_BWT::Place_Ascending() {
  for (int32_t k = 0; k < Bucket_Count; ++k) Bucket_Start[k] = Bucket_Start[k + 1] - 1;
  for (int32_t i = static_cast<int32_t>(Block_Length) - 1; i >= 0; --i) {
    if (Block[i] < Block[i + 1]) {
      const uint32_t Key = (uint32_t{Block[i]} << 8) | Block[i + 1];
      Suffix_Array[Bucket_Start[Key]--] = i;
    }
  }
  std::copy(Saved_Start, Saved_Start + Bucket_Count, Bucket_Start);
}

void T_QOR_BWT::Place_Descending() {
  for (int32_t i = static_cast<int32_t>(Block_Length) - 1; i >= 0; --i) {
    if (Block[i] > Block[i + 1]) {
      const uint32_t Key = (uint32_t{Block[i]} << 8) | Block[i + 1];
      Suffix_Array[Bucket_Start[Key]++] = i;
    }
  }
  std::copy(Saved_Start, Saved_Start + Bucket_Count, Bucket_Start);
}

// Rows of byte c: descending part, bucket (c,c), ascending part.
void T_QOR_BWT::Set_Byte_Ranges() {
  for (int32_t c = 0; c < 256; ++c) {
    Desc_Count[c] = Bucket_Start[257 * c] - Bucket_Start[256 * c];
    Equal_Count[c] = Bucket_Start[257 * c + 1] - Bucket_Start[257 * c];
    Asc_Count[c] = Bucket_Start[256 * (c + 1)] - Bucket_Start[257 * c + 1];
    Range_Start[c] = c == 0 ? 0 : Range_End[c - 1] + 1;
    Equal_Start[c] = Range_Start[c] + Desc_Count[c];
    Equal_End[c] = Equal_Start[c] + Equal_Count[c] - 1;
    Range_End[c] = Equal_End[c] + Asc_Count[c];
  }
}

// Lists the buckets of the sorted class that hold more than one row, and
// orders them largest first; returns their count.
int32_t T_QOR_BWT::List_Sorted_Buckets(bool Ascending) {
  int32_t Count = 0;
  for (int32_t C = 0; C < 256; ++C) {
    const int32_t First = Ascending ? 256 * C + C + 1 : 256 * C;
    const int32_t End = Ascending ? 256 * (C + 1) : 256 * C + C;
    for (int32_t Key = First; Key < End; ++Key) {
      if (Bucket_Start[Key + 1] - Bucket_Start[Key] > 1) Sorted_Buckets[Count++] = Key;
    }
  }
  const int32_t* const Start = Bucket_Start;
  std::sort(Sorted_Buckets, Sorted_Buckets + Count, [Start](int32_t X, int32_t Y) {
    const int32_t Size_X = Start[X + 1] - Start[X];
    const int32_t Size_Y = Start[Y + 1] - Start[Y];
    return Size_X != Size_Y ? Size_X > Size_Y : X < Y;
  });
  return Count;
}

// Sorts the listed buckets on the calling thread and, for a large block, on
// one worker with its own scratch; both claim the next bucket until none is
// left. Returns false when the work budget ran out. A worker that cannot be
// started leaves the calling thread to sort them all.
bool T_QOR_BWT::Sort_Listed_Buckets(int32_t Count, uint32_t* Worker_Scratch) {
  const int32_t N = static_cast<int32_t>(Block_Length);
  T_Work_Budget Budget(Work_Per_Row * N);
  T_Bucket_Queue Queue(Sorted_Buckets, Count, Bucket_Start);
  T_Bucket_Sorter Caller(Block, N, Suffix_Array, Sorter_Scratch, Budget);
  T_Bucket_Sorter Helper(Block, N, Suffix_Array, Worker_Scratch, Budget);
  const auto Caller_Share = [&Caller, &Queue] { Caller.Sort_Claimed(Queue); };
  if (Sort_Threads > 1 && N >= Min_Rows_For_Worker && Count > 1) {
    Used_Second_Thread =
        QOR_Run_Both(Thread_Budget, Caller_Share, [&Helper, &Queue] { Helper.Sort_Claimed(Queue); });
  } else {
    Used_Second_Thread = false;
    Caller_Share();
  }
  return !Budget.Spent();
}

// Bucket (c,c) holds suffixes c c ...; each one sorts like its successor,
// which lies in c's range. Scanning a sorted part of that range and pulling
// each predecessor that is also c into the bucket orders the bucket without
// comparisons; the scans run on into the rows they fill, so runs of c of any
// length cost one step per byte.
void T_QOR_BWT::Fill_Equal_Downward(int32_t From, int32_t C) {
  for (int32_t i = From; i > Equal_End[C]; --i) {
    const int32_t P = Suffix_Array[i];
    if (P > 0 && Block[P - 1] == C) Suffix_Array[Equal_End[C]--] = P - 1;
  }
}

void T_QOR_BWT::Fill_Equal_Upward(int32_t From, int32_t C) {
  for (int32_t i = From; i < Equal_Start[C]; ++i) {
    const int32_t P = Suffix_Array[i];
    if (P > 0 && Block[P - 1] == C) Suffix_Array[Equal_Start[C]++] = P - 1;
  }
}

// Ascending suffixes are sorted; descending ones are placed, in order, by the
// final scan of the smaller byte that follows them (guard T[-1] = 0 keeps
// position 0 from being taken as descending).
void T_QOR_BWT::Scan_Ascending() {
  Block[-1] = 0;
  int32_t r = 0;
  for (int32_t C = 0; C < 256; ++C) {
    if (Equal_Count[C] > 0) {
      Fill_Equal_Downward(Range_End[C], C);
      Fill_Equal_Upward(Range_End[C] - Asc_Count[C] - Equal_Count[C] - Desc_Count[C] + 1, C);
    }
    // The row of position 0 gets the guard here; Encode_Block replaces it.
    for (const int32_t End = Range_End[C]; r <= End; ++r) {
      const int32_t P = Suffix_Array[r];
      const uint8_t Previous = Block[P - 1];
      Last_Column[r] = Previous;
      if (P == 0) Primary_Index = r;
      if (Previous > Block[P]) Suffix_Array[Range_Start[Previous]++] = P - 1;
    }
  }
}

// The mirror image: descending suffixes are sorted, ascending ones placed
// from the top by the final scan running downwards (guard T[-1] = 255).
void T_QOR_BWT::Scan_Descending() {
  Block[-1] = 255;
  int32_t r = static_cast<int32_t>(Block_Length) - 1;
  for (int32_t C = 255; C >= 0; --C) {
    if (Equal_Count[C] > 0) {
      Fill_Equal_Upward(Range_Start[C], C);
      Fill_Equal_Downward(Range_Start[C] + Desc_Count[C] + Equal_Count[C] + Asc_Count[C] - 1, C);
    }
    for (const int32_t Start = Range_Start[C]; r >= Start; --r) {
      const int32_t P = Suffix_Array[r];
      const uint8_t Previous = Block[P - 1];
      Last_Column[r] = Previous;
      if (P == 0) Primary_Index = r;
      if (Previous < Block[P]) Suffix_Array[Range_End[Previous]--] = P - 1;
    }
  }
}

// Guaranteed-time path: sorts every suffix at once and writes the last
// column from the finished suffix array. The order is the same, so is the
// output.
void T_QOR_BWT::Sort_All_Suffixes(uint32_t* Work) {
  Used_Fallback = true;
  const int32_t n = static_cast<int32_t>(Block_Length) - 1;
  Suffix_Array[0] = n;
  T_QOR_Suffix_Sort::Sort(Block, n, Suffix_Array + 1, Work);
  for (int32_t r = 0; r <= n; ++r) {
    const int32_t P = Suffix_Array[r];
    if (P > 0) {
      Last_Column[r] = Block[P - 1];
    } else {
      Primary_Index = r;
    }
  }
}

void T_QOR_BWT::Decode_Block(T_QOR_Block_Data& Block_Data) {
  if (T_QOR_MCP::Pass_Empty_Block(Block_Data)) return;
  const int32_t P = static_cast<int32_t>(QOR_MCP->Pop_Side_Info(3));
  const uint8_t* L = Block_Data.Input->Data;
  const int32_t N = Block_Data.Input->Length;
  if (N > QOR_Buffer_Capacity) Report_Damaged_Block("BWT block longer than its buffer");
  if (P < 1 || P > N - 1) Report_Damaged_Block("BWT primary index out of range");
  Primary_Index = P;
  // Fresh memory is dear (the kernel clears every page on first touch), so
  // the links and the pool go where the earlier decoding stages have already
  // written, or expansion has mapped ahead, and whose contents are spent by
  // now: Int_Work (the run counts of the bit path) and the decoded
  // mantissas' stream.
  uint32_t* Links = reinterpret_cast<uint32_t*>(Block_Data.Int_Work);
  uint8_t* Pool = reinterpret_cast<uint8_t*>(Block_Data.Code_Streams->Mantissas);
  Build_Links(L, N, P, Links, Block_Data.Thread_Budget);
  T_Inverse_Walk(Links, N, P, Pool).Run(Block_Data.Output->Data, Block_Data.Thread_Budget);
  Block_Data.Output->Length = N - 1;
}
