#include "transforms/QOR_BWT_Unit.h"

#include <algorithm>
#include <cstring>

#include "pipeline/QOR_MCP_Unit.h"
#include "transforms/QOR_BWT_Inverse_Unit.h"
#include "transforms/QOR_Bucket_Sort_Unit.h"
#include "transforms/QOR_Suffix_Sort_Unit.h"

namespace {

constexpr int32_t Bucket_Count = 65536;  // two-byte keys 256 * T[i] + T[i+1]
constexpr int32_t Padding = 257;         // zero bytes written after the block

// Tables of the comparison sort, in UInt_Work entries.
constexpr int64_t Table_Entries = (Bucket_Count + 1) + Bucket_Count + 7 * 256;
constexpr int64_t Max_Rows = int64_t{QOR_Block_Size} + 1;
static_assert(T_QOR_Suffix_Sort::Work_Entries(QOR_Block_Size) <= QOR_Buffer_Capacity,
              "the guaranteed-time sort must fit in UInt_Work");
static_assert(Max_Rows + 1 <= QOR_Buffer_Capacity, "the suffix array starts at Int_Work + 1");
static_assert(QOR_Block_Size + Padding <= QOR_Buffer_Capacity, "the padding must fit the buffer");

constexpr int32_t Sorted_Bucket_Limit = 255 * 256 / 2;  // pairs c < d, or c > d

// UInt_Work holds the sort tables, the list of buckets to sort and the
// calling thread's scratch; the worker's scratch goes to the mantissa
// stream, which no stage before the BWT fills.
constexpr int64_t Sorted_List_Entries = Sorted_Bucket_Limit;
static_assert(Table_Entries + Sorted_List_Entries + T_QOR_Bucket_Sort::Scratch_Entries(Max_Rows) <= QOR_Buffer_Capacity,
              "the sort tables, the bucket list and one sorter's scratch must fit in UInt_Work");
static_assert(T_QOR_Bucket_Sort::Scratch_Entries(Max_Rows) <= QOR_Buffer_Capacity,
              "the worker's scratch must fit in the mantissa stream");

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
  Used_Fallback = false;
  Used_Second_Thread = false;
  if (Variant == T_Variant::By_Cost && n < Tableless_Limit) {
    Sort_All_Suffixes(Block_Data.UInt_Work);
    return;
  }

  Lay_Out_Tables(Block_Data.UInt_Work);
  Count_Buckets();
  const bool Ascending = Variant == T_Variant::Ascending || (Variant == T_Variant::By_Cost && Ascending_Cheaper());
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
    Used_Fallback = true;
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

bool T_QOR_BWT::Sort_Listed_Buckets(int32_t Count, uint32_t* Worker_Scratch) {
  const int32_t N = static_cast<int32_t>(Block_Length);
  return T_QOR_Bucket_Sort::Sort(Block, N, Suffix_Array, Bucket_Start, Sorted_Buckets, Count, Work_Per_Row * N,
                                 Sort_Threads, Thread_Budget, Sorter_Scratch, Worker_Scratch, Used_Second_Thread);
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
  // now: Int_Work (the run counts of the bit path) and, on the SIF path, the
  // decoded mantissas' stream. The other chains leave the mantissa stream
  // untouched; there the pool follows the links in Int_Work when it fits, as
  // it does for every bit-path block, so that a small block touches one
  // stretch of memory instead of two.
  uint32_t* Links = reinterpret_cast<uint32_t*>(Block_Data.Int_Work);
  uint8_t* Pool = reinterpret_cast<uint8_t*>(Block_Data.Code_Streams->Mantissas);
  const int64_t Link_Bytes = (int64_t{N} * 4 + 63) & ~int64_t{63};
  const bool Mantissas_Touched = Block_Data.SIF_Path && !Block_Data.Fast_Mode;
  if (!Mantissas_Touched && Link_Bytes + T_QOR_BWT_Inverse::Pool_Bytes(N) <= int64_t{QOR_Buffer_Capacity} * 4) {
    Pool = reinterpret_cast<uint8_t*>(Block_Data.Int_Work) + Link_Bytes;
  }
  T_QOR_BWT_Inverse::Decode(L, N, P, Links, Pool, Block_Data.Output->Data, Block_Data.Thread_Budget);
  Block_Data.Output->Length = N - 1;
}
