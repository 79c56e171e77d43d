// Compression and expansion between open descriptors, one block at a time,
// for pipes and for the integrity test: the size is not known in advance and
// nothing is buffered beyond one block and its record.
#pragma once

#include <cstdint>
#include <string>

class T_QOR_MCP;

// What a stream run counted.
struct T_QOR_Stream_Outcome {
  int64_t Bytes_Read = 0;
  int64_t Bytes_Written = 0;  // counted also when they are discarded
  bool Has_Blocks = false;    // no record was made or read when false
  bool Fast_Mode = false;     // the last block's flags
  bool SIF_Path = false;
};

// Reads In to its end and writes the records to Out. The names are for messages.
T_QOR_Stream_Outcome QOR_Compress_Stream(T_QOR_MCP& Pipeline, int In, int Out, bool Fast, const std::string& In_Name,
                                         const std::string& Out_Name);

// Reads records from In to its end and writes each block, once verified, to
// Out; with Out < 0 the blocks are checked and dropped. A damaged block is
// thrown as T_QOR_Damaged_Block, located in In_Name, after every block before
// it was written.
T_QOR_Stream_Outcome QOR_Expand_Stream(T_QOR_MCP& Pipeline, int In, int Out, const std::string& In_Name,
                                       const std::string& Out_Name);
