// Compress-then-expand of arbitrary bytes in both modes restores them exactly.
#include "fuzz_io.h"
#include "pipeline/QOR_MCP_Unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static T_QOR_MCP Pipeline;
  static Memory_File Original;
  static Memory_File Compressed;
  static Memory_File Expanded;
  Original.Fill(Data, Size);
  const std::vector<uint8_t> Expected(Data, Data + Size);
  for (const bool Fast : {true, false}) {
    Pipeline.Compress_File(Original.Name(), Compressed.Name(), Fast);
    Pipeline.Expand_File(Compressed.Name(), Expanded.Name());
    if (Expanded.Contents() != Expected) std::abort();
  }
  return 0;
}
