// Expansion of arbitrary bytes: it either succeeds or reports a damaged block;
// it never crashes, hangs, or touches memory outside its buffers.
#include "pipeline/QOR_MCP_Unit.h"
#include "pipeline/QOR_Memory_Unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static T_QOR_MCP Pipeline;
  QOR_Expand_Memory(Pipeline, {Data, Size}, QOR_FUZZ_DECODE_LIMIT);
  return 0;
}
