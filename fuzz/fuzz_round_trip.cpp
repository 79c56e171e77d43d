// Compress-then-expand of arbitrary bytes in both modes restores them exactly.
#include <algorithm>
#include <cstdlib>

#include "pipeline/QOR_MCP_Unit.h"
#include "pipeline/QOR_Memory_Unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static T_QOR_MCP Pipeline;
  for (const bool Fast : {true, false}) {
    const std::vector<uint8_t> Packed = QOR_Compress_Memory(Pipeline, {Data, Size}, Fast);
    const T_QOR_Expansion Unpacked = QOR_Expand_Memory(Pipeline, Packed);
    if (Unpacked.Damaged || !std::equal(Data, Data + Size, Unpacked.Bytes.begin(), Unpacked.Bytes.end())) std::abort();
  }
  return 0;
}
