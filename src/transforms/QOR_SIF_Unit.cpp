#include "transforms/QOR_SIF_Unit.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "pipeline/QOR_MCP_Unit.h"
#include "transforms/QOR_Block_Statistics_Unit.h"

namespace {

// Both directions see the block rank by rank, lowest first, through a bitmap
// of the positions that no lower rank holds ("free"). A rank's distances
// count the higher-rank symbols between its occurrences, which are exactly
// the free positions between them once the rank's own positions are taken
// out of the free ones in turn. One pass per rank over the bitmap, 64
// positions a word, replaces a step per symbol over every rank.

// Bit counting on any processor.
struct T_Portable_Bits {
  static int Count(uint64_t Word) { return __builtin_popcountll(Word); }
  // Index of the set bit of Word with Skip set bits below it; Skip < Count(Word).
  static int Select(uint64_t Word, int Skip) {
    int Base = 0;
    for (int Half = 32; Half >= 8; Half >>= 1) {
      const uint64_t Low = Word & ((uint64_t{1} << Half) - 1);
      const int Below = Count(Low);
      if (Skip >= Below) {
        Skip -= Below;
        Word >>= Half;
        Base += Half;
      } else {
        Word = Low;
      }
    }
    for (; Skip > 0; --Skip) Word &= Word - 1;
    return Base + __builtin_ctzll(Word);
  }
};

// Sets the bits of positions 0 .. Total - 1; returns the word count.
int64_t Free_All(uint64_t* Free, int32_t Total) {
  const int64_t Words = (int64_t{Total} + 63) / 64;
  std::fill(Free, Free + Words, ~uint64_t{0});
  if (Total % 64 != 0) Free[Words - 1] = (uint64_t{1} << (Total % 64)) - 1;
  return Words;
}

// Encoding one rank: Slots holds its Count positions, rising, and gets their
// distances: the free positions between each and the one before (or the
// block start). The positions are then taken out of the free ones.
template <class T_Bits>
inline void Measure_Rank(int32_t* Slots, int32_t Count, uint64_t* Free) {
  int64_t From = 0;
  for (int32_t i = 0; i < Count; ++i) {
    const int64_t Position = Slots[i];
    int64_t w = From >> 6;
    const int64_t Last_Word = Position >> 6;
    uint64_t Word = Free[w] & (~uint64_t{0} << (From & 63));
    int64_t Between = 0;
    for (; w < Last_Word; Word = Free[++w]) Between += T_Bits::Count(Word);
    const uint64_t Bit = uint64_t{1} << (Position & 63);
    Between += T_Bits::Count(Word & (Bit - 1));
    Slots[i] = static_cast<int32_t>(Between);
    Free[Last_Word] &= ~Bit;
    From = Position + 1;
  }
}

// The same for a rank with about one occurrence per word or fewer, where
// Measure_Rank would end a loop of a few words at each occurrence, at a
// point the data decides. Before[w] gets the free positions in the words
// below w, once; a distance is then the difference of two such counts, less
// one. The counts are of the positions free when the rank starts, its own
// included, so each word's bits are read as they were then and its
// positions are taken out of it when the next word is reached. Words: the
// words up to the rank's last occurrence.
template <class T_Bits>
inline void Measure_Sparse_Rank(int32_t* Slots, int32_t Count, int64_t Words, uint64_t* Free, int32_t* Before) {
  int32_t Sum = 0;
  for (int64_t w = 0; w < Words; ++w) {
    Before[w] = Sum;
    Sum += T_Bits::Count(Free[w]);
  }
  int64_t Current = Slots[0] >> 6;
  uint64_t Word = Free[Current];
  uint64_t Taken = 0;
  int32_t Previous = -1;
  for (int32_t i = 0; i < Count; ++i) {
    const int64_t Position = Slots[i];
    const int64_t w = Position >> 6;
    if (w != Current) {
      Free[Current] = Word & ~Taken;
      Current = w;
      Word = Free[w];
      Taken = 0;
    }
    const uint64_t Bit = uint64_t{1} << (Position & 63);
    const int32_t Below = Before[w] + T_Bits::Count(Word & (Bit - 1));
    Slots[i] = Below - Previous - 1;
    Previous = Below;
    Taken |= Bit;
  }
  Free[Current] = Word & ~Taken;
}

// Free's work array holds the counts below each word after the bitmap: 12
// bytes per 64 positions, far less than the array's 4 bytes per position.
template <class T_Bits>
inline void Measure_Ranks_Loop(int32_t* Slots, int32_t Total, int32_t L, const int32_t* Start,
                               const int32_t* Sorted_Freq, uint64_t* Free) {
  const int64_t Words = Free_All(Free, Total);
  int32_t* const Before = reinterpret_cast<int32_t*>(Free + Words);
  for (int32_t k = 0; k < L; ++k) {
    int32_t* Rank_Slots = Slots + Start[k];
    const int32_t Count = Sorted_Freq[k];
    if (Count > 0) {
      // Up to a word per occurrence, and not so few that the counts below
      // every word would cost more than the steps they spare.
      const int64_t Span = (int64_t{Rank_Slots[Count - 1]} >> 6) + 1;
      if (Count <= Span && 16 * int64_t{Count} >= Span) {
        Measure_Sparse_Rank<T_Bits>(Rank_Slots, Count, Span, Free, Before);
        continue;
      }
    }
    Measure_Rank<T_Bits>(Rank_Slots, Count, Free);
  }
}

// The distances straight from the integer stream, one per call, by the rule
// of Get_Integer but without a branch on the exponent: exponent 0 reads a
// mantissa it throws away and leaves its own cursor, fixed at 0, in place.
// Damaged mantissas may give any value; unsigned arithmetic keeps that
// defined, and the placement rejects a distance that runs past the block.
class T_Distance_Reader {
 public:
  explicit T_Distance_Reader(const T_QOR_Code_Streams& Streams)
      : Exponents(Streams.Exponents + Streams.Exponent_Count), Mantissas(Streams.Mantissas) {
    std::memcpy(Cursors, Streams.Mantissa_Cursors, sizeof Cursors);
    Cursors[0] = 0;
  }

  uint32_t Next() {
    const uint32_t e = *Exponents++;
    const uint32_t Has_Mantissa = e != 0;
    const uint32_t Mantissa = static_cast<uint32_t>(Mantissas[Cursors[e]]) & (0u - Has_Mantissa);
    Cursors[e] += static_cast<int32_t>(Has_Mantissa);
    return (uint32_t{1} << e) - 1 + Mantissa;
  }

  // Leaves the stream after the distances read.
  void Finish(T_QOR_Code_Streams& Streams) const {
    Streams.Exponent_Count = static_cast<int32_t>(Exponents - Streams.Exponents);
    std::memcpy(Streams.Mantissa_Cursors + 1, Cursors + 1, sizeof Cursors - sizeof Cursors[0]);
  }

 private:
  const uint8_t* Exponents;
  const int32_t* Mantissas;
  int32_t Cursors[QOR_Exponent_Slots];
};

// Decoding one rank: each occurrence passes over as many free positions as
// its distance says and takes the next free one. Free[First_Word] is the
// first word with a free position. Within a word, the positions this rank
// takes are among those free when it got there, so an occurrence is simply
// the Index-th of those, Index growing by distance + 1 per occurrence: the
// chain from one occurrence to the next is an addition, and the bit search
// is off it. Returns false when a distance runs past the block.
template <class T_Bits>
inline bool Place_Rank(uint8_t* Out, uint8_t Symbol, T_Distance_Reader& Distances, int32_t Count, uint64_t* Free,
                       int64_t First_Word, int64_t Words) {
  int64_t w = First_Word;
  uint64_t Word = Free[w];
  uint64_t Taken = 0;
  uint64_t Here = static_cast<uint64_t>(T_Bits::Count(Word));
  // Index among the set bits of Word of the position the next distance counts from.
  uint64_t From = 0;
  for (int32_t i = 0; i < Count; ++i) {
    uint64_t Index = From + Distances.Next();
    if (Index >= Here) {
      Free[w] = Word & ~Taken;
      Taken = 0;
      do {
        Index -= Here;
        if (++w == Words) return false;
        Word = Free[w];
        Here = static_cast<uint64_t>(T_Bits::Count(Word));
      } while (Index >= Here);
    }
    const int Bit = T_Bits::Select(Word, static_cast<int>(Index));
    Out[w * 64 + Bit] = Symbol;
    Taken |= uint64_t{1} << Bit;
    From = Index + 1;
  }
  Free[w] = Word & ~Taken;
  return true;
}

// Every rank but the last in turn; the last keeps the positions left free,
// where Out already holds it.
template <class T_Bits>
inline bool Place_Ranks_Loop(uint8_t* Out, T_Distance_Reader& Distances, int32_t Total, int32_t L,
                             const int32_t* Sorted_Freq, const uint8_t* Order, uint64_t* Free) {
  const int64_t Words = Free_All(Free, Total);
  std::memset(Out, Order[L], static_cast<size_t>(Total));
  // A copy nothing else can point to: the byte stores to Out do not force
  // its fields to be read again.
  T_Distance_Reader Reader = Distances;
  int64_t First_Word = 0;
  for (int32_t k = 0; k < L; ++k) {
    if (!Place_Rank<T_Bits>(Out, Order[k], Reader, Sorted_Freq[k], Free, First_Word, Words)) return false;
    while (First_Word < Words - 1 && Free[First_Word] == 0) ++First_Word;
  }
  Distances = Reader;
  return true;
}

void Measure_Ranks_Portable(int32_t* Slots, int32_t Total, int32_t L, const int32_t* Start, const int32_t* Sorted_Freq,
                            uint64_t* Free) {
  Measure_Ranks_Loop<T_Portable_Bits>(Slots, Total, L, Start, Sorted_Freq, Free);
}

bool Place_Ranks_Portable(uint8_t* Out, T_Distance_Reader& Distances, int32_t Total, int32_t L,
                          const int32_t* Sorted_Freq, const uint8_t* Order, uint64_t* Free) {
  return Place_Ranks_Loop<T_Portable_Bits>(Out, Distances, Total, L, Sorted_Freq, Order, Free);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define QOR_SIF_BIT_INSTRUCTIONS 1

// The same with the processor's bit count and bit deposit instructions.
struct T_Instruction_Bits {
  __attribute__((target("popcnt,bmi2"))) static int Count(uint64_t Word) {
    return static_cast<int>(_mm_popcnt_u64(Word));
  }
  __attribute__((target("popcnt,bmi2"))) static int Select(uint64_t Word, int Skip) {
    return __builtin_ctzll(_pdep_u64(uint64_t{1} << Skip, Word));
  }
};

bool Has_Bit_Instructions() { return __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi2"); }

// flatten: the loops and the bit steps are compiled here, for the instructions.
__attribute__((target("popcnt,bmi2"), flatten)) void Measure_Ranks_Instructions(int32_t* Slots, int32_t Total,
                                                                                int32_t L, const int32_t* Start,
                                                                                const int32_t* Sorted_Freq,
                                                                                uint64_t* Free) {
  Measure_Ranks_Loop<T_Instruction_Bits>(Slots, Total, L, Start, Sorted_Freq, Free);
}

__attribute__((target("popcnt,bmi2"), flatten)) bool Place_Ranks_Instructions(uint8_t* Out,
                                                                              T_Distance_Reader& Distances,
                                                                              int32_t Total, int32_t L,
                                                                              const int32_t* Sorted_Freq,
                                                                              const uint8_t* Order, uint64_t* Free) {
  return Place_Ranks_Loop<T_Instruction_Bits>(Out, Distances, Total, L, Sorted_Freq, Order, Free);
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
// occurrence of r (or the block start) that hold a rank above r. Slots first
// gets every rank's positions, rising, where its distances go (the last
// rank's too, unused, inside the same work array), and then the distances.
void T_QOR_SIF::Compute_Distances(uint8_t* Ranks, int32_t n, int32_t* Slots, uint64_t* Free) {
  int32_t Next[256];
  std::memcpy(Next, Start, sizeof Next);
  for (int32_t i = 0; i < n; ++i) Slots[Next[Rank_Of[Ranks[i]]]++] = i;
  const int32_t L = Distinct - 1;
#if defined(QOR_SIF_BIT_INSTRUCTIONS)
  if (Bit_Instructions && Has_Bit_Instructions()) {
    Measure_Ranks_Instructions(Slots, Total, L, Start, Sorted_Freq, Free);
    return;
  }
#endif
  Measure_Ranks_Portable(Slots, Total, L, Start, Sorted_Freq, Free);
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
  Compute_Distances(Data, n, Distance, reinterpret_cast<uint64_t*>(Block_Data.UInt_Work));
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

// The distances are read from the stream as the ranks are placed. The
// bitmap goes to Int_Work, which expansion leaves untouched until the BWT
// inverse links its rows there: those pages are mapped once for both, where
// UInt_Work would cost a fresh large page for the bitmap alone.
void T_QOR_SIF::Place_Symbols(T_QOR_Block_Data& Block_Data) {
  T_QOR_Code_Streams& Streams = *Block_Data.Code_Streams;
  uint8_t* Out = Block_Data.Output->Data;
  uint64_t* Free = reinterpret_cast<uint64_t*>(Block_Data.Int_Work);
  const int32_t L = Distinct - 1;
  T_Distance_Reader Distances(Streams);
  bool Placed;
#if defined(QOR_SIF_BIT_INSTRUCTIONS)
  if (Bit_Instructions && Has_Bit_Instructions()) {
    Placed = Place_Ranks_Instructions(Out, Distances, Total, L, Sorted_Freq, Order, Free);
  } else
#endif
  {
    Placed = Place_Ranks_Portable(Out, Distances, Total, L, Sorted_Freq, Order, Free);
  }
  if (!Placed) Report_Damaged_Block("SIF distance past the block end");
  Distances.Finish(Streams);
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
  Place_Symbols(Block_Data);
  Block_Data.Output->Length = Total;
}
