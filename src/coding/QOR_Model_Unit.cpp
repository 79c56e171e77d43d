#include "coding/QOR_Model_Unit.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pipeline/QOR_Block_Unit.h"

// ---------------------------------------------------------------- T_QOR_Model

T_QOR_Model::T_QOR_Model(int32_t N, int32_t Increment_) : Increment(Increment_), Symbol_Count(N) {}

void T_QOR_Model::Reset_Maps() {
  for (int32_t s = 0; s < Symbol_Count; ++s) {
    Char_To_Index[s] = s + 1;
    Index_To_Char[s + 1] = s;
  }
}

void T_QOR_Model::Rebuild_Cum_Freq() {
  int32_t Sum = 0;
  for (int32_t j = Symbol_Count; j >= 0; --j) {
    Cum_Freq[j] = Sum;
    Sum += Freq[j];
  }
}

void T_QOR_Model::Reset() {
  Reset_Maps();
  Freq[0] = 0;
  for (int32_t i = 1; i <= Symbol_Count; ++i) Freq[i] = (Symbol_Count + 1 - i) * Increment;
  Rebuild_Cum_Freq();
}

void T_QOR_Model::Update(int32_t x) {
  // Move to the head of the run of equal frequencies. The sentinel Freq[0] = 0
  // ends the search for every model that codes; the bound keeps the N = 1,
  // Increment 0 models (whose Freq[1] is 0 too) from walking past it. Both
  // tests in one branch, which nearly always fails: tested first on its own,
  // i > 1 is as hard to predict as the symbol for the encoder.
  int32_t i = x;
  while ((i > 1) & (Freq[i - 1] == Freq[i])) --i;
  if (i < x) {
    const int32_t Moved_Down = Index_To_Char[i];
    const int32_t Moved_Up = Index_To_Char[x];
    Index_To_Char[i] = Moved_Up;
    Index_To_Char[x] = Moved_Down;
    Char_To_Index[Moved_Up] = i;
    Char_To_Index[Moved_Down] = x;
  }
  Freq[i] += Increment;
  // Cum_Freq[0..i-1] all grow by the increment.
#if defined(__SSE2__)
  // Whole groups of four, then one group whose lanes add the increment only
  // below i. A short alphabet takes both its groups that way, with no loop:
  // the encoder knows i only from its symbol, and a loop of i steps ended in
  // a mispredicted exit at most decisions (the decoder's search has already
  // taught the predictor its i).
  const __m128i Step = _mm_set1_epi32(Increment);
  const __m128i Bound = _mm_set1_epi32(i);
  const auto Add_Below_I = [&](int32_t k) {
    __m128i* Entries = reinterpret_cast<__m128i*>(Cum_Freq + k);
    const __m128i Lanes = _mm_set_epi32(k + 3, k + 2, k + 1, k);
    _mm_storeu_si128(Entries,
                     _mm_add_epi32(_mm_loadu_si128(Entries), _mm_and_si128(_mm_cmplt_epi32(Lanes, Bound), Step)));
  };
  if (Symbol_Count <= 8) {
    Add_Below_I(0);
    Add_Below_I(4);
  } else {
    int32_t k = 0;
    for (; k + 4 <= i; k += 4) {
      __m128i* Entries = reinterpret_cast<__m128i*>(Cum_Freq + k);
      _mm_storeu_si128(Entries, _mm_add_epi32(_mm_loadu_si128(Entries), Step));
    }
    Add_Below_I(k);
  }
#else
  for (int32_t k = 0; k < i; ++k) Cum_Freq[k] += Increment;
#endif
  if (Cum_Freq[0] >= QOR_Halving_Limit) {
    // Rounding up keeps every symbol codable.
    for (int32_t j = Symbol_Count; j >= 0; --j) Freq[j] = (Freq[j] + 1) >> 1;
    Rebuild_Cum_Freq();
  }
}

// -------------------------------------------------------- T_QOR_Context_Model

namespace {

int32_t Context_Mask(int32_t Bits) {
  int32_t Mask = 1;
  for (int32_t k = 1; k < Bits; ++k) Mask = 2 * Mask + 1;
  return Mask;
}

// Entries of a row as a power of two: the sentinel and N symbols, padded to at
// least 8 so that rows stay 16-byte aligned.
constexpr int32_t Row_Shift_For(int32_t N) {
  int32_t Shift = 3;
  while ((1 << Shift) < N + 1) ++Shift;
  return Shift;
}

}  // namespace

T_QOR_Context_Model::T_QOR_Context_Model(int32_t N, int32_t Increment_0_, int32_t Increment_1_, int32_t Increment_2_,
                                         int32_t Context_Bits_, int32_t Context_Order_)
    : T_QOR_Model(N, Increment_0_),
      Context_Bits(Context_Bits_),
      Context_Order(Context_Order_),
      Mask_1(Context_Mask(Context_Bits_)),
      Mask_2(Mask_1),
      Increment_0(Increment_0_),
      Increment_1(Increment_1_),
      Increment_2(Increment_2_),
      Row_Shift(Row_Shift_For(N)),
      Row_Size(1 << Row_Shift) {
  for (int32_t k = 1; k < Context_Order; ++k) Mask_2 = (Mask_2 << Context_Bits) | Mask_1;
  const int32_t Rows_1 = Mask_1 + 1, Rows_2 = Mask_2 + 1;
  // Each 16-bit table holds its rows and one fresh row after them.
  const size_t Order_0_Bytes = 2 * sizeof(int32_t) * static_cast<size_t>(Row_Size);
  const size_t Row_Bytes = sizeof(uint16_t) * static_cast<size_t>(Row_Size);
  // Then the 16-bit order-0 mirror and the mixing floor, one row each, and
  // one 8-entry group of zeros: Mix reads each row from index 1 in whole
  // groups, so its last group may take in index Row_Size, the first entry of
  // whatever follows the row.
  Table_Block.reset(new uint8_t[Order_0_Bytes + 2 * Row_Bytes * static_cast<size_t>(Rows_1 + 1 + Rows_2 + 1) +
                                2 * Row_Bytes + 8 * sizeof(uint16_t)]);
  uint8_t* Table = Table_Block.get();
  Freq_0 = reinterpret_cast<int32_t*>(Table);
  Cum_0 = Freq_0 + Row_Size;
  Freq_1 = reinterpret_cast<uint16_t*>(Cum_0 + Row_Size);
  Cum_1 = Freq_1 + (Rows_1 + 1) * Row_Size;
  Freq_2 = Cum_1 + (Rows_1 + 1) * Row_Size;
  Cum_2 = Freq_2 + (Rows_2 + 1) * Row_Size;
  Freq_0_16 = Cum_2 + (Rows_2 + 1) * Row_Size;
  Mix_Floor = Freq_0_16 + Row_Size;
  for (int32_t j = 0; j < Row_Size + 8; ++j) Mix_Floor[j] = (j >= 1 && j <= N) ? 1 : 0;
  Row_Stamps.reset(new uint32_t[Rows_1 + Rows_2]());
  Stamps_1 = Row_Stamps.get();
  Stamps_2 = Stamps_1 + Rows_1;
}

// The fresh row of a table sits after its last context row; its padding is 0.
void T_QOR_Context_Model::Set_Fresh_Row(uint16_t* Freq_Rows, uint16_t* Cum_Rows, int32_t Rows, int32_t Step,
                                        bool Ramp) const {
  const int32_t N = Symbol_Count;
  uint16_t* F = Freq_Rows + Rows * Row_Size;
  uint16_t* C = Cum_Rows + Rows * Row_Size;
  std::fill(F, F + Row_Size, 0);
  std::fill(C, C + Row_Size, 0);
  for (int32_t j = 1; j <= N; ++j) F[j] = static_cast<uint16_t>(Ramp ? (N + 1 - j) * Step : Step);
  uint16_t Sum = 0;
  for (int32_t j = N; j >= 0; --j) {
    C[j] = Sum;
    Sum = static_cast<uint16_t>(Sum + F[j]);
  }
}

void T_QOR_Context_Model::Copy_Fresh_Row(uint16_t* Freq_Rows, uint16_t* Cum_Rows, int32_t Rows, size_t Row,
                                         uint32_t& Stamp) const {
  const size_t Fresh = static_cast<size_t>(Rows) * Row_Size;
  std::copy(Freq_Rows + Fresh, Freq_Rows + Fresh + Row_Size, Freq_Rows + Row);
  std::copy(Cum_Rows + Fresh, Cum_Rows + Fresh + Row_Size, Cum_Rows + Row);
  Stamp = Generation;
}

// A wrapped generation could meet a row last used 2^32 blocks ago: all rows
// are marked stale again instead.
void T_QOR_Context_Model::Start_Generation() {
  if (++Generation == 0) {
    std::fill(Row_Stamps.get(), Row_Stamps.get() + Mask_1 + 1 + Mask_2 + 1, 0u);
    Generation = 1;
  }
}

void T_QOR_Context_Model::Reset() {
  SIF_Weights = SIF_Flag;
  const bool Ramp = Ramp_Flag;
  const int32_t N = Symbol_Count;

  Reset_Maps();
  Freq[0] = 0;
  std::fill(Freq_0, Freq_0 + Row_Size, 0);
  std::fill(Cum_0, Cum_0 + Row_Size, 0);
  for (int32_t j = 1; j <= N; ++j) Freq_0[j] = Ramp ? (N + 1 - j) * Increment_0 : Increment_0;
  for (int32_t j = 0; j < Row_Size; ++j) Freq_0_16[j] = static_cast<uint16_t>(Freq_0[j]);
  int32_t Sum = 0;
  for (int32_t j = N; j >= 0; --j) {
    Cum_0[j] = Sum;
    Sum += Freq_0[j];
  }
  Set_Fresh_Row(Freq_1, Cum_1, Mask_1 + 1, Increment_1, Ramp);
  Set_Fresh_Row(Freq_2, Cum_2, Mask_2 + 1, Increment_2, Ramp);
  Start_Generation();
  Cum_Freq[N] = 0;
  Enter_History(0);
}

const uint16_t* T_QOR_Context_Model::Freq_Row_1(int32_t Context) {
  return Freq_1 + Prepare_Row(Freq_1, Cum_1, Stamps_1, Mask_1 + 1, Context);
}

const uint16_t* T_QOR_Context_Model::Cum_Row_1(int32_t Context) {
  const size_t Row = Prepare_Row(Freq_1, Cum_1, Stamps_1, Mask_1 + 1, Context);
  Rebuild_Cum_Row(Freq_1 + Row, Cum_1 + Row);
  return Cum_1 + Row;
}

const uint16_t* T_QOR_Context_Model::Freq_Row_2(int32_t Context) {
  return Freq_2 + Prepare_Row(Freq_2, Cum_2, Stamps_2, Mask_2 + 1, Context);
}

const uint16_t* T_QOR_Context_Model::Cum_Row_2(int32_t Context) {
  const size_t Row = Prepare_Row(Freq_2, Cum_2, Stamps_2, Mask_2 + 1, Context);
  Rebuild_Cum_Row(Freq_2 + Row, Cum_2 + Row);
  return Cum_2 + Row;
}

// The running sums in 16 bits, as Update would have left them had it kept
// them all: its increments wrap the same way, so the total comes out equal to
// the one Update keeps.
void T_QOR_Context_Model::Rebuild_Cum_Row(const uint16_t* F, uint16_t* C) const {
  uint16_t Sum = 0;
  for (int32_t j = Symbol_Count; j >= 0; --j) {
    C[j] = Sum;
    Sum = static_cast<uint16_t>(Sum + F[j]);
  }
}

// Mixed frequency of index i: floor((F1 + F0 + 2 F2) / 4) + 1, or with SIF
// weights floor((F1 / 2 + F0 + F2) / 4) + 1 (F1 / 2 rounded down). The sums
// can pass 2^16, but halving averages (a & b) + ((a ^ b) >> 1) stay within 16
// bits and give the same floors: floor((a + b + 2c) / 4) is the floored
// average of floor((a + b) / 2) and c, and floor((a + b + c) / 4) that of
// floor((a + ((b ^ c) & 1)) / 2) and floor((b + c) / 2).
#if defined(__SSE2__)
namespace {
inline __m128i Floor_Average(__m128i a, __m128i b) {
  return _mm_add_epi16(_mm_and_si128(a, b), _mm_srli_epi16(_mm_xor_si128(a, b), 1));
}

// The mixed frequencies of one group of eight indices. Lanes past N weigh 0:
// their floor is 0, and it masks what was read there (the entry after a row
// belongs to the next one, which may not have been prepared yet).
inline __m128i Mixed_Group(const uint16_t* F1, const uint16_t* F0, const uint16_t* F2, const uint16_t* Floor,
                           bool SIF) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(F1));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(F0));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(F2));
  __m128i m;
  if (SIF) {
    m = Floor_Average(Floor_Average(_mm_srli_epi16(a, 1), _mm_and_si128(_mm_xor_si128(b, c), _mm_set1_epi16(1))),
                      Floor_Average(b, c));
  } else {
    m = Floor_Average(Floor_Average(a, b), c);
  }
  const __m128i Lane_Floor = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Floor));
  return _mm_add_epi16(_mm_and_si128(m, _mm_sub_epi16(_mm_setzero_si128(), Lane_Floor)), Lane_Floor);
}

// Lane l gets the sum of lanes l..7.
inline __m128i Suffix_Sums(__m128i m) {
  __m128i s = _mm_add_epi16(m, _mm_srli_si128(m, 2));
  s = _mm_add_epi16(s, _mm_srli_si128(s, 4));
  return _mm_add_epi16(s, _mm_srli_si128(s, 8));
}

inline void Store_Cum_Group(int32_t* Cum, __m128i s) {
  const __m128i Zero = _mm_setzero_si128();
  _mm_storeu_si128(reinterpret_cast<__m128i*>(Cum), _mm_unpacklo_epi16(s, Zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(Cum + 4), _mm_unpackhi_epi16(s, Zero));
}
}  // namespace

// Eight indices at a time from the top group down, lane l of group g holding
// index g + l + 1: the mixed frequencies, and their sums from each index up to
// N (within the group by shifted adds, plus the sum of all groups above),
// which is Cum_Freq of the index below. Cum_Freq[N] is 0 from Reset whether or
// not a group reaches it; every partial sum is at most the total, below 2^16.
// So an alphabet of 8 takes one group, of 20 three; most models have one
// group, which needs no sum from above.
inline void T_QOR_Context_Model::Mix_Rows(const uint16_t* Row_1, const uint16_t* Row_2) {
  const uint16_t* F1 = Row_1 + 1;
  const uint16_t* F2 = Row_2 + 1;
  const uint16_t* F0 = Freq_0_16 + 1;
  const uint16_t* Floor = Mix_Floor + 1;
  int32_t* const Cum = Cum_Freq;
  const bool SIF = SIF_Weights;
  if (Symbol_Count <= 8) {
    Store_Cum_Group(Cum, Suffix_Sums(Mixed_Group(F1, F0, F2, Floor, SIF)));
    return;
  }
  __m128i Above = _mm_setzero_si128();
  for (int32_t g = (Symbol_Count - 1) & ~7; g >= 0; g -= 8) {
    const __m128i s = _mm_add_epi16(Suffix_Sums(Mixed_Group(F1 + g, F0 + g, F2 + g, Floor + g, SIF)), Above);
    Above = _mm_shuffle_epi32(_mm_shufflelo_epi16(s, 0), 0);
    Store_Cum_Group(Cum + g, s);
  }
}
#else
inline void T_QOR_Context_Model::Mix_Rows(const uint16_t* F1, const uint16_t* F2) {
  const uint16_t* F0 = Freq_0_16;
  int32_t Sum = 0;
  if (SIF_Weights) {
    for (int32_t i = Symbol_Count; i >= 1; --i) {
      Cum_Freq[i] = Sum;
      Sum += (((F1[i] >> 1) + F0[i] + F2[i]) >> 2) + 1;
    }
  } else {
    for (int32_t i = Symbol_Count; i >= 1; --i) {
      Cum_Freq[i] = Sum;
      Sum += ((F1[i] + F0[i] + 2 * F2[i]) >> 2) + 1;
    }
  }
  Cum_Freq[0] = Sum;
}
#endif

// The new rows go to Mix from registers: reading the contexts back from the
// members would put a store and a reload on the path from the decoded symbol
// to the next decision. Always inlined into Update, where the compiler
// otherwise makes it a call of its own: 2 to 5 % of a context model's
// decision time.
[[gnu::always_inline]] inline void T_QOR_Context_Model::Enter_History(uint32_t H) {
  const int32_t New_1 = static_cast<int32_t>(H) & Mask_1;
  const int32_t New_2 = static_cast<int32_t>(H) & Mask_2;
  History = static_cast<int32_t>(H);
  Context_1 = New_1;
  Context_2 = New_2;
  const size_t Row_1 = Prepare_Row(Freq_1, Cum_1, Stamps_1, Mask_1 + 1, New_1);
  const size_t Row_2 = Prepare_Row(Freq_2, Cum_2, Stamps_2, Mask_2 + 1, New_2);
  Mix_Rows(Freq_1 + Row_1, Freq_2 + Row_2);
}

// The three tables are independent; each halves on its own total (order 0
// as signed 32 bits, the rows as 16 bits).
void T_QOR_Context_Model::Update(int32_t x) {
  const int32_t N = Symbol_Count;
  uint16_t* F1 = Freq_1 + (static_cast<size_t>(Context_1) << Row_Shift);
  uint16_t* C1 = Cum_1 + (static_cast<size_t>(Context_1) << Row_Shift);
  uint16_t* F2 = Freq_2 + (static_cast<size_t>(Context_2) << Row_Shift);
  uint16_t* C2 = Cum_2 + (static_cast<size_t>(Context_2) << Row_Shift);
  const uint16_t I1 = static_cast<uint16_t>(Increment_1);
  const uint16_t I2 = static_cast<uint16_t>(Increment_2);
  Freq_0[x] += Increment_0;
  Cum_0[0] += Increment_0;
  C1[0] = static_cast<uint16_t>(C1[0] + I1);
  C2[0] = static_cast<uint16_t>(C2[0] + I2);
#if defined(__SSE2__)
  // Mix reads these rows as whole 8-entry groups from index 1. Rewriting the
  // group that holds x whole, rather than storing 16 bits into it, lets the
  // next Mix's wide loads be served straight from these stores. The other
  // lanes go back unchanged; the last may be the first entry after the row,
  // which Mix reads as well.
  const int32_t Group = (x - 1) & ~7;
  const __m128i Lane =
      _mm_cmpeq_epi16(_mm_set_epi16(7, 6, 5, 4, 3, 2, 1, 0), _mm_set1_epi16(static_cast<int16_t>(x - 1 - Group)));
  __m128i* G0 = reinterpret_cast<__m128i*>(Freq_0_16 + 1 + Group);
  __m128i* G1 = reinterpret_cast<__m128i*>(F1 + 1 + Group);
  __m128i* G2 = reinterpret_cast<__m128i*>(F2 + 1 + Group);
  _mm_storeu_si128(
      G0, _mm_add_epi16(_mm_loadu_si128(G0), _mm_and_si128(Lane, _mm_set1_epi16(static_cast<int16_t>(Increment_0)))));
  _mm_storeu_si128(G1,
                   _mm_add_epi16(_mm_loadu_si128(G1), _mm_and_si128(Lane, _mm_set1_epi16(static_cast<int16_t>(I1)))));
  _mm_storeu_si128(G2,
                   _mm_add_epi16(_mm_loadu_si128(G2), _mm_and_si128(Lane, _mm_set1_epi16(static_cast<int16_t>(I2)))));
#else
  Freq_0_16[x] = static_cast<uint16_t>(Freq_0[x]);
  F1[x] = static_cast<uint16_t>(F1[x] + I1);
  F2[x] = static_cast<uint16_t>(F2[x] + I2);
#endif
  if (Cum_0[0] >= QOR_Halving_Limit) Halve_Order_0();
  if (C1[0] >= QOR_Halving_Limit) Halve_Row(F1, C1, N);
  if (C2[0] >= QOR_Halving_Limit) Halve_Row(F2, C2, N);
  Enter_History(Next_History(x));
}

void T_QOR_Context_Model::Halve_Row(uint16_t* F, uint16_t* C, int32_t N) {
  uint16_t Sum = 0;
  for (int32_t j = N; j >= 0; --j) {
    F[j] = static_cast<uint16_t>((F[j] + 1) >> 1);
    Sum = static_cast<uint16_t>(Sum + F[j]);
  }
  C[0] = Sum;
}

void T_QOR_Context_Model::Halve_Order_0() {
  int32_t Sum = 0;
  for (int32_t j = Symbol_Count; j >= 0; --j) {
    Freq_0[j] = (Freq_0[j] + 1) >> 1;
    Freq_0_16[j] = static_cast<uint16_t>(Freq_0[j]);
    Sum += Freq_0[j];
  }
  Cum_0[0] = Sum;
}

T_QOR_Context_Level_0_Model::T_QOR_Context_Level_0_Model(int32_t N, int32_t Increment_0_, int32_t Increment_1_,
                                                         int32_t Increment_2_, int32_t Context_Bits_,
                                                         int32_t Context_Order_)
    : T_QOR_Context_Model(N, Increment_0_, Increment_1_, Increment_2_, Context_Bits_, Context_Order_) {
  Merge_Zero_And_One = true;
}

// --------------------------------------------------------- T_QOR_Symbol_Model

T_QOR_Symbol_Model::T_QOR_Symbol_Model(int32_t A) : T_QOR_Symbol_Model(A, false) {}

T_QOR_Symbol_Model::T_QOR_Symbol_Model(int32_t A, bool Context_Models) : Alphabet_Size(A) {
  Group_Count = 8;
  for (int32_t g = 1; g <= 8; ++g) {
    if (QOR_Group_Bound[g] >= A) {
      Group_Count = g;
      break;
    }
  }
  const int32_t G = Group_Count;
  if (Context_Models) {
    Head_Model = std::make_unique<T_QOR_Context_Level_0_Model>(4, 900, 400, 500, 2, 5);
    Group_Model = std::make_unique<T_QOR_Context_Model>(G, 1000, 500, 150, 3, 2);
  } else {
    Head_Model = std::make_unique<T_QOR_Model>(4, 450);
    Group_Model = std::make_unique<T_QOR_Model>(G, 333);
  }
  for (int32_t g = 0; g < G; ++g) {
    const int32_t Size = (g == G - 1 ? A : QOR_Group_Bound[g + 1]) - QOR_Group_Bound[g];
    const int32_t Step = QOR_Group_Increment[g];
    if (g >= 2) {
      Group_Models[g] = std::make_unique<T_QOR_Model>(Size, Step);
    } else if (Context_Models) {
      Group_Models[g] = std::make_unique<T_QOR_Context_Model>(Size, Step, Step, Step / 2, 1, 5);
    } else {
      Group_Models[g] = std::make_unique<T_QOR_Model>(Size, Step / 2);
    }
  }
  for (int32_t g = 0; g < 8; ++g) {
    for (int32_t k = QOR_Group_Bound[g]; k < QOR_Group_Bound[g + 1]; ++k) Group_Of[k] = g;
  }
}

namespace {

// Composite models hold their context models among plain ones.
void Set_Flags_If_Context(T_QOR_Model* Model, bool Fast_Mode, bool SIF_Path) {
  if (auto* Context = dynamic_cast<T_QOR_Context_Model*>(Model)) Context->Set_Block_Flags(Fast_Mode, SIF_Path);
}

}  // namespace

void T_QOR_Symbol_Model::Set_Block_Flags(bool Fast_Mode, bool SIF_Path) {
  Set_Flags_If_Context(Head_Model.get(), Fast_Mode, SIF_Path);
  Set_Flags_If_Context(Group_Model.get(), Fast_Mode, SIF_Path);
  for (int32_t g = 0; g < Group_Count; ++g) Set_Flags_If_Context(Group_Models[g].get(), Fast_Mode, SIF_Path);
}

void T_QOR_Symbol_Model::Reset() {
  Head_Model->Reset();
  Group_Model->Reset();
  for (int32_t g = 0; g < Group_Count; ++g) Group_Models[g]->Reset();
}

// ------------------------------------------------------- T_QOR_Exponent_Model

T_QOR_Exponent_Model::T_QOR_Exponent_Model()
    : Head_Model(std::make_unique<T_QOR_Context_Model>(5, 1400, 400, 200, 3, 3)) {
  for (int32_t g = 0; g < 4; ++g) Group_Models[g] = std::make_unique<T_QOR_Model>(1, 0);
  Group_Models[4] = std::make_unique<T_QOR_Context_Model>(20, 1300, 300, 80, 5, 2);
  for (int32_t g = 0; g < 5; ++g) {
    for (int32_t e = QOR_Exponent_Bound[g]; e < QOR_Exponent_Bound[g + 1]; ++e) Group_Of[e] = g;
  }
}

void T_QOR_Exponent_Model::Set_Block_Flags(bool Fast_Mode, bool SIF_Path) {
  Head_Model->Set_Block_Flags(Fast_Mode, SIF_Path);
  for (auto& Model : Group_Models) Set_Flags_If_Context(Model.get(), Fast_Mode, SIF_Path);
}

void T_QOR_Exponent_Model::Reset() {
  Head_Model->Reset();
  for (auto& Model : Group_Models) Model->Reset();
}

// ------------------------------------------------------------ mantissa models

T_QOR_Mantissa_Model::T_QOR_Mantissa_Model() : Model(std::make_unique<T_QOR_Model>(2, 1)) {}

void T_QOR_Mantissa_Model::Set_Block_Flags(bool Fast_Mode, bool SIF_Path) {
  Set_Flags_If_Context(Model.get(), Fast_Mode, SIF_Path);
}

T_QOR_Mantissa_Model_1::T_QOR_Mantissa_Model_1() : T_QOR_Mantissa_Model(std::make_unique<T_QOR_Model>(2, 100)) {}

T_QOR_Mantissa_Model_2::T_QOR_Mantissa_Model_2() : T_QOR_Mantissa_Model(std::make_unique<T_QOR_Model>(4, 40)) {}

T_QOR_Mantissa_Model_3::T_QOR_Mantissa_Model_3()
    : T_QOR_Mantissa_Model(std::make_unique<T_QOR_Context_Model>(QOR_Mantissa_Top_Symbols, 40, 20, 10, 3, 3)) {}
