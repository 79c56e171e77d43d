// Comparison sort of the buckets of a suffix array, for the forward
// Burrows-Wheeler transform.
#pragma once

#include <cstdint>

class T_QOR_Thread_Budget;

class T_QOR_Bucket_Sort {
 public:
  static constexpr int32_t Shell_Limit = 12;  // ranges this small go straight to the Shell sort

  // Multikey work stack: four entries per range. Ranges on the stack lie in
  // one bucket, are disjoint and hold more than 12 rows each, so Rows / 13 + 1
  // ranges, Rows the bucket's, can never overflow. The key cache has one
  // entry per row of the largest sorted bucket: neighbouring positions are
  // never both ascending, or both descending, with the same two bytes, so a
  // bucket holds at most half the rows of the block, rounded up.
  static constexpr int64_t Stack_Capacity(int64_t Rows) { return Rows / (Shell_Limit + 1) + 1; }
  static constexpr int64_t Scratch_Entries(int64_t Rows) { return 4 * Stack_Capacity(Rows) + (Rows + 1) / 2; }

  // Sorts the listed buckets, Keys[0..Count-1], largest first (bucket k is rows
  // Bucket_Start[k] .. Bucket_Start[k + 1] - 1 of Suffix_Array), on the
  // calling thread and, for a large block, on one worker with its own
  // scratch; both claim the next bucket until none is left. Returns false
  // when the work budget ran out. A worker that cannot be started leaves the
  // calling thread to sort them all. Threads is 1 or 2; the worker runs only
  // when Helpers (none when null) has a thread free; Used_Second_Thread
  // tells whether it ran.
  //
  // Block is followed by zero padding (reads stay below Block[Rows + 128])
  // and Rows = n + 1 counts the end marker's row. Each thread's scratch holds
  // Scratch_Entries(Rows) entries.
  static bool Sort(const uint8_t* Block, int32_t Rows, int32_t* Suffix_Array, const int32_t* Bucket_Start,
                   const int32_t* Keys, int32_t Count, int64_t Work_Budget, int Threads, T_QOR_Thread_Budget* Helpers,
                   uint32_t* Caller_Scratch, uint32_t* Worker_Scratch, bool& Used_Second_Thread);
};
