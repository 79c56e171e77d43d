#include "transforms/QOR_MTF_Unit.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pipeline/QOR_MCP_Unit.h"

void T_QOR_MTF::Init_List() {
  for (int32_t k = 0; k < 256; ++k) List[k] = static_cast<uint8_t>(k);
}

#if defined(__SSE2__)

// Sixteen values a time from the front; the list holds every byte value, so
// the search always ends.
int32_t T_QOR_MTF::Position(int32_t Symbol) const {
  const __m128i Wanted = _mm_set1_epi8(static_cast<char>(Symbol));
  for (int32_t k = 0;; k += 16) {
    const __m128i Values = _mm_load_si128(reinterpret_cast<const __m128i*>(List + k));
    const int Found = _mm_movemask_epi8(_mm_cmpeq_epi8(Values, Wanted));
    if (Found != 0) return k + __builtin_ctz(static_cast<unsigned>(Found));
  }
}

// An index below 16: the front sixteen shifted back by one with Symbol in
// front, blended with the unshifted values from Index + 1 on, in one store.
void T_QOR_MTF::Move_To_Front(int32_t Symbol, int32_t Index) {
  if (Index < 16) {
    __m128i* Front = reinterpret_cast<__m128i*>(List);
    const __m128i Values = _mm_load_si128(Front);
    const __m128i Shifted = _mm_or_si128(_mm_slli_si128(Values, 1), _mm_cvtsi32_si128(Symbol));
    const __m128i Lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i Keep = _mm_cmpgt_epi8(Lanes, _mm_set1_epi8(static_cast<char>(Index)));
    _mm_store_si128(Front, _mm_or_si128(_mm_and_si128(Keep, Values), _mm_andnot_si128(Keep, Shifted)));
  } else {
    std::memmove(List + 1, List, static_cast<size_t>(Index));
    List[0] = static_cast<uint8_t>(Symbol);
  }
}

#else

int32_t T_QOR_MTF::Position(int32_t Symbol) const {
  int32_t k = 0;
  while (List[k] != Symbol) ++k;
  return k;
}

void T_QOR_MTF::Move_To_Front(int32_t Symbol, int32_t Index) {
  std::memmove(List + 1, List, static_cast<size_t>(Index));
  List[0] = static_cast<uint8_t>(Symbol);
}

#endif

int32_t T_QOR_MTF::Encode_Symbol(int32_t Symbol) {
  const int32_t Index = Position(Symbol);
  Move_To_Front(Symbol, Index);
  return Index;
}

int32_t T_QOR_MTF::Decode_Symbol(uint8_t Index) {
  const int32_t Symbol = List[Index];
  Move_To_Front(Symbol, Index);
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
