// Burrows-Wheeler transform over n + 1 rows (the block followed by an end
// marker smaller than every byte), and its inverse.
#pragma once

#include <cstdint>

struct T_QOR_Block_Data;

class T_QOR_BWT {
 public:
  void Encode_Block(T_QOR_Block_Data& Block_Data);
  void Decode_Block(T_QOR_Block_Data& Block_Data);

  // Which suffix class the comparison sort handles. The output is defined by
  // the block alone; the choice only moves the cost. Tests force each
  // variant to show that.
  enum class T_Variant : uint8_t { By_Cost, Ascending, Descending };
  T_Variant Variant = T_Variant::By_Cost;

  // Comparison work allowed per row before the block is handed to the
  // guaranteed-time suffix sort: partitioned rows and compared 64-byte
  // chunks, with work on long common prefixes weighted up. The corpus needs
  // at most about 16; tests lower it to drive the other path.
  int64_t Work_Per_Row = 32;
  // Whether the last block was finished by the guaranteed-time suffix sort.
  bool Used_Fallback = false;

 private:
  void Sort_Suffixes(uint32_t* Work);
  void Lay_Out_Tables(uint32_t* Work, int32_t N);
  void Count_Buckets();
  bool Ascending_Cheaper() const;
  void Place_Ascending();
  void Place_Descending();
  void Set_Byte_Ranges();
  void Fill_Equal_Downward(int32_t From, int32_t C);
  void Fill_Equal_Upward(int32_t From, int32_t C);
  bool Scan_Ascending();
  bool Scan_Descending();
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
  void Sort_All_Suffixes(uint32_t* Work);

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
  // Multikey work stack: four parallel arrays. Ranges on the stack are
  // disjoint and hold more than 12 rows each, so N / 13 + 1 entries can
  // never overflow.
  int32_t* Stack_Lo = nullptr;
  int32_t* Stack_Hi = nullptr;
  int32_t* Stack_Depth = nullptr;
  int32_t* Stack_Key_Depth = nullptr;  // depth the range's cached keys start at
  int32_t Stack_Size = 0;
  // Key cache of the bucket being sorted: entry r - Key_Origin holds
  // Key_Bytes bytes, most significant first, of the suffix in row r.
  uint32_t* Keys = nullptr;
  int32_t Key_Origin = 0;
  int64_t Work_Left = 0;
};
