#include "transforms/QOR_RLE_BIT_Unit.h"

#include <cstring>

#include "pipeline/QOR_MCP_Unit.h"

void T_QOR_RLE_BIT::Encode_Block(T_QOR_Block_Data& Block_Data) {
  if (T_QOR_MCP::Pass_Empty_Block(Block_Data)) return;
  const int32_t n = Block_Data.Input->Length;
  const uint8_t* In = Block_Data.Input->Data;
  uint8_t* Out = Block_Data.Output->Data;
  int32_t* Counts = Block_Data.Int_Work;
  const int32_t T = Threshold;
  int32_t o = 0;
  for (int32_t i = 0; i < n;) {
    const uint8_t b = In[i];
    int32_t j = i + 1;
    while (j < n && In[j] == b) ++j;
    const int32_t L = j - i;
    i = j;
    // The first min(L, T - 1) bytes are kept; the rest become the count of the
    // last one kept (0 when there is no rest). Stored one by one: with the
    // pipeline's threshold of 2 a run keeps one byte, and a call to memset
    // for it cost more than the run. That byte goes out ahead of the loop,
    // which then runs only for higher thresholds (one loop from the first
    // byte measured 2 % slower on alice29.txt). A threshold of at least 2
    // keeps at least one byte, so the count has a byte to belong to.
    const int32_t Kept = L < T ? L : T - 1;
    Out[o] = b;
    Counts[o] = 0;
    for (int32_t k = 1; k < Kept; ++k) {
      Out[o + k] = b;
      Counts[o + k] = 0;
    }
    o += Kept;
    Counts[o - 1] = L - Kept;
  }
  Block_Data.Output->Length = o;
}

void T_QOR_RLE_BIT::Decode_Block(T_QOR_Block_Data& Block_Data) {
  if (T_QOR_MCP::Pass_Empty_Block(Block_Data)) return;
  const int32_t n = Block_Data.Input->Length;
  const uint8_t* In = Block_Data.Input->Data;
  uint8_t* Out = Block_Data.Output->Data;
  const int32_t* Counts = Block_Data.Int_Work;
  // The restored length is n plus the sum of the counts. Checking it at every
  // count, with the bytes still to come counted as one each, keeps the check
  // out of the plain bytes' path.
  int64_t o = 0;
  for (int32_t j = 0; j < n; ++j) {
    const int32_t r = Counts[j];
    if (r <= 0) {
      Out[o++] = In[j];
      continue;
    }
    if (o + 1 + r + (n - 1 - j) > QOR_Buffer_Capacity) Report_Damaged_Block("runs longer than the block");
    std::memset(Out + o, In[j], static_cast<size_t>(r) + 1);
    o += 1 + int64_t{r};
  }
  Block_Data.Output->Length = static_cast<int32_t>(o);
}
