// Compress-then-expand of arbitrary bytes restores them exactly. The first
// byte's low bit picks the mode, so that each run does one round trip and the
// fuzzer's time goes into more inputs; it is compressed with the rest.
#include <algorithm>
#include <cstdlib>

#include "pipeline/QOR_MCP_Unit.h"
#include "pipeline/QOR_Memory_Unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static T_QOR_MCP Pipeline;
  const bool Fast = Size > 0 && (Data[0] & 1) != 0;
  const std::vector<uint8_t> Packed = QOR_Compress_Memory(Pipeline, {Data, Size}, Fast);
  const T_QOR_Expansion Unpacked = QOR_Expand_Memory(Pipeline, Packed);
  if (Unpacked.Damaged || !std::equal(Data, Data + Size, Unpacked.Bytes.begin(), Unpacked.Bytes.end())) std::abort();
  return 0;
}
