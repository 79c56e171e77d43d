#include "transforms/QOR_AWFC_Unit.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "pipeline/QOR_MCP_Unit.h"
#include "transforms/QOR_Block_Statistics_Unit.h"

namespace {

// Level i covers the distances Level_Start[i] .. Level_Start[i + 1] - 1 back
// from the position just processed.
constexpr int32_t Level_Start[13] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048};

// Runs Run with the block's count of active levels as a compile-time
// constant, so that the steady loops get each level unrolled. A percentage of
// at most 100 leaves levels 0 .. 4 a weight above 0; the percentage is checked
// where it is read, so another count means a block no coder wrote.
template <class T_Run>
void With_Level_Count(int32_t Levels, const T_Run& Run) {
  switch (Levels) {
    case 5: return Run(std::integral_constant<int32_t, 5>{});
    case 6: return Run(std::integral_constant<int32_t, 6>{});
    case 7: return Run(std::integral_constant<int32_t, 7>{});
    case 8: return Run(std::integral_constant<int32_t, 8>{});
    case 9: return Run(std::integral_constant<int32_t, 9>{});
    case 10: return Run(std::integral_constant<int32_t, 10>{});
    case 11: return Run(std::integral_constant<int32_t, 11>{});
    case 12: return Run(std::integral_constant<int32_t, 12>{});
    default: Report_Damaged_Block("AWFC level count out of range");
  }
}

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
  for (int32_t i = 2; i < 12; ++i) Level_Weights[i] = (Level_Weights[i - 1] * 2600) / (i * Percent * Percent + 4185);
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

// Why a change of weight and its move can be taken per occurrence
// ------------------------------------------------------------------
// A lowered value moves back behind every larger sum and stays in front of
// the values whose sum now equals its own; a raised value moves forward past
// every smaller sum and stays behind its new equals. By induction, the list is
// therefore always ordered by falling sum and, among equal sums, by the last
// change of each value: the later a value was last lowered, the further
// forward it stands among its equals; the later it was last raised, the
// further back; values not changed since keep their order. So the list after a
// position depends only on every value's final sum and on the kind and order
// of the change that touched it last, not on the moves in between.
//
// An occurrence that passes from level i - 1 into level i is lowered by
// Weights[i - 1] and later raised by Weights[i]; the raise is its last change.
// Update_Weights therefore applies the two as one net loss, at the time of
// the raise, and places the value behind its equals as a raised value would
// stand: one sum change and one move per occurrence, in the order of the
// occurrences' last changes. A value met at several occurrences is placed
// once for each; its last placement is the one that counts.

// Forward past every value whose sum is at most Bar; the sentinel in front of
// the list ends the scan.
inline void T_QOR_AWFC::Move_Forward(int32_t Value, int32_t k, int32_t Sum, int32_t Bar) {
  // Restrict-qualified views: the byte stores to Rank_Of would otherwise make
  // the compiler reload the list after each one.
  int32_t* __restrict const Values = List;
  int32_t* __restrict const Sums = Bounded_Sum + 1;
  uint8_t* __restrict const Ranks = Rank_Of;
  for (int32_t Previous_Sum = Sums[k - 1]; Previous_Sum <= Bar; Previous_Sum = Sums[k - 1]) {
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

// Back past every value whose sum is above Bar; the sentinel behind the list
// ends the scan. Most values of the deeper levels lose too little to pass
// anyone: they only get their new sum.
inline void T_QOR_AWFC::Move_Back(int32_t Value, int32_t Sum, int32_t Bar) {
  int32_t* __restrict const Values = List;
  int32_t* __restrict const Sums = Bounded_Sum + 1;
  uint8_t* __restrict const Ranks = Rank_Of;
  int32_t k = Ranks[Value];
  if (Sums[k + 1] <= Bar) {
    Sums[k] = Sum;
    return;
  }
  for (int32_t Next_Sum = Sums[k + 1]; Next_Sum > Bar; Next_Sum = Sums[k + 1]) {
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

// The symbol just coded, found at index Index, gains the weight of level 0:
// forward past every smaller sum, behind its equals. Its sum is read beside
// the list, so that the scan need not wait for the value's own entries.
inline void T_QOR_AWFC::Raise(int32_t Value, int32_t Index, int32_t Gain) {
  const int32_t Sum = Bounded_Sum[Index + 1] + Gain;
  Weight_Sum[Value] = Sum;
  Move_Forward(Value, Index, Sum, Sum - 1);
}

// An occurrence passing into a deeper level: a net loss whose last change is
// a raise, so behind every value of equal or larger sum.
inline void T_QOR_AWFC::Lower_Behind_Equals(int32_t Value, int32_t Loss) {
  const int32_t Sum = Weight_Sum[Value] -= Loss;
  Move_Back(Value, Sum, Sum - 1);
}

// An occurrence leaving the last active level: lowered, so in front of every
// value of equal or smaller sum. A loss never has to pass an equal sum
// forward, since every value behind it had at most its lower sum.
inline void T_QOR_AWFC::Lower_Before_Equals(int32_t Value, int32_t Loss) {
  const int32_t Sum = Weight_Sum[Value] -= Loss;
  Move_Back(Value, Sum, Sum);
}

// Near the block start the window is not yet full: levels 0 .. Top have an
// entering occurrence, and Top has none leaving it. Top is the deepest level
// that Idx reaches, fixed over Level_Start[Top] .. Level_Start[Top + 1] - 1.
template <int32_t Top>
[[gnu::always_inline]] inline void T_QOR_AWFC::Update_Weights_Near_Start(const uint8_t* Symbols, int32_t Idx,
                                                                         int32_t Index) {
  const int32_t* const w = Weights;
  Raise(Symbols[Idx], Index, w[0]);
#pragma GCC unroll 12
  for (int32_t i = 1; i <= Top; ++i) Lower_Behind_Equals(Symbols[Idx - Level_Start[i]], w[i - 1] - w[i]);
}

// Moves the window on by one position, after Symbols[Idx] has been coded, in
// the order of the occurrences' last changes: the symbol just coded; the
// occurrences at distance Level_Start[i] for the levels i = 1 .. A - 2, each
// losing Weights[i - 1] - Weights[i] (so far the changes near the start, with
// Top = A - 2); the occurrence leaving the last active level A - 1, which only
// loses; and last the occurrence entering that level. Weights strictly fall
// until they reach 0, so no net loss here is 0.
template <int32_t A>
[[gnu::always_inline]] inline void T_QOR_AWFC::Update_Weights(const uint8_t* Symbols, int32_t Idx, int32_t Index) {
  const int32_t* const w = Weights;
  Update_Weights_Near_Start<A - 2>(Symbols, Idx, Index);
  Lower_Before_Equals(Symbols[Idx - Level_Start[A]], w[A - 1]);
  Lower_Behind_Equals(Symbols[Idx - Level_Start[A - 1]], w[A - 2] - w[A - 1]);
}

// Encoding without the list
// --------------------------
// The encoder needs only the index of each value, and that is the number of
// values standing before it: those of larger sum, and those of equal sum that
// the order among equals puts first. By the induction above, that order
// follows from the last change of each value alone: the values last lowered
// come first, the latest lowered first; then the values never changed, by
// byte value, as the list started; then the values last raised, the earliest
// raised first. Tie_Order holds that order as a number per value, smaller
// meaning further forward, so an index is two comparisons per value, which
// run on several values at once and take no branch that depends on the data.
// Values above the highest occurring one never change and stand behind every
// occurring value; their sums are set to -1 so that no comparison counts them.
// The moments of the changes number the slots of each position in the order
// of the last changes, 16 per position: below 2^27 for any block of fewer
// than 2^23 symbols, which every block size leaves room for.

namespace {

constexpr int32_t Lowered_Order_End = 1 << 27;  // lowered at moment t: Lowered_Order_End - 1 - t
constexpr int32_t Unchanged_Order = 1 << 27;    // never changed: Unchanged_Order + byte value
constexpr int32_t Raised_Order = 1 << 28;       // raised at moment t: Raised_Order + t
static_assert(int64_t{QOR_Block_Size} * 16 < Lowered_Order_End, "every moment of a block has its own order");

// Four lanes of 32 bits; a comparison sets a lane to -1 where it holds.
typedef int32_t T_Lanes __attribute__((vector_size(16)));

inline T_Lanes Load_Lanes(const int32_t* From) {
  T_Lanes Lanes;
  std::memcpy(&Lanes, From, sizeof Lanes);
  return Lanes;
}

inline int32_t Lane_Total(T_Lanes Lanes) { return Lanes[0] + Lanes[1] + Lanes[2] + Lanes[3]; }

}  // namespace

void T_QOR_AWFC::Init_Counts() {
  for (int32_t v = 0; v < 256; ++v) {
    Weight_Sum[v] = v < Alphabet_Size ? 0 : -1;
    Tie_Order[v] = Unchanged_Order + v;
  }
  Count_End = (Alphabet_Size + 7) & ~7;
}

// Values before Value in the list: 8 per step up to Count_End. Ties with
// the sum of Value are rare but for Value itself, so they get a second pass.
inline int32_t T_QOR_AWFC::Index_Of(int32_t Value) const {
  const int32_t Sum = Weight_Sum[Value];
  T_Lanes Larger = {0, 0, 0, 0}, Equal = {0, 0, 0, 0};
  for (int32_t v = 0; v < Count_End; v += 8) {
    const T_Lanes Low = Load_Lanes(Weight_Sum + v), High = Load_Lanes(Weight_Sum + v + 4);
    Larger -= (Low > Sum) + (High > Sum);
    Equal -= (Low == Sum) + (High == Sum);
  }
  int32_t Index = Lane_Total(Larger);
  if (Lane_Total(Equal) > 1) {
    const int32_t Order = Tie_Order[Value];
    T_Lanes Before = {0, 0, 0, 0};
    for (int32_t v = 0; v < Count_End; v += 4)
      Before -= (Load_Lanes(Weight_Sum + v) == Sum) & (Load_Lanes(Tie_Order + v) < Order);
    Index += Lane_Total(Before);
  }
  return Index;
}

inline void T_QOR_AWFC::Count_Raise(int32_t Value, int32_t Gain, int32_t Moment) {
  Weight_Sum[Value] += Gain;
  Tie_Order[Value] = Raised_Order + Moment;
}

inline void T_QOR_AWFC::Count_Lower(int32_t Value, int32_t Loss, int32_t Moment, bool Raise_Last) {
  Weight_Sum[Value] -= Loss;
  Tie_Order[Value] = Raise_Last ? Raised_Order + Moment : Lowered_Order_End - 1 - Moment;
}

// The changes of Update_Weights_Near_Start and Update_Weights, in the same
// order, on the sums and the order among equals only.
template <int32_t Top>
[[gnu::always_inline]] inline void T_QOR_AWFC::Count_Changes_Near_Start(const uint8_t* Symbols, int32_t Idx) {
  const int32_t* const w = Weights;
  const int32_t Moment = Idx * 16;
  Count_Raise(Symbols[Idx], w[0], Moment);
#pragma GCC unroll 12
  for (int32_t i = 1; i <= Top; ++i) Count_Lower(Symbols[Idx - Level_Start[i]], w[i - 1] - w[i], Moment + i, true);
}

template <int32_t A>
[[gnu::always_inline]] inline void T_QOR_AWFC::Count_Changes(const uint8_t* Symbols, int32_t Idx) {
  const int32_t* const w = Weights;
  const int32_t Moment = Idx * 16;
  Count_Changes_Near_Start<A - 2>(Symbols, Idx);
  Count_Lower(Symbols[Idx - Level_Start[A]], w[A - 1], Moment + A - 1, false);
  Count_Lower(Symbols[Idx - Level_Start[A - 1]], w[A - 2] - w[A - 1], Moment + A, true);
}

// The positions before the window is full, one stretch of equal Top after
// another, each with its levels unrolled; the stretch of Top = Active_Levels - 1
// ends where the full window starts. Run(Top constant, i) handles position i.
template <int32_t Top, class T_Run>
void T_QOR_AWFC::Near_Start(int32_t n, const T_Run& Run) const {
  const int32_t End = std::min(n, Level_Start[Top + 1]);
  for (int32_t i = Level_Start[Top]; i < End; ++i) Run(std::integral_constant<int32_t, Top>{}, i);
  if constexpr (Top + 1 < 12) {
    if (Top + 1 < Active_Levels && End < n) Near_Start<Top + 1>(n, Run);
  }
}

template <int32_t A>
void T_QOR_AWFC::Count_Full_Window(const uint8_t* In, uint8_t* Out, int32_t From, int32_t n) {
  for (int32_t i = From; i < n; ++i) {
    Out[i] = static_cast<uint8_t>(Index_Of(In[i]));
    Count_Changes<A>(In, i);
  }
}

void T_QOR_AWFC::Count_Indices(const uint8_t* In, uint8_t* Out, int32_t n) {
  const int32_t Start = std::min(n, Level_Start[Active_Levels]);
  Near_Start<0>(n, [&](auto Top, int32_t i) {
    Out[i] = static_cast<uint8_t>(Index_Of(In[i]));
    Count_Changes_Near_Start<decltype(Top)::value>(In, i);
  });
  With_Level_Count(Active_Levels, [&](auto A) { Count_Full_Window<decltype(A)::value>(In, Out, Start, n); });
}

// Decodes In[From .. n - 1] into Out once the window is full: looks each
// index up in the list and moves the window over the values restored so far.
template <int32_t A>
void T_QOR_AWFC::Decode_Full_Window(const uint8_t* In, uint8_t* Out, int32_t From, int32_t n) {
  for (int32_t i = From; i < n; ++i) {
    Out[i] = static_cast<uint8_t>(List[In[i]]);
    Update_Weights<A>(Out, i, In[i]);
  }
}

// The number of active levels is fixed for the block, so the steady part runs
// with the levels unrolled: each level's moves get branches of their own,
// whose outcomes the processor learns level by level. A percentage of at most
// 100 leaves levels 0 .. 4 a weight above 0.
void T_QOR_AWFC::Decode_Symbols(const uint8_t* In, uint8_t* Out, int32_t n) {
  const int32_t Start = std::min(n, Level_Start[Active_Levels]);
  Near_Start<0>(n, [&](auto Top, int32_t i) {
    Out[i] = static_cast<uint8_t>(List[In[i]]);
    Update_Weights_Near_Start<decltype(Top)::value>(Out, i, In[i]);
  });
  With_Level_Count(Active_Levels, [&](auto A) { Decode_Full_Window<decltype(A)::value>(In, Out, Start, n); });
}

void T_QOR_AWFC::Encode_Block(T_QOR_Block_Data& Block_Data) {
  if (T_QOR_MCP::Pass_Empty_Block(Block_Data)) return;
  const int32_t n = Block_Data.Input->Length;
  const uint8_t* In = Block_Data.Input->Data;
  Analyse_Block(In, n);
  QOR_MCP->Push_Side_Info(static_cast<uint32_t>(Dominant_Percent), 1);
  Set_Weights(Dominant_Percent);
  Init_Counts();
  Count_Indices(In, Block_Data.Output->Data, n);
  Block_Data.Output->Length = n;
}

void T_QOR_AWFC::Decode_Block(T_QOR_Block_Data& Block_Data) {
  if (T_QOR_MCP::Pass_Empty_Block(Block_Data)) return;
  const int32_t n = Block_Data.Input->Length;
  const uint32_t Percent = QOR_MCP->Pop_Side_Info(1);
  if (Percent > 100) Report_Damaged_Block("AWFC percentage above 100");
  Set_Weights(static_cast<int32_t>(Percent));
  Init_List();
  Decode_Symbols(Block_Data.Input->Data, Block_Data.Output->Data, n);
  Block_Data.Output->Length = n;
}
