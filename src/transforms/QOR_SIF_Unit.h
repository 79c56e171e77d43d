#pragma once

#include <cstdint>

struct T_QOR_Block_Data;

// Inversion frequencies over a frequency-sorted symbol order. The block leaves
// as integers on the pipeline's integer stream: the alphabet size, the
// frequency of every byte value below it, and per rank (all but the last) the
// distances between its occurrences counted in symbols of higher rank.
class T_QOR_SIF {
 public:
  // Input must hold at least one symbol. Leaves Output empty.
  void Encode_Block(T_QOR_Block_Data& Block_Data);
  // Rewinds to the last closed segment of the integer stream and rebuilds the
  // block from it into Output.
  void Decode_Block(T_QOR_Block_Data& Block_Data);

  // Whether both directions may use the processor's bit count and bit
  // deposit instructions where it has them. The output is the same; tests
  // clear it to check the portable form too.
  bool Bit_Instructions = true;

 private:
  void Count_Frequencies(const uint8_t* Data, int32_t n);
  void Analyse_Block();
  void Sort_Symbols();
  void Rank_Symbols();
  void Put_Header() const;
  void Compute_Distances(uint8_t* Ranks, int32_t n, int32_t* Slots, uint64_t* Free);
  void Read_Header(int32_t Segment_Length);
  void Place_Symbols(T_QOR_Block_Data& Block_Data);

  int32_t Freq[256];
  // Frequency of each rank; while decoding, occurrences of the rank not yet placed.
  int32_t Sorted_Freq[256];
  int32_t Distinct = 0;
  int32_t Alphabet_Size = 0;
  // 1: ranks by falling frequency; 0: by rising frequency.
  int32_t Descending = 0;
  int32_t Total = 0;
  // Per rank, where its distances start.
  int32_t Start[256];
  uint8_t Rank_Of[256];
  uint8_t Order[256];
};
