#include "transforms/QOR_AWFC_Unit.h"

#include <cstring>

#include "pipeline/QOR_MCP_Unit.h"
#include "transforms/QOR_Block_Statistics_Unit.h"

namespace {

// Level i covers the distances Level_Start[i] .. Level_Start[i + 1] - 1 back
// from the position just processed.
constexpr int32_t Level_Start[13] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048};

}  // namespace

void T_QOR_AWFC::Analyse_Block(const uint8_t* Data, int32_t n) {
  Alphabet_Size = Count_Byte_Frequencies(Data, n, Freq);
  Distinct = Count_Distinct_Values(Freq, Alphabet_Size);
  Dominant_Percent = Dominant_Percentage(Freq, Alphabet_Size, Distinct, n);
}

// Level_Weights[i - 1] * 2600 stays below 2^31 since Level_Weights[1] = 16384
// and they only fall; the divisor grows with the level and with the percentage.
void T_QOR_AWFC::Compute_Weights(int32_t Percent, int32_t* Level_Weights) {
  Level_Weights[0] = 131072;
  Level_Weights[1] = 16384;
  for (int32_t i = 2; i < 12; ++i)
    Level_Weights[i] = (Level_Weights[i - 1] * 2600) / (i * Percent * Percent + 4185);
}

void T_QOR_AWFC::Set_Weights(int32_t Percent) {
  Dominant_Percent = Percent;
  Compute_Weights(Percent, Weights);
  Active_Levels = 0;
  while (Active_Levels < 12 && Weights[Active_Levels] > 0) ++Active_Levels;
}

void T_QOR_AWFC::Init_List() {
  for (int32_t k = 0; k < 256; ++k) {
    List[k] = k;
    Rank_Of[k] = static_cast<uint8_t>(k);
    Weight_Sum[k] = 0;
  }
  // Sentinels that stop every scan at the ends of the list: no sum passes them.
  Bounded_Sum[0] = INT32_MAX;
  std::memset(Bounded_Sum + 1, 0, 256 * sizeof(int32_t));
  Bounded_Sum[257] = INT32_MIN;
}

// Takes Weight from Value and moves it back past every value with a larger
// sum; values of equal sum keep their places in front of it. The sentinel
// behind the list ends the scan.
inline void T_QOR_AWFC::Lower(int32_t Value, int32_t Weight) {
  // Restrict-qualified views: the byte stores to Rank_Of would otherwise make
  // the compiler reload the list after each one.
  int32_t* __restrict const Values = List;
  int32_t* __restrict const Sums = Bounded_Sum + 1;
  uint8_t* __restrict const Ranks = Rank_Of;
  const int32_t Sum = Weight_Sum[Value] -= Weight;
  int32_t k = Ranks[Value];
  for (int32_t Next_Sum = Sums[k + 1]; Next_Sum > Sum; Next_Sum = Sums[k + 1]) {
    const int32_t Moved = Values[k + 1];
    Values[k] = Moved;
    Sums[k] = Next_Sum;
    Ranks[Moved] = static_cast<uint8_t>(k);
    ++k;
  }
  Values[k] = Value;
  Sums[k] = Sum;
  Ranks[Value] = static_cast<uint8_t>(k);
}

// Adds Weight to Value and moves it forward past every value with a smaller
// sum; it stops behind the first value of equal or larger sum, or at the
// sentinel in front of the list.
inline void T_QOR_AWFC::Raise(int32_t Value, int32_t Weight) {
  int32_t* __restrict const Values = List;
  int32_t* __restrict const Sums = Bounded_Sum + 1;
  uint8_t* __restrict const Ranks = Rank_Of;
  const int32_t Sum = Weight_Sum[Value] += Weight;
  int32_t k = Ranks[Value];
  for (int32_t Previous_Sum = Sums[k - 1]; Previous_Sum < Sum; Previous_Sum = Sums[k - 1]) {
    const int32_t Moved = Values[k - 1];
    Values[k] = Moved;
    Sums[k] = Previous_Sum;
    Ranks[Moved] = static_cast<uint8_t>(k);
    --k;
  }
  Values[k] = Value;
  Sums[k] = Sum;
  Ranks[Value] = static_cast<uint8_t>(k);
}

// Moves the window on by one position, after Symbols[Idx] has been coded. The
// order of the steps decides the order of equal sums, so encoder and decoder
// must share it: levels rising; in each level the occurrence leaving it (now
// one level further back) before the one entering it; every change followed
// at once by its own move.
void T_QOR_AWFC::Update_Weights(const uint8_t* Symbols, int32_t Idx) {
  for (int32_t i = 0; i < Active_Levels; ++i) {
    if (Idx < Level_Start[i]) return;
    const int32_t w = Weights[i];
    if (Idx >= Level_Start[i + 1]) Lower(Symbols[Idx - Level_Start[i + 1]], w);
    Raise(Symbols[Idx - Level_Start[i]], w);
  }
}

void T_QOR_AWFC::Encode_Block(T_QOR_Block_Data& Block_Data) {
  if (T_QOR_MCP::Pass_Empty_Block(Block_Data)) return;
  const int32_t n = Block_Data.Input->Length;
  const uint8_t* In = Block_Data.Input->Data;
  uint8_t* Out = Block_Data.Output->Data;
  Analyse_Block(In, n);
  QOR_MCP->Push_Side_Info(static_cast<uint32_t>(Dominant_Percent), 1);
  Set_Weights(Dominant_Percent);
  Init_List();
  for (int32_t i = 0; i < n; ++i) {
    Out[i] = Rank_Of[In[i]];
    Update_Weights(In, i);
  }
  Block_Data.Output->Length = n;
}

void T_QOR_AWFC::Decode_Block(T_QOR_Block_Data& Block_Data) {
  if (T_QOR_MCP::Pass_Empty_Block(Block_Data)) return;
  const int32_t n = Block_Data.Input->Length;
  const uint32_t Percent = QOR_MCP->Pop_Side_Info(1);
  if (Percent > 100) Report_Damaged_Block("AWFC percentage above 100");
  const uint8_t* In = Block_Data.Input->Data;
  uint8_t* Out = Block_Data.Output->Data;
  Set_Weights(static_cast<int32_t>(Percent));
  Init_List();
  for (int32_t i = 0; i < n; ++i) {
    Out[i] = static_cast<uint8_t>(List[In[i]]);
    Update_Weights(Out, i);
  }
  Block_Data.Output->Length = n;
}
