// The block pipeline: owns all working memory and one object of every stage,
// and runs the three stage chains on one block at a time. It touches no file:
// its caller loads each block and takes each record (QOR_Scheduler_Unit for
// files, QOR_Memory_Unit for buffers).
// The stages are held behind the pipeline's own implementation, so that this
// header, and a stage that calls back through QOR_MCP, need only the block record.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "pipeline/QOR_Block_Unit.h"
#include "pipeline/QOR_Threads_Unit.h"
#include "pipeline/QOR_Warm_Up_Unit.h"

class T_QOR_MCP {
 public:
  // Allocates the working memory and makes this the pipeline that the stages
  // of the calling thread reach through QOR_MCP. The stages take their helper
  // threads from Budget, which must outlive the pipeline; made without one,
  // the pipeline has its own, of the CPUs the process may run on but one.
  explicit T_QOR_MCP(T_QOR_Thread_Budget& Budget);
  T_QOR_MCP();
  ~T_QOR_MCP();
  T_QOR_MCP(const T_QOR_MCP&) = delete;
  T_QOR_MCP& operator=(const T_QOR_MCP&) = delete;

  // The live record: its callers read the last block's flags there, and tests
  // drive single stages with it.
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
  // under some following bytes; the caller then tries another chain.
  bool Compress_Block();
  // Tests stand in for that rare refusal: when set, it is given the coder's
  // answer and its own Context, and its answer is the block's.
  bool (*Refusal_Hook)(bool Lossless, void* Context) = nullptr;
  void* Refusal_Context = nullptr;
  // Rebuilds the block from Side_Info and the payload in Input into Output.
  void Expand_Block();

  // The pipeline's own bit step of the AWFC path: merges the run counts in
  // Int_Work into the symbol stream, and splits them out again.
  void Encode_Bit_Step();
  void Decode_Bit_Step();

  // ---- One block at a time, from and to the caller's own places ----

  // Puts bytes Offset .. Offset + Count - 1 of the range being compressed at Into.
  using T_Range_Loader = std::function<void(int32_t Offset, int32_t Count, uint8_t* Into)>;
  // Takes one finished record, header and payload; both stay in the
  // pipeline's buffers only until the call returns.
  using T_Record_Sink =
      std::function<void(const uint8_t* Header, int32_t Header_Length, const uint8_t* Payload, int32_t Payload_Length)>;
  // Reads up to Count bytes from the start of a record's payload on (the
  // payload and whatever follows it) into Into; returns the count read.
  using T_Payload_Loader = std::function<int64_t(uint8_t* Into, int64_t Count)>;

  // Compresses Count bytes (1..QOR_Block_Size) as one record or, in the rare
  // case that neither chain gives a payload that is safe whatever bytes
  // follow it, as two halves and so on; the records go to Emit in order.
  void Compress_Range(int32_t Count, bool Fast, const T_Range_Loader& Load, const T_Record_Sink& Emit);

  // The longest block header, and what Check_Header makes of one.
  static constexpr int32_t Max_Header_Length = 13;
  struct T_Record_Header {
    int32_t Header_Length;
    int32_t Payload_Length;
    // The primary index, which a valid block is at least as long as: only
    // the guess of the block's length reads it, and the BWT inverse checks it.
    int32_t Least_Block_Length;
  };
  // Checks the header at Bytes (Available bytes are there, at least 1) and
  // reports a damaged block when no compressor writes it.
  static T_Record_Header Check_Header(const uint8_t* Bytes, int64_t Available);
  // Rebuilds the block of one record whose header Check_Header passed and
  // checks it; the block stays in the pipeline's Output until the next block.
  // More_Blocks tells whether records follow, so that a full block is expected.
  const T_QOR_Buffer& Expand_Record(const uint8_t* Header, const T_Record_Header& Sizes, const T_Payload_Loader& Load,
                                    bool More_Blocks);
  // Starts mapping what the first block of a compressed stream of Size bytes
  // will need, before its record is read.
  void Expect_Expansion(int64_t Size);
  // The same once the first record's header is known, before its payload is.
  void Expect_Expansion(const T_Record_Header& First);

 private:
  bool Try_Chain(bool Fast, const T_Record_Sink& Emit);
  void Compress_Part(int32_t Offset, int32_t Count, bool Fast, const T_Range_Loader& Load, const T_Record_Sink& Emit);
  void Prepare_Block();
  template <class T_Stage>
  void Forward(T_Stage& Stage);
  template <class T_Stage>
  void Inverse(T_Stage& Stage);
  void Construct(T_QOR_Thread_Budget& Budget);
  void Warm_Up_For_Expansion(int32_t Length);
  static int32_t Expected_Block_Length(int64_t Payload_Length, int32_t Least_Length, bool More_Blocks);
  void Expect_Block(int32_t Expected);
  // Asks for small pages for the working memory if a block of about
  // Block_Length bytes is below Small_Page_Limit, for large ones otherwise;
  // called before the block's first touch.
  void Fit_Pages(int64_t Block_Length, int64_t Small_Page_Limit);
  // Points the exponent and run streams at their places for compression or
  // for expanding the next block.
  void Place_Streams(bool Expanding);

  // Set when the pipeline was made without a budget. First, so that it
  // outlives the warm-up thread, which gives its helper back as it ends.
  std::unique_ptr<T_QOR_Thread_Budget> Own_Budget;
  struct Unmap {
    void operator()(uint8_t* Memory) const;
  };
  std::unique_ptr<uint8_t, Unmap> Memory;
  // Declared after Memory, so that its thread is joined before the unmapping.
  T_QOR_Warm_Up Warm_Up;
  int64_t Warmed_Length = 0;
  enum class T_Pages { Unset, Small, Large } Pages = T_Pages::Unset;
  T_QOR_Buffer Buffer_A;
  T_QOR_Buffer Buffer_B;
  T_QOR_Buffer Side_Info_Buffer;
  T_QOR_Code_Streams Code_Streams;
  // The exponent and run streams' own regions, which compression uses.
  uint8_t* Exponent_Region_Start = nullptr;
  int32_t* Runs_Region_Start = nullptr;
  T_QOR_Block_Data Block_Data;

  // One object of every stage, in QOR_MCP_Unit.cpp.
  struct T_Stages;
  std::unique_ptr<T_Stages> Stages;
};

// The pipeline that the stages running on this thread call back: each worker
// thread has its own.
extern thread_local T_QOR_MCP* QOR_MCP;
