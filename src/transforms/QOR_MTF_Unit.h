#pragma once

#include <cstdint>

struct T_QOR_Block_Data;

class T_QOR_MTF {
 public:
  void Encode_Block(T_QOR_Block_Data& Block_Data);
  void Decode_Block(T_QOR_Block_Data& Block_Data);
};
