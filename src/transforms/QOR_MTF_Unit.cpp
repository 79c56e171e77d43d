#include "transforms/QOR_MTF_Unit.h"

#include "pipeline/QOR_MCP_Unit.h"

void T_QOR_MTF::Init_List() {
  for (int32_t k = 0; k < 256; ++k) {
    List[k] = k;
    Position[k] = k;
  }
}

void T_QOR_MTF::Move_To_Front(int32_t Symbol) {
  const int32_t p = Position[Symbol];
  for (int32_t k = p; k > 0; --k) {
    List[k] = List[k - 1];
    Position[List[k]] = k;
  }
  List[0] = Symbol;
  Position[Symbol] = 0;
}

int32_t T_QOR_MTF::Encode_Symbol(int32_t Symbol) {
  const int32_t Index = Position[Symbol];
  Move_To_Front(Symbol);
  return Index;
}

int32_t T_QOR_MTF::Decode_Symbol(uint8_t Index) {
  const int32_t Symbol = List[Index];
  Move_To_Front(Symbol);
  return Symbol;
}

void T_QOR_MTF::Encode_Block(T_QOR_Block_Data& Block_Data) {
  const uint8_t* In = Block_Data.Input->Data;
  uint8_t* Out = Block_Data.Output->Data;
  const int32_t n = Block_Data.Input->Length;
  Init_List();
  for (int32_t i = 0; i < n; ++i) Out[i] = static_cast<uint8_t>(Encode_Symbol(In[i]));
  Block_Data.Output->Length = n > 0 ? n : 0;
}

void T_QOR_MTF::Decode_Block(T_QOR_Block_Data& Block_Data) {
  const uint8_t* In = Block_Data.Input->Data;
  uint8_t* Out = Block_Data.Output->Data;
  const int32_t n = Block_Data.Input->Length;
  Init_List();
  for (int32_t i = 0; i < n; ++i) Out[i] = static_cast<uint8_t>(Decode_Symbol(In[i]));
  Block_Data.Output->Length = n > 0 ? n : 0;
}
