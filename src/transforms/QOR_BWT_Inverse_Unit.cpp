#include "transforms/QOR_BWT_Inverse_Unit.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "pipeline/QOR_MCP_Unit.h"
#include "pipeline/QOR_Threads_Unit.h"

namespace {

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

// Runs both on two threads for a large block when Helpers has a thread
// free, one after the other otherwise.
template <class T_First, class T_Second>
void Run_Both_If(bool Large, T_QOR_Thread_Budget* Helpers, const T_First& First, const T_Second& Second) {
  if (Large) {
    QOR_Run_Both(Helpers, First, Second);
  } else {
    First();
    Second();
  }
}

// Rows From .. To - 1 in Lanes contiguous stretches of equal length, the last
// one taking the remainder, handled one row of each stretch at a time. Runs of
// one byte are common in a BWT's last column, and a counter bumped on every
// row waits on its previous store; four stretches keep four counters going at
// once. The primary row's placeholder is left out.
constexpr int Lanes = 4;

struct T_Lane_Split {
  T_Lane_Split(int32_t From, int32_t To) : Step((To - From) / Lanes) {
    for (int k = 0; k < Lanes; ++k) Begin[k] = From + k * Step;
    Last_End = To;
  }
  // Calls Visit(k, r) for every row r of stretch k, the rows of each
  // stretch in rising order.
  template <class T_Visit>
  void For_Each_Row(int32_t Primary, const T_Visit& Visit) const {
    for (int32_t j = 0; j < Step; ++j) {
#pragma GCC unroll 4
      for (int k = 0; k < Lanes; ++k) {
        const int32_t r = Begin[k] + j;
        if (r != Primary) Visit(k, r);
      }
    }
    for (int32_t r = Begin[Lanes - 1] + Step; r < Last_End; ++r) {
      if (r != Primary) Visit(Lanes - 1, r);
    }
  }

  int32_t Step;
  int32_t Begin[Lanes];
  int32_t Last_End;
};

// Count[k][c]: rows of stretch k of From .. To - 1 holding byte c.
void Count_Bytes(const uint8_t* L, int32_t From, int32_t To, int32_t Primary, int32_t (*Count)[256]) {
  for (int k = 0; k < Lanes; ++k) std::fill(Count[k], Count[k] + 256, 0);
  T_Lane_Split(From, To).For_Each_Row(Primary, [&](int k, int32_t r) { Count[k][L[r]] += 1; });
}

// Links the rows From .. To - 1 (the primary row gets no link); Next_Row[k][c]
// is the row the first row of stretch k holding c leads to.
void Link_Rows(const uint8_t* L, int32_t From, int32_t To, int32_t Primary, int32_t (*Next_Row)[256],
               uint32_t* Row_Links) {
  T_Lane_Split(From, To).For_Each_Row(Primary, [&](int k, int32_t r) {
    const uint32_t c = L[r];
    Row_Links[r] = static_cast<uint32_t>(Next_Row[k][c]++) << 8 | c;
  });
}

// The rows are linked in two halves, each in its stretches; the rows of each
// byte are numbered stretch after stretch, the second half's after the first's.
void Build_Links(const uint8_t* L, int32_t N, int32_t Primary, uint32_t* Row_Links, T_QOR_Thread_Budget* Helpers) {
  const bool Large = N >= Two_Thread_Rows;
  const int32_t Mid = Large ? N / 2 : N;
  int32_t Rows[2 * Lanes][256];
  Run_Both_If(
      Large, Helpers, [&] { Count_Bytes(L, 0, Mid, Primary, Rows); },
      [&] { Count_Bytes(L, Mid, N, Primary, Rows + Lanes); });
  int32_t First_Row = 1;
  for (int c = 0; c < 256; ++c) {
    for (int k = 0; k < 2 * Lanes; ++k) {
      const int32_t Count = Rows[k][c];
      Rows[k][c] = First_Row;
      First_Row += Count;
    }
  }
  Run_Both_If(
      Large, Helpers, [&] { Link_Rows(L, 0, Mid, Primary, Rows, Row_Links); },
      [&] { Link_Rows(L, Mid, N, Primary, Rows + Lanes, Row_Links); });
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
// misses in flight until the end. The lengths are spread like the gaps
// between random points, so the last walks to end are several times longer
// than the mean, and while they run alone few misses are in flight: with 256
// walks on a 5 MB block, 129,000 of the inverse's 158,000 rounds of steps had
// fewer walks than slots. Short walks (2,048 rows each, up to 2,048) leave
// about 59,000 rounds in all, and the inverse of E.coli, mr, osdb and
// world192.txt took 5 to 10 % less time. In a damaged block the links may form
// several cycles: the pool's chunk limit stops a walk that runs on, and the
// assembly checks that the pieces form exactly one block of N - 1 bytes.
class T_Inverse_Walk {
 public:
  static constexpr int Max_Walks = 2048;
  // Misses in flight per thread. Each step prefetches the row it leads to
  // (see Step_Walks), so the walks are held back by the misses the
  // memory system takes, not by the reads the processor can wait on: 96
  // walks measured faster than 48 and 64 on 5 MB blocks, 128 no faster.
  static constexpr int Max_Active = 96;
  // Small, since every walk takes a chunk of its own: the pool stays about
  // as large as the block with 2,048 walks.
  static constexpr int32_t Chunk_Bytes = 2048;
  // Chunks lie one cache line more than their size apart. The walks started
  // together fill their chunks in step, so at a stride of a power of two
  // their write positions would all fall in one set of the first-level cache,
  // which holds eight lines: every step's byte store would miss there. Blocks
  // whose links stay in the caches ran a third slower that way.
  static constexpr int32_t Chunk_Stride = Chunk_Bytes + 64;
  // A walk whose chunk has less room left than this takes a new chunk before
  // the next rounds of steps, which therefore run at least this many rounds
  // between two checks of every walk's room.
  static constexpr int32_t Min_Room = Chunk_Bytes / 8;
  // Every chunk but a walk's last holds more than Chunk_Bytes - Min_Room bytes.
  static constexpr int Max_Chunks = QOR_Buffer_Capacity / (Chunk_Bytes - Min_Room) + Max_Walks + 1;
  static constexpr int64_t Pool_Bytes = int64_t{Max_Chunks} * Chunk_Stride;
  // Smaller blocks take fewer walks, down to one.
  static constexpr int32_t Min_Rows_Per_Walk = 2048;

  T_Inverse_Walk(uint32_t* Row_Links, int32_t N_, int32_t Primary_, uint8_t* Pool_)
      : Links(Row_Links),
        N(N_),
        Primary(Primary_),
        Pool(Pool_),
        Walks(Walks_For(N_)),
        Chunk_Limit(Chunk_Limit_For(N_)) {}

  static int Walks_For(int32_t N_) { return std::clamp<int32_t>(N_ / Min_Rows_Per_Walk, 1, Max_Walks); }
  // Every chunk a walk takes is counted against this, so no walk of N_ rows
  // writes past Chunk_Limit_For(N_) chunks of the pool.
  static int Chunk_Limit_For(int32_t N_) { return (N_ - 1) / (Chunk_Bytes - Min_Room) + Walks_For(N_) + 1; }

  void Run(uint8_t* Out, T_QOR_Thread_Budget* Helpers) {
    Start_Walks();
    const auto Walk_Share = [this] { T_Walker(*this).Run(); };
    // Alone, the calling thread's share takes every walk and the second finds none left.
    Run_Both_If(N >= Two_Thread_Rows, Helpers, Walk_Share, Walk_Share);
    Assemble(Out);
  }

 private:
  // One thread's share: up to Max_Active walks in lockstep, taking the next
  // unstarted walk whenever one ends.
  class T_Walker {
   public:
    explicit T_Walker(T_Inverse_Walk& Walk) : W(Walk) {}

    void Run() {
      for (int w; Active_Count < Max_Active && (w = Start_Next()) >= 0;) Active[Active_Count++] = w;
      while (Active_Count > 0) Step_Walks(Room_For_Steps());
    }

   private:
    // Takes the next walk's first step, from its own (marked) start row;
    // returns the walk, or -1 when every walk has been started.
    int Start_Next() {
      const int w = W.Next_Walk.fetch_add(1, std::memory_order_relaxed);
      if (w >= W.Walks) return -1;
      W.Head[w] = -1;
      W.New_Chunk(w);
      const uint32_t E = W.Links[W.Start[w]] & ~Stop_Mark;
      W.Pool[--W.Fill[w]] = static_cast<uint8_t>(E);
      W.Current[w] = E >> 8;
      return w;
    }

    // Gives every active walk room in its chunk; returns the steps all of
    // them can take without another check.
    int32_t Room_For_Steps() {
      int32_t Room = Chunk_Bytes;
      for (int a = 0; a < Active_Count; ++a) {
        const int w = Active[a];
        if (W.Fill[w] - W.Floor[w] < Min_Room) W.Next_Chunk(w);
        Room = std::min(Room, W.Fill[w] - W.Floor[w]);
      }
      return Room;
    }

    // Advances the active walks in lockstep for up to Room rounds of one
    // step each. A walk that reaches a marked row ends there, and the next
    // unstarted walk takes its place from the next round on (its fresh chunk
    // has room for every round left), so that the rounds go on. The walk in
    // place a writes the byte of round s at Pool[Ends[a] - s].
    void Step_Walks(int32_t Room) {
      const uint32_t* const Links_ = W.Links;
      uint8_t* const Pool_ = W.Pool;
      int Count = Active_Count;
      uint32_t Rows[Max_Active];
      int32_t Ends[Max_Active];
      for (int a = 0; a < Count; ++a) {
        Rows[a] = W.Current[Active[a]];
        Ends[a] = W.Fill[Active[a]] - 1;
      }
      int32_t s = 0;
      for (; s < Room && Count > 0; ++s) {
        for (int a = 0; a < Count; ++a) {
          const uint32_t E = Links_[Rows[a]];
          if (E & Stop_Mark) {
            W.End_Walk(Active[a], static_cast<int32_t>(Rows[a]), Ends[a] - s + 1);
            const int Next = Start_Next();
            if (Next >= 0) {
              Active[a] = Next;
              Rows[a] = W.Current[Next];
              Ends[a] = W.Fill[Next] + s;
            } else {
              // The last place's walk moves here and takes this round's step now.
              --Count;
              Active[a] = Active[Count];
              Rows[a] = Rows[Count];
              Ends[a] = Ends[Count];
              --a;
            }
            continue;
          }
          Pool_[Ends[a] - s] = static_cast<uint8_t>(E);
          Rows[a] = E >> 8;
          // This walk reads the row again only after every other active
          // walk's step. A read that misses waits in the processor's window
          // until its data comes, and a window holds only a few dozen of
          // them; a prefetch leaves at once, so the misses of all the walks
          // can be under way together.
          __builtin_prefetch(Links_ + (E >> 8));
        }
      }
      Active_Count = Count;
      for (int a = 0; a < Count; ++a) {
        W.Current[Active[a]] = Rows[a];
        W.Fill[Active[a]] = Ends[a] - s + 1;
      }
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
    Floor[w] = C * Chunk_Stride;
    Fill[w] = Floor[w] + Chunk_Bytes;
  }

  // Walk w has reached the marked row Row; its bytes begin at Fill_ in its last chunk.
  void End_Walk(int w, int32_t Row, int32_t Fill_) {
    Stop[w] = Row;
    Chunk_Begin[Head[w]] = Fill_ - Floor[w];
  }

  // The walk's current chunk keeps what it holds; the walk goes on in a new one.
  void Next_Chunk(int w) {
    Chunk_Begin[Head[w]] = Fill[w] - Floor[w];
    New_Chunk(w);
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
      std::memcpy(To, Pool + int64_t{C} * Chunk_Stride + Chunk_Begin[C], static_cast<size_t>(Count));
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

int64_t T_QOR_BWT_Inverse::Pool_Bytes(int32_t N) {
  return int64_t{T_Inverse_Walk::Chunk_Limit_For(N)} * T_Inverse_Walk::Chunk_Stride;
}

void T_QOR_BWT_Inverse::Decode(const uint8_t* L, int32_t N, int32_t Primary, uint32_t* Links, uint8_t* Pool,
                               uint8_t* Out, T_QOR_Thread_Budget* Helpers) {
  Build_Links(L, N, Primary, Links, Helpers);
  // On the heap: its tables of walks and chunks take about 90 KB, too much
  // for the stack of a thread that calls the library.
  std::make_unique<T_Inverse_Walk>(Links, N, Primary, Pool)->Run(Out, Helpers);
}
