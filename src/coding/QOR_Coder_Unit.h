#pragma once

#include <cstdint>

struct T_QOR_Block_Data;

class T_QOR_Coder {
 public:
  // Returns false when some segment of the payload could decode differently
  // depending on the bytes that follow it (the block must then be coded another way).
  bool Encode_Block(T_QOR_Block_Data& Block_Data);
  void Decode_Block(T_QOR_Block_Data& Block_Data);
};
