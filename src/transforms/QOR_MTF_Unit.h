#pragma once

#include <cstdint>

struct T_QOR_Block_Data;

// Move-to-front over the 256 byte values, restarted from the identity list
// for every block.
class T_QOR_MTF {
 public:
  void Encode_Block(T_QOR_Block_Data& Block_Data);
  void Decode_Block(T_QOR_Block_Data& Block_Data);

 private:
  void Init_List();
  void Move_To_Front(int32_t Symbol);
  int32_t Encode_Symbol(int32_t Symbol);
  int32_t Decode_Symbol(uint8_t Index);

  // Position[v] is the list index of byte value v; List[k] the value at index k.
  // Always inverse permutations of 0..255.
  int32_t Position[256];
  int32_t List[256];
};
