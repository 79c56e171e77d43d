#include "transforms/QOR_RLE_EXP_Unit.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pipeline/QOR_MCP_Unit.h"

namespace {

// Length of the maximal run of equal bytes that starts at Data[i], eight
// bytes a step. The reads may pass Data[n - 1] by up to seven bytes: every
// buffer has spare bytes behind its capacity, and what they hold is cut off.
inline int32_t Run_Length(const uint8_t* Data, int32_t i, int32_t n) {
  const uint64_t Pattern = Data[i] * 0x0101010101010101u;
  int32_t j = i + 1;
  while (j < n) {
    uint64_t Word;
    std::memcpy(&Word, Data + j, sizeof Word);
    const uint64_t Differ = Word ^ Pattern;
    if (Differ != 0) return std::min(j + (__builtin_ctzll(Differ) >> 3), n) - i;
    j += 8;
  }
  return n - i;
}

// Both directions copy the stretches where no three equal bytes stand in a
// row a chunk at a time: with a threshold of 2 or more, every byte there is
// its own run or half of a run of two, and goes through unchanged.
#if defined(__SSE2__)
constexpr int32_t Chunk = 16;

// Bit j set where Data[j] = Data[j + 1] = Data[j + 2], j < Chunk. Reads
// Data[0 .. Chunk + 1].
inline uint32_t Triple_Starts(const uint8_t* Data) {
  const __m128i A = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Data));
  const __m128i B = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Data + 1));
  const __m128i C = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Data + 2));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(A, B), _mm_cmpeq_epi8(B, C))));
}

// Index of the first triple marked in a nonzero Triple_Starts result.
inline int32_t First_Triple(uint32_t Mask) { return __builtin_ctz(Mask); }
#else
constexpr int32_t Chunk = 8;

// Bit 8j + 7 set where byte j of Word is 0 (exactly: no carries between bytes).
inline uint64_t Zero_Bytes(uint64_t Word) {
  constexpr uint64_t Low7 = 0x7F7F7F7F7F7F7F7Fu;
  return ~(((Word & Low7) + Low7) | Word | Low7);
}

// Top bit of the byte that holds Data[j] set where Data[j] = Data[j + 1] =
// Data[j + 2], j < Chunk. Reads Data[0 .. Chunk + 1].
inline uint64_t Triple_Starts(const uint8_t* Data) {
  uint64_t A, B, C;
  std::memcpy(&A, Data, sizeof A);
  std::memcpy(&B, Data + 1, sizeof B);
  std::memcpy(&C, Data + 2, sizeof C);
  return Zero_Bytes(A ^ B) & Zero_Bytes(B ^ C);
}

// Index of the first triple marked in a nonzero Triple_Starts result.
inline int32_t First_Triple(uint64_t Mask) {
  if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) return __builtin_ctzll(Mask) >> 3;
  return __builtin_clzll(Mask) >> 3;
}
#endif

// Copies In[i ..] to Out[o ..] a chunk at a time up to the first triple,
// which starts a run: the byte before it, if equal, would have made a triple
// one place earlier. Stops early where the next chunk's test would read past
// In[Last_Chunk + Chunk + 1] or its store pass Out[Out_Limit - 1].
template <class T_Out_Index>
inline void Copy_Until_Triple(const uint8_t* In, int32_t& i, int32_t Last_Chunk, uint8_t* Out, T_Out_Index& o,
                              int64_t Out_Limit) {
  while (i <= Last_Chunk && o <= Out_Limit - Chunk) {
    const auto Triples = Triple_Starts(In + i);
    std::memcpy(Out + o, In + i, Chunk);
    if (Triples != 0) {
      const int32_t Copied = First_Triple(Triples);
      i += Copied;
      o += Copied;
      return;
    }
    i += Chunk;
    o += Chunk;
  }
}

// Where the last chunk test may start; a threshold below 2 goes run by run.
inline int32_t Last_Chunk_Start(int32_t n, int32_t Threshold) { return Threshold >= 2 ? n - Chunk - 2 : -1; }

}  // namespace

void T_QOR_RLE_EXP::Encode_Block(T_QOR_Block_Data& Block_Data) {
  if (T_QOR_MCP::Pass_Empty_Block(Block_Data)) return;
  const int32_t n = Block_Data.Input->Length;
  const uint8_t* In = Block_Data.Input->Data;
  uint8_t* Out = Block_Data.Output->Data;
  T_QOR_Code_Streams& Streams = *Block_Data.Code_Streams;
  const int32_t T = Threshold;
  const int32_t Last_Chunk = Last_Chunk_Start(n, T);
  int32_t o = 0;
  int32_t i = 0;
  while (i < n) {
    // The output never outgrows the input, so the chunk stores stay inside it.
    Copy_Until_Triple(In, i, Last_Chunk, Out, o, QOR_Buffer_Capacity);
    if (i >= n) break;
    const int32_t L = Run_Length(In, i, n);
    const uint8_t b = In[i];
    i += L;
    if (L < T) {
      std::memset(Out + o, b, static_cast<size_t>(L));
      o += L;
      continue;
    }
    const int32_t x = L - T;
    const int32_t e = T_QOR_MCP::Exponent_Of(x);
    std::memset(Out + o, b, static_cast<size_t>(T + e));
    o += T + e;
    if (e > 0) Streams.Runs[Streams.Run_Count++] = x;
  }
  Block_Data.Output->Length = o;
}

void T_QOR_RLE_EXP::Decode_Block(T_QOR_Block_Data& Block_Data) {
  if (T_QOR_MCP::Pass_Empty_Block(Block_Data)) return;
  T_QOR_Code_Streams& Streams = *Block_Data.Code_Streams;
  // The groups tile Runs in rising exponent: group e ends at Run_Cursors[e] and
  // starts where group e - 1 ends; exponent 0 has no group, so Run_Cursors[0]
  // is where group 1 starts. Anything else cannot come from the coder.
  int32_t Group_Start[QOR_Exponent_Slots];
  int32_t Group_End[QOR_Exponent_Slots];
  Group_Start[0] = Group_End[0] = Streams.Run_Cursors[0];
  if (Group_Start[0] < 0) Report_Damaged_Block("run cursor out of range");
  for (int e = 1; e < QOR_Exponent_Slots; ++e) {
    if (Streams.Run_Cursors[e] < Streams.Run_Cursors[e - 1] || Streams.Run_Cursors[e] > Streams.Run_Capacity)
      Report_Damaged_Block("run cursor out of range");
    Group_Start[e] = Streams.Run_Cursors[e - 1];
    Group_End[e] = Streams.Run_Cursors[e];
  }
  std::memcpy(Streams.Run_Cursors, Group_Start, sizeof Group_Start);
  Expand_Runs(Block_Data, Group_End);
  // Every run value must have been used by a run of its exponent.
  if (std::memcmp(Streams.Run_Cursors, Group_End, sizeof Group_End) != 0)
    Report_Damaged_Block("fewer runs than run values");
  std::memcpy(Streams.Run_Cursors, Group_Start, sizeof Group_Start);
}

// Every run longer than T takes the next value of its exponent's group.
// Between such runs the input is copied a chunk at a time, up to the first
// triple; the chunk tests stay inside the input, the chunk stores inside the
// buffer's capacity, and the runs near either limit go one by one.
void T_QOR_RLE_EXP::Expand_Runs(T_QOR_Block_Data& Block_Data, const int32_t* Group_End) {
  const uint8_t* In = Block_Data.Input->Data;
  const int32_t n = Block_Data.Input->Length;
  uint8_t* Out = Block_Data.Output->Data;
  T_QOR_Code_Streams& Streams = *Block_Data.Code_Streams;
  int32_t* Cursors = Streams.Run_Cursors;
  const int32_t T = Threshold;
  const int32_t Last_Chunk = Last_Chunk_Start(n, T);
  int64_t o = 0;
  int32_t i = 0;
  while (i < n) {
    Copy_Until_Triple(In, i, Last_Chunk, Out, o, QOR_Buffer_Capacity);
    if (i >= n) break;
    const int32_t k = Run_Length(In, i, n);
    const uint8_t b = In[i];
    i += k;
    int64_t Length = k;
    if (k > T) {
      const int32_t e = k - T;
      if (e >= QOR_Exponent_Slots) Report_Damaged_Block("run exponent out of range");
      if (Cursors[e] == Group_End[e]) Report_Damaged_Block("more runs than run values");
      const int32_t m = Streams.Runs[Cursors[e]++];
      if (m < 0 || m >= (int32_t{1} << e)) Report_Damaged_Block("run mantissa out of range");
      Length = T + (int64_t{1} << e) - 1 + m;
    }
    if (o + Length > QOR_Buffer_Capacity) Report_Damaged_Block("runs longer than the block");
    std::memset(Out + o, b, static_cast<size_t>(Length));
    o += Length;
  }
  Block_Data.Output->Length = static_cast<int32_t>(o);
}
