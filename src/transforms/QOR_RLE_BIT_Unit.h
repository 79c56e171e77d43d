#pragma once

#include <cstdint>

struct T_QOR_Block_Data;

class T_QOR_RLE_BIT {
 public:
  // Runs of at least this length are cut; the pipeline sets 2 before every call.
  int32_t Threshold = 2;
  void Encode_Block(T_QOR_Block_Data& Block_Data);
  void Decode_Block(T_QOR_Block_Data& Block_Data);
};
