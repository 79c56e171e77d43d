#pragma once

#include <cstdint>

struct T_QOR_Block_Data;

// Cuts every run of L >= Threshold equal bytes down to Threshold - 1 bytes; the
// last byte kept carries the count L - Threshold + 1 in Int_Work at its own
// output position. Every other output position gets count 0.
class T_QOR_RLE_BIT {
 public:
  // Runs of at least this length are cut; the pipeline sets 2 before every call.
  int32_t Threshold = 2;
  void Encode_Block(T_QOR_Block_Data& Block_Data);
  // Reads the counts from Int_Work[0 .. Input.Length - 1]; does not use Threshold.
  void Decode_Block(T_QOR_Block_Data& Block_Data);
};
