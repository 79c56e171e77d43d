#pragma once

#include <cstdint>

struct T_QOR_Block_Data;

// Weighted frequency count: every byte is replaced by its index in a list of
// the 256 values ordered by a weighted count of their occurrences among the
// last 2048 symbols, recent ones weighing more. How fast the weights fall is
// set by the block's dominant percentage, which travels as one Side_Info byte.
class T_QOR_AWFC {
 public:
  void Encode_Block(T_QOR_Block_Data& Block_Data);
  void Decode_Block(T_QOR_Block_Data& Block_Data);

  // The weights of the 12 window levels for dominant percentage Percent (0..100).
  static void Compute_Weights(int32_t Percent, int32_t* Level_Weights);

 private:
  void Analyse_Block(const uint8_t* Data, int32_t n);
  void Set_Weights(int32_t Percent);
  void Init_List();
  void Decode_Symbols(const uint8_t* In, uint8_t* Out, int32_t n);
  template <int32_t A>
  void Decode_Full_Window(const uint8_t* In, uint8_t* Out, int32_t From, int32_t n);
  template <int32_t Top, class T_Run>
  void Near_Start(int32_t n, const T_Run& Run) const;
  template <int32_t Top>
  void Update_Weights_Near_Start(const uint8_t* Symbols, int32_t Idx, int32_t Index);
  template <int32_t A>
  void Update_Weights(const uint8_t* Symbols, int32_t Idx, int32_t Index);
  void Move_Forward(int32_t Value, int32_t k, int32_t Sum, int32_t Bar);
  void Move_Back(int32_t Value, int32_t Sum, int32_t Bar);
  void Raise(int32_t Value, int32_t Index, int32_t Gain);
  void Lower_Behind_Equals(int32_t Value, int32_t Loss);
  void Lower_Before_Equals(int32_t Value, int32_t Loss);
  void Init_Counts();
  int32_t Index_Of(int32_t Value) const;
  void Count_Raise(int32_t Value, int32_t Gain, int32_t Moment);
  void Count_Lower(int32_t Value, int32_t Loss, int32_t Moment, bool Raise_Last);
  template <int32_t A>
  void Count_Changes(const uint8_t* Symbols, int32_t Idx);
  template <int32_t Top>
  void Count_Changes_Near_Start(const uint8_t* Symbols, int32_t Idx);
  template <int32_t A>
  void Count_Full_Window(const uint8_t* In, uint8_t* Out, int32_t From, int32_t n);
  void Count_Indices(const uint8_t* In, uint8_t* Out, int32_t n);

  // List index of each byte value, and the value at each index: inverse
  // permutations. List is ordered by non-increasing Weight_Sum. Decoding
  // keeps the list; encoding counts the indices instead (see the unit).
  uint8_t Rank_Of[256];
  int32_t List[256];
  // Current weighted count of each value. Aligned for the encoder's counts,
  // which run on several values at once; there, values above the highest
  // occurring one hold the sum -1.
  alignas(16) int32_t Weight_Sum[256];
  // Order among equal sums, smaller first (encoding only).
  alignas(16) int32_t Tie_Order[256];
  // Alphabet_Size rounded up to a multiple of 8: the values counted.
  int32_t Count_End = 0;
  // Bounded_Sum[k + 1] = Weight_Sum[List[k]], kept beside List so that the
  // moves scan contiguous memory, between two sentinels that end every scan
  // (decoding only).
  int32_t Bounded_Sum[258];
  int32_t Dominant_Percent = 0;
  int32_t Weights[12];
  // Levels 0 .. Active_Levels - 1 have a weight above 0; the weights fall
  // strictly until they reach 0, so the levels beyond change nothing.
  int32_t Active_Levels = 0;
  int32_t Freq[256];
  int32_t Distinct = 0;
  int32_t Alphabet_Size = 0;
};
