#include "pipeline/QOR_MCP_Unit.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "coding/QOR_Coder_Unit.h"
#include "pipeline/QOR_CRC_Unit.h"
#include "transforms/QOR_AWFC_Unit.h"
#include "transforms/QOR_BWT_Unit.h"
#include "transforms/QOR_Block_Statistics_Unit.h"
#include "transforms/QOR_MTF_Unit.h"
#include "transforms/QOR_RLE_BIT_Unit.h"
#include "transforms/QOR_RLE_EXP_Unit.h"
#include "transforms/QOR_SIF_Unit.h"

thread_local T_QOR_MCP* QOR_MCP = nullptr;

// Declared in creation order; destroyed in the reverse order.
struct T_QOR_MCP::T_Stages {
  T_QOR_CRC32 CRC;
  T_QOR_BWT BWT;
  T_QOR_MTF MTF;
  T_QOR_AWFC AWFC;
  T_QOR_SIF SIF;
  T_QOR_RLE_EXP RLE_EXP;
  T_QOR_RLE_BIT RLE_BIT;
  T_QOR_Coder Coder;
};

namespace {

// The regions of the working memory, in QOR_Block_Unit.h's order.
constexpr int64_t Side_Info_Region = QOR_Side_Info_Region;
constexpr int64_t Data_Region = QOR_Data_Region;
constexpr int64_t Exponent_Region = QOR_Exponent_Region;
constexpr int64_t Int32_Region = QOR_Int32_Region;
constexpr int64_t Memory_Size = QOR_Working_Memory_Size;

constexpr uintptr_t Large_Page = QOR_Large_Page;

// Mapped rather than taken from the heap so that the kernel may back it with
// large pages (see T_QOR_MCP::Fit_Pages): a block touches tens of megabytes,
// and small-page faults would otherwise cost a tenth of the run time. Only
// whole aligned large pages can be backed so, so the mapping starts on one:
// the first buffers, which every block touches, would otherwise sit in small
// pages.
uint8_t* Map_Working_Memory() {
  const size_t Reserved = static_cast<size_t>(Memory_Size) + Large_Page;
  void* Mapped = ::mmap(nullptr, Reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Mapped == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t Start = reinterpret_cast<uintptr_t>(Mapped);
  const uintptr_t Aligned = (Start + Large_Page - 1) & ~(Large_Page - 1);
  const uintptr_t End = Aligned + static_cast<uintptr_t>(Memory_Size);
  if (Aligned > Start) ::munmap(Mapped, Aligned - Start);
  if (Start + Reserved > End) ::munmap(reinterpret_cast<void*>(End), Start + Reserved - End);
  return reinterpret_cast<uint8_t*>(Aligned);
}

}  // namespace

void Report_Damaged_Block(const char* Reason) { throw T_QOR_Damaged_Block(Reason); }

void T_QOR_MCP::Unmap::operator()(uint8_t* Memory_) const { ::munmap(Memory_, Memory_Size); }

T_QOR_MCP::T_QOR_MCP(T_QOR_Thread_Budget& Budget) : Memory(Map_Working_Memory()) { Construct(Budget); }

T_QOR_MCP::T_QOR_MCP()
    : Own_Budget(std::make_unique<T_QOR_Thread_Budget>(QOR_Usable_CPUs() - 1)), Memory(Map_Working_Memory()) {
  Construct(*Own_Budget);
}

void T_QOR_MCP::Construct(T_QOR_Thread_Budget& Budget) {
  Stages = std::make_unique<T_Stages>();
  // The block header and the start of the first input buffer share the
  // first large page: expansion reads both before anything else, and a
  // fresh large page is costly to map.
  uint8_t* Region = Memory.get();
  Side_Info_Buffer.Data = Region;
  Buffer_A.Data = Region + Side_Info_Region + QOR_Buffer_Spare;
  Region += QOR_Region_Slot(Side_Info_Region + Data_Region);
  Buffer_B.Data = Region + QOR_Buffer_Spare;
  Region += QOR_Region_Slot(Data_Region);
  Exponent_Region_Start = Region;
  Code_Streams.Exponents = Exponent_Region_Start;
  Region += QOR_Region_Slot(Exponent_Region);
  Code_Streams.Mantissas = reinterpret_cast<int32_t*>(Region);
  Region += QOR_Region_Slot(Int32_Region);
  Runs_Region_Start = reinterpret_cast<int32_t*>(Region);
  Code_Streams.Runs = Runs_Region_Start;
  Region += QOR_Region_Slot(Int32_Region);
  Block_Data.Int_Work = reinterpret_cast<int32_t*>(Region);
  Region += QOR_Region_Slot(Int32_Region);
  Block_Data.UInt_Work = reinterpret_cast<uint32_t*>(Region);

  Block_Data.Input = &Buffer_A;
  Block_Data.Output = &Buffer_B;
  Block_Data.Side_Info = &Side_Info_Buffer;
  Block_Data.Code_Streams = &Code_Streams;
  Block_Data.Thread_Budget = &Budget;
  QOR_MCP = this;
}

T_QOR_MCP::~T_QOR_MCP() {
  if (QOR_MCP == this) QOR_MCP = nullptr;
}

int32_t T_QOR_MCP::Exponent_Of(int32_t Value) { return 31 - __builtin_clz(static_cast<uint32_t>(Value) + 1u); }

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
  // Each step back returns the mantissa of every nonzero exponent it passes.
  auto Step_Back = [&S](int32_t Count) {
    if (Count < 0 || Count > S.Exponent_Count) Report_Damaged_Block("segment longer than its stream");
    int32_t Seen[256];
    Count_Byte_Frequencies(S.Exponents + S.Exponent_Count - Count, Count, Seen);
    for (int E = 1; E < QOR_Exponent_Slots; ++E) S.Mantissa_Cursors[E] -= Seen[E];
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

// A large page is cleared whole at its first touch, about 0.1 ms on the
// virtual machines measured, a small one in about a tenth of that. A block
// of a few kilobytes touches a few small pages in each of a dozen regions,
// and expands about 0.2 ms faster (of 3 to 4 ms in all) on small pages; from
// a few tens of kilobytes on, large pages win. Compression touches the
// block sort's tables too, unless the block is short enough to be sorted
// without them (0.3 to 0.4 ms faster, of about 3 ms, on small pages). A page
// already touched keeps its size, so a later large block only gains where it
// reaches new pages. The request is explicit both ways: where the system
// backs all memory with large pages unasked, small blocks would get them too.
constexpr int64_t Small_Page_Block_Limit = 32 * 1024;

void T_QOR_MCP::Fit_Pages(int64_t Block_Length, int64_t Small_Page_Limit) {
  const T_Pages Wanted = Block_Length < Small_Page_Limit ? T_Pages::Small : T_Pages::Large;
  if (Wanted == Pages) return;
  ::madvise(Memory.get(), Memory_Size, Wanted == T_Pages::Large ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  Pages = Wanted;
}

// Expansion writes Int_Work first when SIF places a block's symbols (its
// bitmap, at most QOR_Buffer_Capacity / 8 bytes, from the start) and then
// when the BWT inverse links the rows, after RLE_EXP has spent the runs. The
// runs therefore go to Int_Work past the bitmap's megabyte, on pages the links
// take next, rather than to a region of their own that costs a fresh large
// page. The exponents, which the coder writes and SIF reads, go to the
// buffer that is Output when the block's expansion starts: the coder leaves
// it alone on the SIF path, SIF writes the other buffer, and RLE_EXP, which
// writes it next, no longer needs them. Compression keeps SIF's distances in
// Int_Work while the runs wait for the coder, and both buffers hold data
// while SIF puts its integers, so there both streams keep their regions.
constexpr int32_t Expansion_Runs_Offset = (1 << 20) / sizeof(int32_t);
static_assert(QOR_Buffer_Capacity / 8 <= Expansion_Runs_Offset * int64_t{sizeof(int32_t)},
              "SIF's bitmap ends before the runs");

void T_QOR_MCP::Place_Streams(bool Expanding) {
  T_QOR_Code_Streams& S = Code_Streams;
  S.Exponents = Expanding ? Block_Data.Output->Data : Exponent_Region_Start;
  S.Runs = Expanding ? Block_Data.Int_Work + Expansion_Runs_Offset : Runs_Region_Start;
  S.Run_Capacity = Expanding ? QOR_Buffer_Capacity - Expansion_Runs_Offset : QOR_Buffer_Capacity;
}

// Maps, on the second core, what expanding a block of about Length bytes
// will write, in the order the stages reach it: the rest of the payload's
// buffer (the header's page already holds its start), the integer streams the
// coder fills (the exponents in the other buffer, the runs in Int_Work, where
// the SIF bitmap and the BWT links follow), the buffers of the middle stages
// and the BWT output. The sizes are what the chains were seen to touch. A
// small block needs too little to pay for a thread, and memory mapped once
// stays mapped for the next blocks.
void T_QOR_MCP::Warm_Up_For_Expansion(int32_t Length) {
  if (Length < QOR_SIF_Min_Symbols || Length <= Warmed_Length) return;
  Warmed_Length = Length;
  const int64_t n = Length;
  const auto Bytes = [](void* Data, int64_t Count) {
    return T_QOR_Warm_Up::T_Range{static_cast<uint8_t*>(Data), Count};
  };
  Warm_Up.Start(Block_Data.Thread_Budget,
                {Bytes(Buffer_A.Data, n / 4), Bytes(Code_Streams.Exponents, n), Bytes(Code_Streams.Mantissas, 2 * n),
                 Bytes(Block_Data.Int_Work, 4 * n), Bytes(Buffer_B.Data, n), Bytes(Buffer_A.Data, n)});
}

void T_QOR_MCP::Prepare_Block() {
  // The stages call back through this thread's QOR_MCP; another pipeline
  // may have been made and destroyed on this thread since this one was.
  QOR_MCP = this;
  Stages->RLE_EXP.Threshold = 2;
  Stages->RLE_BIT.Threshold = 2;
}

bool T_QOR_MCP::Compress_Block() {
  Prepare_Block();
  T_Stages& S = *Stages;
  T_QOR_Block_Data& B = Block_Data;
  Reset_Integer_Streams();
  B.Stored_CRC = S.CRC.Calc(B.Input->Data, B.Input->Length);
  Push_Side_Info(B.Stored_CRC, 4);

  Forward(S.BWT);
  if (B.Fast_Mode) {
    B.SIF_Path = false;
    Forward(S.RLE_EXP);
    Forward(S.MTF);
  } else if (B.Input->Length >= QOR_SIF_Min_Symbols) {
    B.SIF_Path = true;
    Forward(S.RLE_EXP);
    Forward(S.SIF);
  } else {
    B.SIF_Path = false;
    Forward(S.RLE_BIT);
    Forward(S.AWFC);
    Encode_Bit_Step();
    Swap_Buffers(B);
  }
  bool Lossless = S.Coder.Encode_Block(B);
  Swap_Buffers(B);
  // Once more, so that Output holds the payload.
  Swap_Buffers(B);
  if (Refusal_Hook != nullptr) Lossless = Refusal_Hook(Lossless, Refusal_Context);
  return Lossless;
}

void T_QOR_MCP::Expand_Block() {
  Prepare_Block();
  T_Stages& S = *Stages;
  T_QOR_Block_Data& B = Block_Data;
  Inverse(S.Coder);
  const int32_t Consumed = B.Output->Length;
  if (B.Fast_Mode) {
    Inverse(S.MTF);
    Inverse(S.RLE_EXP);
  } else if (B.SIF_Path) {
    Inverse(S.SIF);
    Inverse(S.RLE_EXP);
  } else {
    Decode_Bit_Step();
    Swap_Buffers(B);
    Inverse(S.AWFC);
    Inverse(S.RLE_BIT);
  }
  Inverse(S.BWT);
  B.Computed_CRC = S.CRC.Calc(B.Input->Data, B.Input->Length);
  B.Stored_CRC = Pop_Side_Info(4);
  // Output holds the rebuilt block; Input tells how much payload was read.
  Swap_Buffers(B);
  B.Input->Length = Consumed;
}

// ------------------------------------------------------ one record at a time

namespace {

constexpr int32_t Short_Header = 12;  // fast and SIF-path blocks
constexpr int32_t Long_Header = 13;   // AWFC-path blocks carry one more byte
static_assert(Long_Header == T_QOR_MCP::Max_Header_Length, "the longest header");
// The range decoder reads up to three bytes past a payload; the first is set to 0.
constexpr int32_t Decoder_Look_Ahead = 3;

}  // namespace

void T_QOR_MCP::Compress_Range(int32_t Count, bool Fast, const T_Range_Loader& Load, const T_Record_Sink& Emit) {
  Fit_Pages(Count, T_QOR_BWT::Tableless_Limit);
  Place_Streams(false);
  Load(0, Count, Block_Data.Input->Data);
  Block_Data.Input->Length = Count;
  Compress_Part(0, Count, Fast, Load, Emit);
}

// Bytes Offset .. Offset + Count - 1 of the range, already in Input. The
// halving ends: every one-byte block is safe in both chains.
void T_QOR_MCP::Compress_Part(int32_t Offset, int32_t Count, bool Fast, const T_Range_Loader& Load,
                              const T_Record_Sink& Emit) {
  if (Try_Chain(Fast, Emit)) return;
  // The stages have spent Input: it is loaded again for every attempt.
  const auto Reload = [&](int32_t From, int32_t Length) {
    Load(From, Length, Block_Data.Input->Data);
    Block_Data.Input->Length = Length;
  };
  Reload(Offset, Count);
  if (Try_Chain(!Fast, Emit)) return;
  const int32_t Half = Count / 2;
  Reload(Offset, Half);
  Compress_Part(Offset, Half, Fast, Load, Emit);
  Reload(Offset + Half, Count - Half);
  Compress_Part(Offset + Half, Count - Half, Fast, Load, Emit);
}

bool T_QOR_MCP::Try_Chain(bool Fast, const T_Record_Sink& Emit) {
  Block_Data.Fast_Mode = Fast;
  Side_Info_Buffer.Length = 2;
  if (!Compress_Block()) return false;
  T_QOR_Buffer& S = Side_Info_Buffer;
  S.Data[0] = static_cast<uint8_t>(S.Length);
  S.Data[1] =
      static_cast<uint8_t>((Block_Data.Fast_Mode ? QOR_Flag_Fast : 0) | (Block_Data.SIF_Path ? QOR_Flag_SIF : 0));
  Emit(S.Data, S.Length, Block_Data.Output->Data, Block_Data.Output->Length);
  return true;
}

T_QOR_MCP::T_Record_Header T_QOR_MCP::Check_Header(const uint8_t* Bytes, int64_t Available) {
  const int32_t H = Bytes[0];
  if (H != Short_Header && H != Long_Header) Report_Damaged_Block("unknown block header length");
  if (Available < H) Report_Damaged_Block("block header cut short");
  const uint8_t Flags = Bytes[1];
  if ((Flags & ~(QOR_Flag_Fast | QOR_Flag_SIF)) != 0) Report_Damaged_Block("unknown block flags");
  if ((H == Long_Header) != (Flags == 0)) Report_Damaged_Block("header length does not fit the flags");
  const int32_t P = Bytes[H - 3] | Bytes[H - 2] << 8 | Bytes[H - 1] << 16;
  if (P > QOR_Buffer_Capacity) Report_Damaged_Block("payload longer than a buffer");
  const int32_t Primary_Index = Bytes[6] | Bytes[7] << 8 | Bytes[8] << 16;
  return {H, P, Primary_Index};
}

// Blocks before the last are full; the last one is guessed from its payload
// at a ratio that text seldom passes, and is at least as long as its primary
// index says: a block of one repeated byte codes 5 MB in a payload of a few
// bytes, and expanding it on small pages took seven times as long. A wrong
// guess costs only speed.
int32_t T_QOR_MCP::Expected_Block_Length(int64_t Payload_Length, int32_t Least_Length, bool More_Blocks) {
  if (More_Blocks) return QOR_Block_Size;
  return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(Payload_Length * 8, Least_Length), QOR_Block_Size));
}

void T_QOR_MCP::Expect_Block(int32_t Expected) {
  Fit_Pages(Expected, Small_Page_Block_Limit);
  Place_Streams(true);
  Warm_Up_For_Expansion(Expected);
}

void T_QOR_MCP::Expect_Expansion(int64_t Size) {
  // The compressed size stands in for the first payload's length.
  Expect_Block(Expected_Block_Length(Size, 0, false));
}

void T_QOR_MCP::Expect_Expansion(const T_Record_Header& First) {
  Expect_Block(Expected_Block_Length(First.Payload_Length, First.Least_Block_Length, false));
}

const T_QOR_Buffer& T_QOR_MCP::Expand_Record(const uint8_t* Header, const T_Record_Header& Sizes,
                                             const T_Payload_Loader& Load, bool More_Blocks) {
  const int32_t H = Sizes.Header_Length;
  const int32_t P = Sizes.Payload_Length;
  T_QOR_Buffer& S = Side_Info_Buffer;
  std::memcpy(S.Data, Header, static_cast<size_t>(H));
  S.Length = H;
  Block_Data.Fast_Mode = (Header[1] & QOR_Flag_Fast) != 0;
  Block_Data.SIF_Path = (Header[1] & QOR_Flag_SIF) != 0;
  // The bytes after the payload are read too: the decoder looks past its end,
  // and must see what any reader of this stream sees, zeros at its end.
  T_QOR_Buffer& In = *Block_Data.Input;
  const int32_t Expected = Expected_Block_Length(P, Sizes.Least_Block_Length, More_Blocks);
  Fit_Pages(Expected, Small_Page_Block_Limit);
  Place_Streams(true);
  const int64_t Got = Load(In.Data, P + Decoder_Look_Ahead - 1);
  if (Got < P) Report_Damaged_Block("payload cut short");
  std::memset(In.Data + Got, 0, static_cast<size_t>(P + Decoder_Look_Ahead - Got));
  In.Length = P;
  Warm_Up_For_Expansion(Expected);
  Expand_Block();
  if (Block_Data.Input->Length != P) Report_Damaged_Block("payload length does not match its decoding");
  if (Side_Info_Buffer.Length != 2) Report_Damaged_Block("block header not used up");
  if (Block_Data.Stored_CRC != Block_Data.Computed_CRC) Report_Damaged_Block("CRC mismatch");
  return *Block_Data.Output;
}

// ------------------------------------------------------------- the bit step

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
    // Bijective base 2: the bits of R + 1 below its top bit, least significant
    // first; none for R = 0. Up to 8 of them go out in one 8-byte store (the
    // bytes past them are written over next), without a branch on whether a
    // count follows, which the data decides.
    const uint32_t V = static_cast<uint32_t>(Counts[j]) + 1;
    const int K = 31 - __builtin_clz(V);
    if (K <= 8 && o + 8 <= QOR_Buffer_Capacity) {
      // Byte b of the replicated low byte keeps bit b; adding 0x7F carries it
      // into the byte's top bit, which the shift brings down to bit 0.
      const uint64_t Spread = ((V & 0xFFu) * 0x0101010101010101u) & 0x8040201008040201u;
      uint64_t Bits = ((Spread + 0x7F7F7F7F7F7F7F7Fu) >> 7) & 0x0101010101010101u;
      // Byte b of the word is bit b: the store must put byte 0 first.
      if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) Bits = __builtin_bswap64(Bits);
      std::memcpy(Out + o, &Bits, sizeof Bits);
      o += K;
    } else {
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
