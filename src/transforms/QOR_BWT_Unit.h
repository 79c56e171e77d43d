// Burrows-Wheeler transform over n + 1 rows (the block followed by an end
// marker smaller than every byte), and its inverse.
#pragma once

#include <cstdint>

struct T_QOR_Block_Data;
class T_QOR_Thread_Budget;

class T_QOR_BWT {
 public:
  void Encode_Block(T_QOR_Block_Data& Block_Data);
  void Decode_Block(T_QOR_Block_Data& Block_Data);

  // Which suffix class the comparison sort handles. The output is defined by
  // the block alone; the choice only moves the cost. Tests force each
  // variant to show that; a forced variant runs the comparison sort on every
  // block, the smallest included.
  enum class T_Variant : uint8_t { By_Cost, Ascending, Descending };
  T_Variant Variant = T_Variant::By_Cost;

  // Blocks shorter than this are sorted by the induced sort alone. The
  // comparison sort's tables (65,536 buckets, about 660 KB) cost more to map
  // and sweep than such a block costs to sort; without them, compressing a
  // small block touches a few small pages, which the pipeline then asks for.
  static constexpr int32_t Tableless_Limit = 8192;

  // Comparison work allowed per row before the block is handed to the
  // guaranteed-time suffix sort: partitioned rows and compared 64-byte
  // chunks, with work on long common prefixes weighted up. The corpus needs
  // at most about 16; tests lower it to drive the other path.
  int64_t Work_Per_Row = 32;
  // Threads that sort the buckets of a large block: the calling one and,
  // when this is 2 and the block record's budget has one free, one helper.
  // Tests and benchmarks set 1 to compare.
  int Sort_Threads = 2;
  // Whether the comparison sort ran out of its budget on the last block, which
  // the guaranteed-time suffix sort then finished.
  bool Used_Fallback = false;
  // Whether the last block's buckets were sorted by two threads.
  bool Used_Second_Thread = false;

 private:
  void Sort_Suffixes(T_QOR_Block_Data& Block_Data);
  void Lay_Out_Tables(uint32_t* Work);
  void Count_Buckets();
  bool Ascending_Cheaper() const;
  void Place_Ascending();
  void Place_Descending();
  void Set_Byte_Ranges();
  int32_t List_Sorted_Buckets(bool Ascending);
  bool Sort_Listed_Buckets(int32_t Count, uint32_t* Worker_Scratch);
  void Fill_Equal_Downward(int32_t From, int32_t C);
  void Fill_Equal_Upward(int32_t From, int32_t C);
  void Scan_Ascending();
  void Scan_Descending();
  void Sort_All_Suffixes(uint32_t* Work);

  // The block record's, for the second sorting thread.
  T_QOR_Thread_Budget* Thread_Budget = nullptr;
  uint8_t* Block = nullptr;
  uint8_t* Last_Column = nullptr;
  uint32_t Block_Length = 0;
  int32_t* Suffix_Array = nullptr;
  int32_t Primary_Index = 0;

  // Working tables of one sort, laid out in the block record's UInt_Work.
  int32_t* Bucket_Start = nullptr;  // 65,537 entries
  int32_t* Saved_Start = nullptr;   // 65,536 entries
  int32_t* Desc_Count = nullptr;    // 256 entries each from here on
  int32_t* Equal_Count = nullptr;
  int32_t* Asc_Count = nullptr;
  int32_t* Range_Start = nullptr;
  int32_t* Equal_Start = nullptr;
  int32_t* Equal_End = nullptr;
  int32_t* Range_End = nullptr;
  int32_t* Sorted_Buckets = nullptr;   // keys of the buckets to sort, largest first
  uint32_t* Sorter_Scratch = nullptr;  // the calling thread's work stack and key cache
};
