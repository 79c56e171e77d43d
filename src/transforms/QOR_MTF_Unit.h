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
  // The list index of byte value Symbol.
  int32_t Position(int32_t Symbol) const;
  // Moves Symbol, found at list index Index, to the front.
  void Move_To_Front(int32_t Symbol, int32_t Index);
  int32_t Encode_Symbol(int32_t Symbol);
  int32_t Decode_Symbol(uint8_t Index);

  // List[k] is the byte value at list index k: always a permutation of
  // 0..255. Bytes rather than 32-bit entries, and no inverse table to keep:
  // after the block sort most indices are below 16, so a move is one vector
  // blend of the front sixteen and the encoder's search one comparison.
  alignas(16) uint8_t List[256];
};
