#include "transforms/QOR_RLE_EXP_Unit.h"

#include <cstring>

#include "pipeline/QOR_MCP_Unit.h"

namespace {

// Length of the maximal run of equal bytes that starts at Data[i].
inline int32_t Run_Length(const uint8_t* Data, int32_t i, int32_t n) {
  const uint8_t b = Data[i];
  int32_t j = i + 1;
  while (j < n && Data[j] == b) ++j;
  return j - i;
}

}  // namespace

void T_QOR_RLE_EXP::Encode_Block(T_QOR_Block_Data& Block_Data) {
  if (T_QOR_MCP::Pass_Empty_Block(Block_Data)) return;
  const int32_t n = Block_Data.Input->Length;
  const uint8_t* In = Block_Data.Input->Data;
  uint8_t* Out = Block_Data.Output->Data;
  T_QOR_Code_Streams& Streams = *Block_Data.Code_Streams;
  const int32_t T = Threshold;
  int32_t o = 0;
  for (int32_t i = 0; i < n;) {
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
  Group_Start[0] = Streams.Run_Cursors[0];
  if (Group_Start[0] < 0) Report_Damaged_Block("run cursor out of range");
  for (int e = 1; e < QOR_Exponent_Slots; ++e) {
    if (Streams.Run_Cursors[e] < Streams.Run_Cursors[e - 1] || Streams.Run_Cursors[e] > QOR_Buffer_Capacity)
      Report_Damaged_Block("run cursor out of range");
    Group_Start[e] = Streams.Run_Cursors[e - 1];
  }
  Count_Runs_Back(Block_Data, Group_Start);
  int32_t Saved_Cursors[QOR_Exponent_Slots];
  std::memcpy(Saved_Cursors, Streams.Run_Cursors, sizeof Saved_Cursors);
  Expand_Runs(Block_Data);
  std::memcpy(Streams.Run_Cursors, Saved_Cursors, sizeof Saved_Cursors);
}

// Pass 1: the coder leaves each cursor at the end of its group; stepping it back
// once per run of that exponent brings it to the group start. A run needing an
// entry below its group start means the byte stream and the groups disagree.
void T_QOR_RLE_EXP::Count_Runs_Back(const T_QOR_Block_Data& Block_Data, const int32_t* Group_Start) {
  const uint8_t* In = Block_Data.Input->Data;
  const int32_t n = Block_Data.Input->Length;
  int32_t* Cursors = Block_Data.Code_Streams->Run_Cursors;
  const int32_t T = Threshold;
  for (int32_t i = 0; i < n;) {
    const int32_t k = Run_Length(In, i, n);
    i += k;
    if (k <= T) continue;
    const int32_t e = k - T;
    if (e >= QOR_Exponent_Slots) Report_Damaged_Block("run exponent out of range");
    if (--Cursors[e] < Group_Start[e]) Report_Damaged_Block("more runs than run values");
  }
}

// Pass 2: every run longer than T takes the next mantissa of its exponent group.
void T_QOR_RLE_EXP::Expand_Runs(T_QOR_Block_Data& Block_Data) {
  const uint8_t* In = Block_Data.Input->Data;
  const int32_t n = Block_Data.Input->Length;
  uint8_t* Out = Block_Data.Output->Data;
  T_QOR_Code_Streams& Streams = *Block_Data.Code_Streams;
  const int32_t T = Threshold;
  int64_t o = 0;
  for (int32_t i = 0; i < n;) {
    const int32_t k = Run_Length(In, i, n);
    const uint8_t b = In[i];
    i += k;
    int64_t Length = k;
    if (k > T) {
      const int32_t e = k - T;
      const int32_t m = Streams.Runs[Streams.Run_Cursors[e]++];
      if (m < 0 || m >= (int32_t{1} << e)) Report_Damaged_Block("run mantissa out of range");
      Length = T + (int64_t{1} << e) - 1 + m;
    }
    if (o + Length > QOR_Buffer_Capacity) Report_Damaged_Block("runs longer than the block");
    std::memset(Out + o, b, static_cast<size_t>(Length));
    o += Length;
  }
  Block_Data.Output->Length = static_cast<int32_t>(o);
}
