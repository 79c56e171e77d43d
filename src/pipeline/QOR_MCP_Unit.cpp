#include "pipeline/QOR_MCP_Unit.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <new>

T_QOR_MCP* QOR_MCP = nullptr;

namespace {

// The single allocation, divided in this order (the data regions twice, the
// 32-bit ones four times).
constexpr int64_t Side_Info_Region = 0x50000;
constexpr int64_t Data_Region = QOR_Buffer_Capacity + 32;  // 16 spare bytes each side
constexpr int64_t Exponent_Region = QOR_Buffer_Capacity;
constexpr int64_t Int32_Region = int64_t{QOR_Buffer_Capacity} * 4;
constexpr int64_t Memory_Size = Side_Info_Region + 2 * Data_Region + Exponent_Region + 4 * Int32_Region;
static_assert(Memory_Size == 106168384, "pipeline memory layout");

constexpr uintptr_t Large_Page = uintptr_t{1} << 21;

// Mapped rather than taken from the heap so that the kernel may back it with
// large pages: a block touches tens of megabytes, and small-page faults would
// otherwise cost a tenth of the run time. Only whole aligned large pages can
// be backed so, so the mapping starts on one: the first buffers, which every
// block touches, would otherwise sit in small pages.
uint8_t* Map_Working_Memory() {
  const size_t Reserved = static_cast<size_t>(Memory_Size) + Large_Page;
  void* Mapped = ::mmap(nullptr, Reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Mapped == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t Start = reinterpret_cast<uintptr_t>(Mapped);
  const uintptr_t Aligned = (Start + Large_Page - 1) & ~(Large_Page - 1);
  const uintptr_t End = Aligned + static_cast<uintptr_t>(Memory_Size);
  if (Aligned > Start) ::munmap(Mapped, Aligned - Start);
  if (Start + Reserved > End) ::munmap(reinterpret_cast<void*>(End), Start + Reserved - End);
  void* Memory = reinterpret_cast<void*>(Aligned);
  ::madvise(Memory, Memory_Size, MADV_HUGEPAGE);
  return static_cast<uint8_t*>(Memory);
}

}  // namespace

void Report_Damaged_Block(const char* Reason) { throw T_QOR_Damaged_Block(Reason); }

void T_QOR_MCP::Unmap::operator()(uint8_t* Memory) const { ::munmap(Memory, Memory_Size); }

T_QOR_MCP::T_QOR_MCP() : Memory(Map_Working_Memory()) {
  // The block header and the start of the first input buffer share the
  // first large page: expansion reads both before anything else, and a
  // fresh large page is costly to map.
  uint8_t* Region = Memory.get();
  Side_Info_Buffer.Data = Region;
  Region += Side_Info_Region;
  Buffer_A.Data = Region + 16;
  Region += Data_Region;
  Buffer_B.Data = Region + 16;
  Region += Data_Region;
  Code_Streams.Exponents = Region;
  Region += Exponent_Region;
  Code_Streams.Mantissas = reinterpret_cast<int32_t*>(Region);
  Region += Int32_Region;
  Code_Streams.Runs = reinterpret_cast<int32_t*>(Region);
  Region += Int32_Region;
  Block_Data.Int_Work = reinterpret_cast<int32_t*>(Region);
  Region += Int32_Region;
  Block_Data.UInt_Work = reinterpret_cast<uint32_t*>(Region);

  Block_Data.Input = &Buffer_A;
  Block_Data.Output = &Buffer_B;
  Block_Data.Side_Info = &Side_Info_Buffer;
  Block_Data.Code_Streams = &Code_Streams;
  QOR_MCP = this;
}

T_QOR_MCP::~T_QOR_MCP() {
  if (QOR_MCP == this) QOR_MCP = nullptr;
}

int32_t T_QOR_MCP::Exponent_Of(int32_t Value) {
  return 31 - __builtin_clz(static_cast<uint32_t>(Value) + 1u);
}

void T_QOR_MCP::Put_Integer(int32_t Value) {
  T_QOR_Code_Streams& S = Code_Streams;
  const int32_t E = Exponent_Of(Value);
  S.Exponents[S.Exponent_Count++] = static_cast<uint8_t>(E);
  if (E > 0) {
    S.Exponent_Counts[E] += 1;
    S.Mantissas[S.Mantissa_Count++] = Value + 1 - (1 << E);
  }
}

int32_t T_QOR_MCP::Get_Integer() {
  T_QOR_Code_Streams& S = Code_Streams;
  const int32_t E = S.Exponents[S.Exponent_Count++];
  if (E == 0) return 0;
  return (1 << E) + S.Mantissas[S.Mantissa_Cursors[E]++] - 1;
}

void T_QOR_MCP::Mark_Segment() {
  T_QOR_Code_Streams& S = Code_Streams;
  S.Segment_Lengths[S.Segment_Count++] = S.Exponent_Count - S.Segment_Start;
  S.Segment_Start = S.Exponent_Count;
}

void T_QOR_MCP::Rewind_Segments() {
  T_QOR_Code_Streams& S = Code_Streams;
  // Each step back returns the mantissa of every nonzero exponent it passes;
  // the exponents are counted four tables at a time, as neighbours often agree.
  auto Step_Back = [&S](int32_t Count) {
    if (Count < 0 || Count > S.Exponent_Count) Report_Damaged_Block("segment longer than its stream");
    const uint8_t* const Exponents = S.Exponents + S.Exponent_Count - Count;
    int32_t Seen[4][256] = {};
    int32_t j = 0;
    for (; j + 4 <= Count; j += 4) {
      Seen[0][Exponents[j]] += 1;
      Seen[1][Exponents[j + 1]] += 1;
      Seen[2][Exponents[j + 2]] += 1;
      Seen[3][Exponents[j + 3]] += 1;
    }
    for (; j < Count; ++j) Seen[0][Exponents[j]] += 1;
    for (int E = 1; E < QOR_Exponent_Slots; ++E) S.Mantissa_Cursors[E] -= Seen[0][E] + Seen[1][E] + Seen[2][E] + Seen[3][E];
    S.Exponent_Count -= Count;
  };
  if (S.Segment_Count < 1 || S.Segment_Count > QOR_Max_Segments) Report_Damaged_Block("no segment to rewind");
  Step_Back(S.Segment_Lengths[S.Segment_Count]);
  S.Segment_Count -= 1;
  Step_Back(S.Segment_Lengths[S.Segment_Count]);
}

void T_QOR_MCP::Push_Side_Info(uint32_t Value, int Bytes) {
  T_QOR_Buffer& S = Side_Info_Buffer;
  for (int k = 0; k < Bytes; ++k) S.Data[S.Length++] = static_cast<uint8_t>(Value >> (8 * k));
}

uint32_t T_QOR_MCP::Pop_Side_Info(int Bytes) {
  T_QOR_Buffer& S = Side_Info_Buffer;
  if (S.Length - Bytes < 2) Report_Damaged_Block("block header too short");
  uint32_t Value = 0;
  for (int k = 0; k < Bytes; ++k) Value = (Value << 8) | S.Data[--S.Length];
  return Value;
}

void T_QOR_MCP::Reset_Integer_Streams() {
  T_QOR_Code_Streams& S = Code_Streams;
  S.Exponent_Count = 0;
  S.Mantissa_Count = 0;
  S.Run_Count = 0;
  S.Segment_Start = 0;
  S.Segment_Count = 0;
  std::memset(S.Exponent_Counts, 0, sizeof S.Exponent_Counts);
}

// Every stage reads Input and writes Output; the swap after it hands its
// result to the next one.
template <class T_Stage>
void T_QOR_MCP::Forward(T_Stage& Stage) {
  Stage.Encode_Block(Block_Data);
  Swap_Buffers(Block_Data);
}

template <class T_Stage>
void T_QOR_MCP::Inverse(T_Stage& Stage) {
  Stage.Decode_Block(Block_Data);
  Swap_Buffers(Block_Data);
}

// Maps, on the second core, what expanding a block of about Length bytes
// will write, in the order the stages reach it: the exponents the coder
// decodes first (the header's page already holds the payload's start), the
// rest of the payload's buffer, the integer streams the coder fills, the
// buffers of the middle stages, the BWT links, the SIF bitmap and the BWT
// output. The sizes are what the chains were seen to touch. A small block
// needs too little to pay for a thread, and memory mapped once stays mapped
// for the next blocks.
void T_QOR_MCP::Warm_Up_For_Expansion(int32_t Length) {
  if (Length < QOR_SIF_Min_Symbols || Length <= Warmed_Length) return;
  Warmed_Length = Length;
  const int64_t n = Length;
  const auto Bytes = [](void* Data, int64_t Count) {
    return T_QOR_Warm_Up::T_Range{static_cast<uint8_t*>(Data), Count};
  };
  Warm_Up.Start({Bytes(Code_Streams.Exponents, n), Bytes(Buffer_A.Data, n / 4), Bytes(Code_Streams.Mantissas, 2 * n),
                 Bytes(Code_Streams.Runs, n / 2), Bytes(Buffer_B.Data, n), Bytes(Block_Data.Int_Work, 4 * n),
                 Bytes(Block_Data.UInt_Work, n / 8), Bytes(Buffer_A.Data, n)});
}

void T_QOR_MCP::Prepare_Block() {
  // The stages call back through the global; another pipeline may have been
  // made and destroyed since this one was.
  QOR_MCP = this;
  RLE_EXP.Threshold = 2;
  RLE_BIT.Threshold = 2;
}

bool T_QOR_MCP::Compress_Block() {
  Prepare_Block();
  T_QOR_Block_Data& B = Block_Data;
  Reset_Integer_Streams();
  B.Stored_CRC = CRC.Calc(B.Input->Data, B.Input->Length);
  Push_Side_Info(B.Stored_CRC, 4);

  Forward(BWT);
  if (B.Fast_Mode) {
    B.SIF_Path = false;
    Forward(RLE_EXP);
    Forward(MTF);
  } else if (B.Input->Length >= QOR_SIF_Min_Symbols) {
    B.SIF_Path = true;
    Forward(RLE_EXP);
    Forward(SIF);
  } else {
    B.SIF_Path = false;
    Forward(RLE_BIT);
    Forward(AWFC);
    Encode_Bit_Step();
    Swap_Buffers(B);
  }
  const bool Lossless = Coder.Encode_Block(B);
  Swap_Buffers(B);
  // Once more, so that Output holds the payload.
  Swap_Buffers(B);
  return Lossless;
}

void T_QOR_MCP::Expand_Block() {
  Prepare_Block();
  T_QOR_Block_Data& B = Block_Data;
  Inverse(Coder);
  const int32_t Consumed = B.Output->Length;
  if (B.Fast_Mode) {
    Inverse(MTF);
    Inverse(RLE_EXP);
  } else if (B.SIF_Path) {
    Inverse(SIF);
    Inverse(RLE_EXP);
  } else {
    Decode_Bit_Step();
    Swap_Buffers(B);
    Inverse(AWFC);
    Inverse(RLE_BIT);
  }
  Inverse(BWT);
  B.Computed_CRC = CRC.Calc(B.Input->Data, B.Input->Length);
  B.Stored_CRC = Pop_Side_Info(4);
  // Output holds the rebuilt block; Input tells how much payload was read.
  Swap_Buffers(B);
  B.Input->Length = Consumed;
}

void T_QOR_MCP::Encode_Bit_Step() {
  T_QOR_Block_Data& B = Block_Data;
  const uint8_t* Symbols = B.Input->Data;
  const int32_t* Counts = B.Int_Work;
  uint8_t* Out = B.Output->Data;
  int32_t o = 0;
  for (int32_t j = 0; j < B.Input->Length; ++j) {
    // Bytes 0 and 1 are bits, so symbols move up by one; the three that would
    // pass 254 take an escape byte 255.
    const int32_t E = Symbols[j] == 0 ? 257 : Symbols[j] + 1;
    if (E < 255) {
      Out[o++] = static_cast<uint8_t>(E);
    } else {
      Out[o++] = 255;
      Out[o++] = static_cast<uint8_t>(E - 255);
    }
    const int32_t R = Counts[j];
    if (R > 0) {
      // Bijective base 2: the bits of R + 1 below its top bit, least significant first.
      const uint32_t V = static_cast<uint32_t>(R) + 1;
      const int K = 31 - __builtin_clz(V);
      for (int Bit = 0; Bit < K; ++Bit) Out[o++] = static_cast<uint8_t>((V >> Bit) & 1);
    }
  }
  B.Output->Length = o;
}

void T_QOR_MCP::Decode_Bit_Step() {
  T_QOR_Block_Data& B = Block_Data;
  const uint8_t* T = B.Input->Data;
  const int32_t M = B.Input->Length;
  uint8_t* Out = B.Output->Data;
  int32_t* Counts = B.Int_Work;
  // Keeps a count below 2^31 - 1: 30 digits of at most 2 sum to 2^31 - 2.
  constexpr int Max_Digits = 30;
  int32_t i = 0;
  int32_t j = 0;
  while (i < M) {
    int32_t C = T[i];
    if (C >= 2) {
      ++i;
      if (C == 255) {
        if (i >= M) Report_Damaged_Block("escape byte at the end of the symbols");
        C = 255 + T[i++];
        if (C > 257) Report_Damaged_Block("escaped symbol out of range");
      }
      Out[j] = static_cast<uint8_t>(C == 257 ? 0 : C - 1);
      Counts[j] = 0;
      ++j;
    } else {
      if (j == 0) Report_Damaged_Block("run count before the first symbol");
      int64_t Value = 0;
      int64_t Weight = 1;
      int Digits = 0;
      do {
        if (++Digits > Max_Digits) Report_Damaged_Block("run count too long");
        Value += T[i] == 0 ? Weight : 2 * Weight;
        Weight *= 2;
        ++i;
      } while (i < M && T[i] <= 1);
      Counts[j - 1] = static_cast<int32_t>(Value);
    }
  }
  B.Output->Length = j;
}
