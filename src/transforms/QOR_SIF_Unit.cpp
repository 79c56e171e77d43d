#include "transforms/QOR_SIF_Unit.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "pipeline/QOR_MCP_Unit.h"
#include "transforms/QOR_Block_Statistics_Unit.h"

namespace {

// Marks a rank whose occurrences are all placed (and the unused entries above
// the last rank), so that the rank expecting position e is never taken for it.
// The at most 2^23 increments or decrements of one block keep it far below 0.
constexpr int32_t Exhausted = INT32_MIN / 2;

// The two inner loops of the stage, over the 256 per-rank entries of
// Last_Pos / Next_Pos (32-byte aligned). Both work in whole groups of four
// entries: Increment_Range may also raise the entries from Last up to the end
// of Last's group, and Find_First_Equal reads up to the end of Last's group of
// eight, so the callers keep every entry at and above Last unused or Exhausted.
#if defined(__SSE2__)

// Values[t] += 1 for First <= t < Last.
inline void Increment_Range(int32_t* Values, int32_t First, int32_t Last) {
  if (First >= Last) return;
  int32_t t = First & ~3;
  __m128i* Group = reinterpret_cast<__m128i*>(Values + t);
  // In the first group only the lanes from First on: subtracting the all-ones
  // compare mask adds 1 to exactly those.
  const __m128i Lanes = _mm_add_epi32(_mm_set1_epi32(t), _mm_setr_epi32(0, 1, 2, 3));
  const __m128i From_First = _mm_cmpgt_epi32(Lanes, _mm_set1_epi32(First - 1));
  _mm_store_si128(Group, _mm_sub_epi32(_mm_load_si128(Group), From_First));
  const __m128i One = _mm_set1_epi32(1);
  for (t += 4, ++Group; t < Last; t += 4, ++Group) _mm_store_si128(Group, _mm_add_epi32(_mm_load_si128(Group), One));
}

// The smallest k < Last with Values[k] == Target, or Last if there is none.
inline int32_t Find_First_Equal(const int32_t* Values, int32_t Last, int32_t Target) {
  const __m128i Wanted = _mm_set1_epi32(Target);
  for (int32_t k = 0; k < Last; k += 8) {
    const __m128i Low = _mm_cmpeq_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(Values + k)), Wanted);
    const __m128i High = _mm_cmpeq_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(Values + k + 4)), Wanted);
    const int Hits = _mm_movemask_ps(_mm_castsi128_ps(Low)) | (_mm_movemask_ps(_mm_castsi128_ps(High)) << 4);
    if (Hits != 0) {
      const int32_t Found = k + __builtin_ctz(static_cast<unsigned>(Hits));
      return Found < Last ? Found : Last;
    }
  }
  return Last;
}

// Values[t] += 1 for t < Last.
inline void Increment_Below(int32_t* Values, int32_t Last) {
  const __m128i Limit = _mm_set1_epi32(Last);
  const __m128i Four = _mm_set1_epi32(4);
  __m128i Lanes = _mm_setr_epi32(0, 1, 2, 3);
  for (int32_t t = 0; t < Last; t += 4) {
    __m128i* Group = reinterpret_cast<__m128i*>(Values + t);
    // Subtracting the all-ones compare mask adds 1 to the lanes below Last.
    _mm_store_si128(Group, _mm_sub_epi32(_mm_load_si128(Group), _mm_cmpgt_epi32(Limit, Lanes)));
    Lanes = _mm_add_epi32(Lanes, Four);
  }
}

// Values[t] -= 1 for t < Last; then marks in Zeros (one bit per rank) every
// entry of the groups touched that is 0.
inline void Decrement_Below(int32_t* Values, int32_t Last, uint64_t* Zeros) {
  const __m128i Limit = _mm_set1_epi32(Last);
  const __m128i Four = _mm_set1_epi32(4);
  __m128i Lanes = _mm_setr_epi32(0, 1, 2, 3);
  for (int32_t t = 0; t < Last; t += 4) {
    __m128i* Group = reinterpret_cast<__m128i*>(Values + t);
    // Adding the all-ones compare mask subtracts 1 from the lanes below Last.
    const __m128i Value = _mm_add_epi32(_mm_load_si128(Group), _mm_cmpgt_epi32(Limit, Lanes));
    _mm_store_si128(Group, Value);
    const int Zero_Lanes = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(Value, _mm_setzero_si128())));
    Zeros[t >> 6] |= static_cast<uint64_t>(Zero_Lanes) << (t & 63);
    Lanes = _mm_add_epi32(Lanes, Four);
  }
}

#else

inline void Increment_Below(int32_t* Values, int32_t Last) {
  for (int32_t t = 0; t < Last; ++t) Values[t] += 1;
}

inline void Decrement_Below(int32_t* Values, int32_t Last, uint64_t* Zeros) {
  for (int32_t t = 0; t < Last; ++t)
    if (--Values[t] == 0) Zeros[t >> 6] |= uint64_t{1} << (t & 63);
}

inline void Increment_Range(int32_t* Values, int32_t First, int32_t Last) {
  for (int32_t t = First; t < Last; ++t) Values[t] += 1;
}

inline int32_t Find_First_Equal(const int32_t* Values, int32_t Last, int32_t Target) {
  for (int32_t k = 0; k < Last; ++k)
    if (Values[k] == Target) return k;
  return Last;
}

#endif

// The lowest rank marked in Zeros, or None if there is none.
inline int32_t Lowest_Marked(const uint64_t* Zeros, int32_t None) {
  for (int32_t Word = 0; Word < 4; ++Word)
    if (Zeros[Word] != 0) return Word * 64 + __builtin_ctzll(Zeros[Word]);
  return None;
}

// The Next_Pos placement loop. Steps supplies the search and the increment.
template <class Steps>
inline void Place_Next_Pos_Loop(uint8_t* Out, const int32_t* Distance, int32_t Total, int32_t L, int32_t* Next_Pos,
                                int32_t* Start, int32_t* Sorted_Freq, const uint8_t* Order) {
  for (int32_t e = 0; e < Total; ++e) {
    const int32_t k = Steps::Find_First_Equal(Next_Pos, L, e);
    Out[e] = Order[k];
    if (k == L) continue;
    Start[k] += 1;
    Sorted_Freq[k] -= 1;
    // A rank just exhausted reads no distance: its Start now points at the
    // next rank's distances or one past the last, which is not its own.
    Next_Pos[k] = Sorted_Freq[k] > 0 ? e + 1 + Distance[Start[k]] : Exhausted;
    Steps::Increment_Range(Next_Pos, k + 1, L);
  }
}

struct T_Narrow_Steps {
  static int32_t Find_First_Equal(const int32_t* Values, int32_t Last, int32_t Target) {
    return ::Find_First_Equal(Values, Last, Target);
  }
  static void Increment_Range(int32_t* Values, int32_t First, int32_t Last) { ::Increment_Range(Values, First, Last); }
};

void Place_Next_Pos_Narrow(uint8_t* Out, const int32_t* Distance, int32_t Total, int32_t L, int32_t* Next_Pos,
                           int32_t* Start, int32_t* Sorted_Freq, const uint8_t* Order) {
  Place_Next_Pos_Loop<T_Narrow_Steps>(Out, Distance, Total, L, Next_Pos, Start, Sorted_Freq, Order);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define QOR_SIF_WIDE_STEPS 1

// The same two loops eight and sixteen entries a step, for processors that
// have them: the increment may raise entries up to the end of Last's group of
// eight and the search reads up to the end of its group of sixteen, both
// inside the 256 entries, which the caller keeps unused or Exhausted from
// Last on.
struct T_Wide_Steps {
  __attribute__((target("avx2"))) static void Increment_Range(int32_t* Values, int32_t First, int32_t Last) {
    if (First >= Last) return;
    int32_t t = First & ~7;
    __m256i* Group = reinterpret_cast<__m256i*>(Values + t);
    const __m256i Lanes = _mm256_add_epi32(_mm256_set1_epi32(t), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const __m256i From_First = _mm256_cmpgt_epi32(Lanes, _mm256_set1_epi32(First - 1));
    _mm256_store_si256(Group, _mm256_sub_epi32(_mm256_load_si256(Group), From_First));
    const __m256i One = _mm256_set1_epi32(1);
    for (t += 8, ++Group; t < Last; t += 8, ++Group)
      _mm256_store_si256(Group, _mm256_add_epi32(_mm256_load_si256(Group), One));
  }

  __attribute__((target("avx2"))) static int32_t Find_First_Equal(const int32_t* Values, int32_t Last,
                                                                  int32_t Target) {
    const __m256i Wanted = _mm256_set1_epi32(Target);
    for (int32_t k = 0; k < Last; k += 16) {
      const __m256i* Group = reinterpret_cast<const __m256i*>(Values + k);
      const __m256i Low = _mm256_cmpeq_epi32(_mm256_load_si256(Group), Wanted);
      const __m256i High = _mm256_cmpeq_epi32(_mm256_load_si256(Group + 1), Wanted);
      const unsigned Hits = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(Low))) |
                            static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(High))) << 8;
      if (Hits != 0) {
        const int32_t Found = k + __builtin_ctz(Hits);
        return Found < Last ? Found : Last;
      }
    }
    return Last;
  }
};

// flatten: the loop and the steps are compiled here, for the wider registers.
__attribute__((target("avx2"), flatten)) void Place_Next_Pos_Wide(uint8_t* Out, const int32_t* Distance,
                                                                  int32_t Total, int32_t L, int32_t* Next_Pos,
                                                                  int32_t* Start, int32_t* Sorted_Freq,
                                                                  const uint8_t* Order) {
  Place_Next_Pos_Loop<T_Wide_Steps>(Out, Distance, Total, L, Next_Pos, Start, Sorted_Freq, Order);
}

#endif

}  // namespace

void T_QOR_SIF::Count_Frequencies(const uint8_t* Data, int32_t n) {
  Alphabet_Size = Count_Byte_Frequencies(Data, n, Freq);
  Total = n;
}

// Fewer than 10 % of the occurring values dominant (above twice the mean
// frequency): rank by falling frequency; otherwise by rising frequency.
void T_QOR_SIF::Analyse_Block() {
  Distinct = Count_Distinct_Values(Freq, Alphabet_Size);
  Descending = Dominant_Percentage(Freq, Alphabet_Size, Distinct, Total) < 10 ? 1 : 0;
}

// Insertion in rising byte order, each occurring value going in front of the
// occurring values of equal frequency already placed: equal frequencies end up
// in falling byte order. Non-occurring values below Alphabet_Size follow the
// occurring ones in rising order.
void T_QOR_SIF::Sort_Symbols() {
  for (int32_t k = 0; k < 256; ++k) Order[k] = static_cast<uint8_t>(k);
  int32_t m = 0;
  int32_t c = 0;
  for (int32_t v = 0; v < Alphabet_Size; ++v) {
    if (Freq[v] == 0) {
      Order[c++] = static_cast<uint8_t>(v);
      continue;
    }
    int32_t k = m - 1;
    if (Descending == 0) {
      while (k >= 0 && !(Freq[v] > Freq[Order[k]])) --k;
    } else {
      while (k >= 0 && !(Freq[v] < Freq[Order[k]])) --k;
    }
    const int32_t p = k + 1;
    std::memmove(Order + p + 1, Order + p, static_cast<size_t>(c - p));
    Order[p] = static_cast<uint8_t>(v);
    ++m;
    ++c;
  }
  Distinct = m;
}

void T_QOR_SIF::Rank_Symbols() {
  for (int32_t k = 0; k < Alphabet_Size; ++k) Sorted_Freq[k] = Freq[Order[k]];
  for (int32_t k = Alphabet_Size - 1; k >= 0; --k) Rank_Of[Order[k]] = static_cast<uint8_t>(k);
  int32_t Sum = 0;
  for (int32_t k = 0; k < Alphabet_Size; ++k) {
    Start[k] = Sum;
    Sum += Sorted_Freq[k];
  }
}

void T_QOR_SIF::Put_Header() const {
  QOR_MCP->Put_Integer(Alphabet_Size);
  for (int32_t v = 0; v < Alphabet_Size; ++v) QOR_MCP->Put_Integer(Freq[v]);
}

// Distance of an occurrence of rank r: the positions since the previous
// occurrence of r (or the block start) that hold a rank above r. Two
// equivalent bookkeepings share the work differently, and the rank
// frequencies tell which costs less for this block: shifting the last
// positions of the ranks above r, or counting for the ranks below r.
void T_QOR_SIF::Compute_Distances(uint8_t* Ranks, int32_t n, int32_t* Distance) {
  for (int32_t i = 0; i < n; ++i) Ranks[i] = Rank_Of[Ranks[i]];
  int64_t Above_Work = 0;
  int64_t Below_Work = 0;
  for (int32_t r = 0; r < Distinct; ++r) {
    Above_Work += int64_t{Sorted_Freq[r]} * (Distinct - 1 - r);
    Below_Work += int64_t{Sorted_Freq[r]} * r;
  }
  if (Below_Work < Above_Work) {
    Count_Higher_Ranks(Ranks, n, Distance);
  } else {
    Shift_Last_Positions(Ranks, n, Distance);
  }
}

// Last_Pos[r] is the previous position of r shifted on by every lower-rank
// symbol since, so the distance is simply i - Last_Pos[r] - 1. Only the
// occurring ranks, below Distinct, need the shift: the ranks from Distinct to
// Alphabet_Size belong to values absent from the block, whose Last_Pos is
// never read.
void T_QOR_SIF::Shift_Last_Positions(const uint8_t* Ranks, int32_t n, int32_t* Distance) {
  for (int32_t k = 0; k < 256; ++k) Last_Pos[k] = -1;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t r = Ranks[i];
    Distance[Start[r]++] = i - Last_Pos[r] - 1;
    Last_Pos[r] = i;
    Increment_Range(Last_Pos, r + 1, Distinct);
  }
}

// Higher[r] (in the Last_Pos storage) counts the higher-rank symbols since the
// previous occurrence of r: every symbol adds one to the ranks below it.
void T_QOR_SIF::Count_Higher_Ranks(const uint8_t* Ranks, int32_t n, int32_t* Distance) {
  int32_t* Higher = Last_Pos;
  for (int32_t k = 0; k < 256; ++k) Higher[k] = 0;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t r = Ranks[i];
    Distance[Start[r]++] = Higher[r];
    Higher[r] = 0;
    Increment_Below(Higher, r);
  }
}

void T_QOR_SIF::Encode_Block(T_QOR_Block_Data& Block_Data) {
  uint8_t* Data = Block_Data.Input->Data;
  const int32_t n = Block_Data.Input->Length;
  int32_t* Distance = Block_Data.Int_Work;
  Count_Frequencies(Data, n);
  Analyse_Block();
  Sort_Symbols();
  Rank_Symbols();
  Put_Header();
  Compute_Distances(Data, n, Distance);
  // The last rank's distances are all 0: the decoder gives it every position
  // that no lower rank takes.
  const int32_t M = Total - Sorted_Freq[Distinct - 1];
  for (int32_t j = 0; j < M; ++j) QOR_MCP->Put_Integer(Distance[j]);
  Block_Data.Output->Length = 0;
  QOR_MCP->Mark_Segment();
}

void T_QOR_SIF::Read_Header(int32_t Segment_Length) {
  if (Segment_Length < 1) Report_Damaged_Block("SIF segment empty");
  Alphabet_Size = QOR_MCP->Get_Integer();
  if (Alphabet_Size < 1 || Alphabet_Size > 256) Report_Damaged_Block("SIF alphabet size out of range");
  if (1 + Alphabet_Size > Segment_Length) Report_Damaged_Block("SIF segment too short");
  int64_t Sum = 0;
  for (int32_t v = 0; v < Alphabet_Size; ++v) {
    Freq[v] = QOR_MCP->Get_Integer();
    if (Freq[v] < 0) Report_Damaged_Block("SIF frequency out of range");
    Sum += Freq[v];
  }
  if (Sum < 1 || Sum > QOR_Buffer_Capacity) Report_Damaged_Block("SIF block length out of range");
  Total = static_cast<int32_t>(Sum);
}

// The same rule as Get_Integer, without a call per distance.
void T_QOR_SIF::Read_Distances(const T_QOR_Block_Data& Block_Data, int32_t Count, int32_t* Distance) const {
  T_QOR_Code_Streams& Streams = *Block_Data.Code_Streams;
  const uint8_t* Exponents = Streams.Exponents + Streams.Exponent_Count;
  const int32_t* Mantissas = Streams.Mantissas;
  int32_t* Cursors = Streams.Mantissa_Cursors;
  for (int32_t j = 0; j < Count; ++j) {
    const int32_t e = Exponents[j];
    Distance[j] = e == 0 ? 0 : (int32_t{1} << e) + Mantissas[Cursors[e]++] - 1;
  }
  Streams.Exponent_Count += Count;
}

// Position e goes to the smallest rank expecting it, or to the last rank when
// none does. Placing rank k pushes every higher rank's expected position on by
// one, since it was counted in their distances. Two equivalent bookkeepings
// of the expected positions share the work differently: by Next_Pos, placing
// rank k costs the search up to k (eight ranks a step) and the increments
// above k (four a step); by gap (the expected position minus e), only the
// decrements below k (four a step, each also collecting the new zeros) and a
// bit search. The rank frequencies tell which costs less for this block.
void T_QOR_SIF::Place_Symbols(uint8_t* Out, const int32_t* Distance) {
  const int32_t L = Distinct - 1;
  int64_t Next_Pos_Work = int64_t{Sorted_Freq[L]} * L;
  int64_t Gap_Work = int64_t{8} * Total + int64_t{Sorted_Freq[L]} * 3 * L;
  for (int32_t k = 0; k < L; ++k) {
    Next_Pos_Work += int64_t{Sorted_Freq[k]} * (k + 2 * (L - k));
    Gap_Work += int64_t{Sorted_Freq[k]} * 3 * k;
  }
  if (Gap_Work < Next_Pos_Work) {
    Place_By_Gap(Out, Distance);
  } else {
    Place_By_Next_Pos(Out, Distance);
  }
}

void T_QOR_SIF::Place_By_Next_Pos(uint8_t* Out, const int32_t* Distance) {
  int32_t* Next_Pos = Last_Pos;
  const int32_t L = Distinct - 1;
  for (int32_t k = 0; k < L; ++k) Next_Pos[k] = Distance[Start[k]];
  for (int32_t k = L; k < 256; ++k) Next_Pos[k] = Exhausted;
#if defined(QOR_SIF_WIDE_STEPS)
  if (Wide_Steps && __builtin_cpu_supports("avx2")) {
    Place_Next_Pos_Wide(Out, Distance, Total, L, Next_Pos, Start, Sorted_Freq, Order);
    return;
  }
#endif
  Place_Next_Pos_Narrow(Out, Distance, Total, L, Next_Pos, Start, Sorted_Freq, Order);
}

// Gap[k] = Next_Pos[k] - e. Placing rank k at e leaves the gaps above k as they
// were (both sides move on by one) and lowers those below k by one; the ranks
// expecting e are those with gap 0, kept as a bit set so that the smallest is
// found without a search.
void T_QOR_SIF::Place_By_Gap(uint8_t* Out, const int32_t* Distance) {
  int32_t* Gap = Last_Pos;
  const int32_t L = Distinct - 1;
  uint64_t Zeros[4] = {0, 0, 0, 0};
  for (int32_t k = 0; k < L; ++k) {
    Gap[k] = Distance[Start[k]];
    if (Gap[k] == 0) Zeros[k >> 6] |= uint64_t{1} << (k & 63);
  }
  for (int32_t k = L; k < 256; ++k) Gap[k] = Exhausted;
  for (int32_t e = 0; e < Total; ++e) {
    const int32_t k = Lowest_Marked(Zeros, L);
    Out[e] = Order[k];
    Decrement_Below(Gap, k, Zeros);
    if (k == L) continue;
    Zeros[k >> 6] &= ~(uint64_t{1} << (k & 63));
    Start[k] += 1;
    Sorted_Freq[k] -= 1;
    Gap[k] = Sorted_Freq[k] > 0 ? Distance[Start[k]] : Exhausted;
    if (Gap[k] == 0) Zeros[k >> 6] |= uint64_t{1} << (k & 63);
  }
}

void T_QOR_SIF::Decode_Block(T_QOR_Block_Data& Block_Data) {
  T_QOR_Code_Streams& Streams = *Block_Data.Code_Streams;
  QOR_MCP->Rewind_Segments();
  const int32_t Segment_Length = Streams.Segment_Lengths[Streams.Segment_Count];
  Read_Header(Segment_Length);
  Analyse_Block();
  Sort_Symbols();
  Rank_Symbols();
  const int32_t M = Total - Sorted_Freq[Distinct - 1];
  if (int64_t{1} + Alphabet_Size + M > Segment_Length) Report_Damaged_Block("SIF segment too short");
  int32_t* Distance = Block_Data.Int_Work;
  Read_Distances(Block_Data, M, Distance);
  Place_Symbols(Block_Data.Output->Data, Distance);
  Block_Data.Output->Length = Total;
}
