// Expansion of arbitrary bytes: it either succeeds or reports a damaged block;
// it never crashes, hangs, or touches memory outside its buffers.
#include "fuzz_io.h"
#include "pipeline/QOR_MCP_Unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static T_QOR_MCP Pipeline;
  static Memory_File Compressed;
  static Memory_File Expanded;
  Compressed.Fill(Data, Size);
  try {
    Pipeline.Expand_File(Compressed.Name(), Expanded.Name());
  } catch (const T_QOR_Damaged_Block&) {
  }
  return 0;
}
