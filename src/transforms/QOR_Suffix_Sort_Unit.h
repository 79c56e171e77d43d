// Guaranteed linear-time suffix sorting by induced sorting, for the blocks on
// which the BWT's comparison sort runs out of its work budget.
#pragma once

#include <cstdint>

class T_QOR_Suffix_Sort {
 public:
  // Sorts the Length suffixes of Text[0..Length-1] (Length >= 1) into
  // Suffix_Array[0..Length-1]. Every suffix is read as followed by an end
  // marker smaller than every byte, so a suffix that is a prefix of another
  // sorts first. Work must hold Work_Entries(Length) entries; nothing is
  // allocated.
  static void Sort(const uint8_t* Text, int32_t Length, int32_t* Suffix_Array, uint32_t* Work);

  // Level 0 keeps type bits and two tables of 256; a deeper level has at
  // most Length/2 characters and as many distinct names, hence two tables of
  // Length/2. Levels reuse the same space one after the other.
  static constexpr int64_t Work_Entries(int32_t Length) {
    const int64_t Top = (Length >> 5) + 1 + 2 * 256;
    const int64_t Half = Length / 2;
    const int64_t Deeper = (Half >> 5) + 1 + 2 * Half;
    return Top > Deeper ? Top : Deeper;
  }
};
