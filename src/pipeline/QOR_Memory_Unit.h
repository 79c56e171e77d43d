// Compression and expansion of a byte buffer in memory, beside the file
// operations: the same records, the same checks, no files.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pipeline/QOR_Block_Unit.h"

class T_QOR_MCP;

// What an expansion gives back: the bytes of every block verified, in order,
// and, when a block failed its checks, which one and why. Nothing of the
// damaged block or after it is in Bytes.
struct T_QOR_Expansion {
  std::vector<uint8_t> Bytes;
  bool Damaged = false;
  std::string Reason;
  int64_t Block_Number = 0;   // the damaged block, 1 for the first
  int64_t Record_Offset = 0;  // where its record starts in the compressed bytes
};

// The compressed records of Data, in normal or fast mode.
std::vector<uint8_t> QOR_Compress_Memory(T_QOR_MCP& Pipeline, std::span<const uint8_t> Data, bool Fast);
// Data's blocks, expanded and checked. Decode_Limit caps the values the coder
// decodes per block (QOR_Buffer_Capacity: no cap beyond the buffers'); a
// block that needs more is reported damaged.
T_QOR_Expansion QOR_Expand_Memory(T_QOR_MCP& Pipeline, std::span<const uint8_t> Data,
                                  int32_t Decode_Limit = QOR_Buffer_Capacity);
