// The block record every stage works on, the records it points to, and the
// one map of the working memory those records divide. A stage compiles
// against this header alone.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

class T_QOR_Thread_Budget;

// Bytes of input per block.
constexpr int32_t QOR_Block_Size = 0x500000;  // 5,242,880
// Usable bytes of each data buffer, entries of each stream and work array.
constexpr int32_t QOR_Buffer_Capacity = 0x550000;  // 5,570,560
// A normal-mode block whose BWT output has at least this many symbols takes the SIF path.
constexpr int32_t QOR_SIF_Min_Symbols = 0x40000;
// Exponents 0..23: every integer the pipeline handles is below 2^24 - 1.
constexpr int QOR_Exponent_Slots = 24;
// Segments closed per block; one more slot holds the terminating 0 on expansion.
constexpr int QOR_Max_Segments = 64;
// Header flags bits.
constexpr uint8_t QOR_Flag_Fast = 0x01;
constexpr uint8_t QOR_Flag_SIF = 0x02;

// ---------------------------------------------------------------------------
// The working memory: one mapping per pipeline, 111,149,056 bytes, cut into
// these regions in this order. The mapping and every region after the first
// start on a large page (2 MB): a block uses each region from its start, so
// a region that began late in a page would cross into the next one after a
// few hundred kilobytes (buffer B began 1,664 KB into its page, and a 513 KB
// block took two fresh large pages there instead of one). The header and
// the start of buffer A share the first page, which every block touches
// first. The gaps are never touched.
//
//   region       bytes          entries            users, in block order
//   Side_Info    327,680        header bytes       header stack; at most 255 used
//   Buffer A     5,570,560+32   bytes, 16 spare    data buffer (swapped with B by
//   Buffer B     5,570,560+32     each side        every stage); the BWT pads its
//                                                  input, the decoder reads 3 past;
//                                                  expansion: the SIF path's
//                                                  exponents, in the buffer that
//                                                  is Output as the block starts
//   Exponents    5,570,560      bytes              compression: integer stream
//                                                  (SIF, coder)
//   Mantissas    22,282,240     int32              integer stream (SIF, coder);
//                                                  compression: the BWT's second
//                                                  sorting thread's scratch (no
//                                                  stage before the BWT fills it);
//                                                  expansion: the BWT inverse's
//                                                  walk pool (spent by then) on
//                                                  the SIF path, and where it
//                                                  does not fit in Int_Work
//   Runs         22,282,240     int32              compression: RLE_EXP runs (the
//                                                  coder reads them)
//   Int_Work     22,282,240     int32              BWT suffix array; RLE_BIT and
//                                                  the bit step's run counts; SIF
//                                                  distances; coder: grouped
//                                                  integer mantissas; expansion:
//                                                  SIF's free-position bitmap in
//                                                  its first megabyte and the
//                                                  RLE_EXP runs after it, then
//                                                  the BWT inverse's row links,
//                                                  then off the SIF path its
//                                                  walk pool when it fits
//   UInt_Work    22,282,240     uint32             BWT sort tables, bucket list
//                                                  and calling thread's scratch,
//                                                  or the guaranteed-time sort;
//                                                  compression: SIF's
//                                                  free-position bitmap; coder:
//                                                  grouped run mantissas
//
// Within one block a region is reused only after its previous user's
// contents are spent; the table above lists the users of each region in the
// order the chains reach them. Expansion's warm-up maps, ahead of the coder,
// exactly the regions this table gives to the decoder and the inverse stages.
// Each pipeline (one per worker) has its own mapping: nothing in it is shared
// between workers.
// ---------------------------------------------------------------------------
constexpr int64_t QOR_Side_Info_Region = 0x50000;
constexpr int64_t QOR_Buffer_Spare = 16;  // spare bytes on each side of a data buffer
constexpr int64_t QOR_Data_Region = QOR_Buffer_Capacity + 2 * QOR_Buffer_Spare;
constexpr int64_t QOR_Exponent_Region = QOR_Buffer_Capacity;
constexpr int64_t QOR_Int32_Region = int64_t{QOR_Buffer_Capacity} * 4;
constexpr int64_t QOR_Large_Page = int64_t{1} << 21;
// Bytes from one region's start to the next's: Bytes rounded up to large pages.
constexpr int64_t QOR_Region_Slot(int64_t Bytes) {
  return (Bytes + QOR_Large_Page - 1) / QOR_Large_Page * QOR_Large_Page;
}
constexpr int64_t QOR_Working_Memory_Size = QOR_Region_Slot(QOR_Side_Info_Region + QOR_Data_Region) +
                                            QOR_Region_Slot(QOR_Data_Region) + QOR_Region_Slot(QOR_Exponent_Region) +
                                            4 * QOR_Region_Slot(QOR_Int32_Region);
static_assert(QOR_Working_Memory_Size == 111149056, "pipeline memory layout");
static_assert(QOR_Block_Size <= QOR_Buffer_Capacity, "a block fits a data buffer");
static_assert(QOR_Side_Info_Region >= 256, "a header length is one byte");
// The decoder overwrites the byte after the payload and reads two more.
static_assert(QOR_Buffer_Spare >= 3, "the decoder's look-ahead stays inside the buffer's spare bytes");

struct T_QOR_Buffer {
  uint8_t* Data = nullptr;
  int32_t Length = 0;
};

struct T_QOR_Code_Streams {
  // QOR_Buffer_Capacity entries, owner: the pipeline's memory (the Exponents
  // region, or on expansion a data buffer: see T_QOR_MCP::Place_Streams).
  uint8_t* Exponents = nullptr;
  int32_t Exponent_Count = 0;
  int32_t Exponent_Counts[QOR_Exponent_Slots] = {};
  int32_t* Mantissas = nullptr;  // QOR_Buffer_Capacity entries, owner: the pipeline's memory
  int32_t Mantissa_Count = 0;
  int32_t Mantissa_Cursors[QOR_Exponent_Slots] = {};
  // Run_Capacity entries, owner: the pipeline's memory (the Runs region, or
  // on expansion a stretch of Int_Work: see T_QOR_MCP::Place_Streams).
  int32_t* Runs = nullptr;
  int32_t Run_Capacity = QOR_Buffer_Capacity;
  int32_t Run_Count = 0;
  int32_t Run_Exponent_Counts[QOR_Exponent_Slots] = {};
  int32_t Run_Cursors[QOR_Exponent_Slots] = {};
  // Coded into every SIF-path payload; always 0 so that output never depends on
  // uninitialised memory.
  int32_t Reserved_Value = 0;
  int32_t Segment_Lengths[QOR_Max_Segments + 1] = {};
  int32_t Segment_Count = 0;
  int32_t Segment_Start = 0;
};

struct T_QOR_Block_Data {
  T_QOR_Buffer* Input = nullptr;
  T_QOR_Buffer* Output = nullptr;
  T_QOR_Buffer* Side_Info = nullptr;
  T_QOR_Code_Streams* Code_Streams = nullptr;
  int32_t* Int_Work = nullptr;    // QOR_Buffer_Capacity entries, owner: the pipeline's memory
  uint32_t* UInt_Work = nullptr;  // QOR_Buffer_Capacity entries, owner: the pipeline's memory
  bool Fast_Mode = false;
  bool SIF_Path = false;
  uint32_t Stored_CRC = 0;
  uint32_t Computed_CRC = 0;
  // Where a stage may take a helper thread (the BWT's second sorting thread
  // and its inverse's second walk); none when null. Shared by every worker's
  // pipeline, so that the whole process keeps to one count of busy threads.
  T_QOR_Thread_Budget* Thread_Budget = nullptr;
  // The most symbols, or integers, that the coder decodes for one block; at
  // most QOR_Buffer_Capacity, which the buffers hold. Fuzzing lowers it, so
  // that a few bytes cannot ask for a block of megabytes of model decisions.
  int32_t Decode_Limit = QOR_Buffer_Capacity;
};

// Thrown by any expansion step that finds its input impossible: a header, a
// count, an index or a length that no compressor writes, or a CRC mismatch.
// Expansion stops there; the output keeps only the blocks verified before.
// what() is the decoder's reason; the file level adds where it happened.
class T_QOR_Damaged_Block : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  void Locate(const std::string& Name, int64_t Number, int64_t Offset) {
    File_Name = Name;
    Block_Number = Number;
    Block_Offset = Offset;
  }
  std::string File_Name;     // the compressed file; empty until located
  int64_t Block_Number = 0;  // counted from 1
  int64_t Block_Offset = 0;  // of the block's header in the compressed file
};

// "damaged block N at offset X: REASON": how every report of damage reads,
// from the program's stderr line and -t to the library.
inline std::string QOR_Damage_Text(int64_t Block_Number, int64_t Offset, const std::string& Reason) {
  return "damaged block " + std::to_string(Block_Number) + " at offset " + std::to_string(Offset) + ": " + Reason;
}

[[noreturn]] void Report_Damaged_Block(const char* Reason);
