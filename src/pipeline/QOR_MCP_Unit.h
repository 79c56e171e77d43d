// The block pipeline: owns all working memory and one object of every stage,
// runs the three stage chains, and reads and writes the compressed container.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "coding/QOR_Coder_Unit.h"
#include "pipeline/QOR_CRC_Unit.h"
#include "pipeline/QOR_Warm_Up_Unit.h"
#include "transforms/QOR_AWFC_Unit.h"
#include "transforms/QOR_BWT_Unit.h"
#include "transforms/QOR_MTF_Unit.h"
#include "transforms/QOR_RLE_BIT_Unit.h"
#include "transforms/QOR_RLE_EXP_Unit.h"
#include "transforms/QOR_SIF_Unit.h"

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

struct T_QOR_Buffer {
  uint8_t* Data = nullptr;
  int32_t Length = 0;
};

struct T_QOR_Code_Streams {
  uint8_t* Exponents = nullptr;
  int32_t Exponent_Count = 0;
  int32_t Exponent_Counts[QOR_Exponent_Slots] = {};
  int32_t* Mantissas = nullptr;
  int32_t Mantissa_Count = 0;
  int32_t Mantissa_Cursors[QOR_Exponent_Slots] = {};
  int32_t* Runs = nullptr;
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
  int32_t* Int_Work = nullptr;
  uint32_t* UInt_Work = nullptr;
  bool Fast_Mode = false;
  bool SIF_Path = false;
  uint32_t Stored_CRC = 0;
  uint32_t Computed_CRC = 0;
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
  std::string File_Name;    // the compressed file; empty until located
  int64_t Block_Number = 0;  // counted from 1
  int64_t Block_Offset = 0;  // of the block's header in the compressed file
};

[[noreturn]] void Report_Damaged_Block(const char* Reason);

// A file that cannot be opened, created, read or written.
class T_QOR_File_Error : public std::runtime_error {
 public:
  T_QOR_File_Error(const std::string& File_Name, const std::string& Reason);
};

// An open file descriptor, closed when it goes out of scope.
class T_QOR_File {
 public:
  T_QOR_File() = default;
  T_QOR_File(const T_QOR_File&) = delete;
  T_QOR_File& operator=(const T_QOR_File&) = delete;
  ~T_QOR_File();

  void Open_For_Reading(const std::string& Name);
  // Takes over an open descriptor; errors will name Name.
  void Adopt(int Descriptor, const std::string& Name);
  // Reads up to Count bytes at Offset; returns the count read (short only at the end).
  int64_t Read_At(int64_t Offset, uint8_t* Data, int64_t Count);
  void Write(const uint8_t* Data, int64_t Count);
  void Close();
  int Descriptor() const { return Descriptor_; }

 private:
  int Descriptor_ = -1;
  std::string Name_;
};

class T_QOR_Output_File;

class T_QOR_MCP {
 public:
  // Allocates the working memory and makes this the pipeline that the stages
  // reach through QOR_MCP.
  T_QOR_MCP();
  virtual ~T_QOR_MCP();
  T_QOR_MCP(const T_QOR_MCP&) = delete;
  T_QOR_MCP& operator=(const T_QOR_MCP&) = delete;

  T_QOR_Block_Data Get_Block_Data() const { return Block_Data; }
  // The live record, for the driver and for tests that drive single stages.
  T_QOR_Block_Data& Block() { return Block_Data; }

  static void Swap_Buffers(T_QOR_Block_Data& Data) { std::swap(Data.Input, Data.Output); }
  // Lets an empty block pass a stage unchanged: the stage swaps here and the
  // pipeline's own swap after it restores the order. True when Input is empty.
  static bool Pass_Empty_Block(T_QOR_Block_Data& Data) {
    if (Data.Input->Length > 0) return false;
    Swap_Buffers(Data);
    return true;
  }
  static int32_t Exponent_Of(int32_t Value);

  // The integer stream of Code_Streams; a block starts with it reset.
  void Reset_Integer_Streams();
  void Put_Integer(int32_t Value);
  int32_t Get_Integer();
  void Mark_Segment();
  void Rewind_Segments();

  // Side_Info stack: multi-byte values go least significant byte first.
  void Push_Side_Info(uint32_t Value, int Bytes);
  uint32_t Pop_Side_Info(int Bytes);

  // Compresses Input (1..QOR_Block_Size bytes) into the payload in Output and
  // the header on Side_Info. Returns false when the payload could decode wrongly
  // under some following bytes; the caller then tries another chain. Virtual
  // so that tests can stand in for that rare refusal.
  virtual bool Compress_Block();
  // Rebuilds the block from Side_Info and the payload in Input into Output.
  void Expand_Block();

  // The pipeline's own bit step of the AWFC path: merges the run counts in
  // Int_Work into the symbol stream, and splits them out again.
  void Encode_Bit_Step();
  void Decode_Bit_Step();

  void Compress_File(const std::string& Input_Name, const std::string& Output_Name, bool Fast);
  void Expand_File(const std::string& Input_Name, const std::string& Output_Name);

 private:
  void Write_Block();
  // Reads the block header at Position into Side_Info and its payload into
  // Input; returns false at the end of the file.
  bool Read_Block(int64_t Position);
  int32_t Load_Input(int64_t Position, int32_t Count);
  void Compress_Range(int64_t Position, int32_t Count, bool Fast);
  bool Try_Chain(bool Fast);
  void Prepare_Block();
  template <class T_Stage>
  void Forward(T_Stage& Stage);
  template <class T_Stage>
  void Inverse(T_Stage& Stage);
  // Opens the input and refuses an output that is the input itself; returns
  // the size of the input.
  int64_t Open_Input(const std::string& Input_Name, const std::string& Output_Name);
  void Warm_Up_For_Expansion(int32_t Length);
  static int32_t Expected_Block_Length(int32_t Payload_Length, bool More_Blocks);

  struct Unmap {
    void operator()(uint8_t* Memory) const;
  };
  std::unique_ptr<uint8_t, Unmap> Memory;
  // Declared after Memory, so that its thread is joined before the unmapping.
  T_QOR_Warm_Up Warm_Up;
  int64_t Warmed_Length = 0;
  T_QOR_Buffer Buffer_A;
  T_QOR_Buffer Buffer_B;
  T_QOR_Buffer Side_Info_Buffer;
  T_QOR_Code_Streams Code_Streams;
  T_QOR_Block_Data Block_Data;
  T_QOR_File Input_Stream;
  // The output of the file being processed, owned by Compress_File or
  // Expand_File for exactly that long.
  T_QOR_Output_File* Output_Stream = nullptr;

  // Declared in creation order; destroyed in the reverse order.
  T_QOR_CRC32 CRC;
  T_QOR_BWT BWT;
  T_QOR_MTF MTF;
  T_QOR_AWFC AWFC;
  T_QOR_SIF SIF;
  T_QOR_RLE_EXP RLE_EXP;
  T_QOR_RLE_BIT RLE_BIT;
  T_QOR_Coder Coder;
};

extern T_QOR_MCP* QOR_MCP;
