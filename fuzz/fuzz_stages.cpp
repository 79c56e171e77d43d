// Stage-level fuzzing: each inverse stage, and the coder's decoder for each
// chain, on a small block built from the input, plus round trips of the
// stages whose forward direction is cheap. The first input byte picks the
// case; the rest is the case's material. The BWT has no round trip here:
// fuzz_round_trip runs one on every input, and its forward sort's fixed
// cost per block would dominate this target.
//
// Each case sets up only what its decoder reads in a real expansion: what
// the inverse step before it, or the block header, leaves there. The stage
// must then either succeed, with an output inside its buffer, or report a
// damaged block.
//
// The block record points at heap arrays of exactly the extents the memory
// map gives each region (the data buffers with their spare bytes), not at the
// pipeline's mapping: ASan guards the ends of heap arrays, so a stage that
// steps outside its region is caught here, where in the mapping it would land
// unnoticed in the next region.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "coding/QOR_Coder_Unit.h"
#include "pipeline/QOR_MCP_Unit.h"
#include "transforms/QOR_AWFC_Unit.h"
#include "transforms/QOR_BWT_Unit.h"
#include "transforms/QOR_MTF_Unit.h"
#include "transforms/QOR_RLE_BIT_Unit.h"
#include "transforms/QOR_RLE_EXP_Unit.h"
#include "transforms/QOR_SIF_Unit.h"

namespace {

// The coder decodes at most this many symbols or integers per block: enough
// for every payload of a few KB that a compressor writes for a small block,
// and it keeps a run of model decisions on a damaged payload short.
constexpr int32_t Decode_Limit = 65536;
// Bytes of the header stack: its length travels in one byte.
constexpr int32_t Side_Info_Bytes = 256;

[[noreturn]] void Fail() { std::abort(); }

// The regions the stages may touch, each of its documented extent; owner: this
// object, one for the whole run.
struct T_Regions {
  std::unique_ptr<uint8_t[]> A{new uint8_t[QOR_Data_Region]};
  std::unique_ptr<uint8_t[]> B{new uint8_t[QOR_Data_Region]};
  std::unique_ptr<uint8_t[]> Side_Info{new uint8_t[Side_Info_Bytes]};
  std::unique_ptr<uint8_t[]> Exponents{new uint8_t[QOR_Buffer_Capacity]};
  std::unique_ptr<int32_t[]> Mantissas{new int32_t[QOR_Buffer_Capacity]};
  std::unique_ptr<int32_t[]> Runs{new int32_t[QOR_Buffer_Capacity]};
  std::unique_ptr<int32_t[]> Int_Work{new int32_t[QOR_Buffer_Capacity]};
  std::unique_ptr<uint32_t[]> UInt_Work{new uint32_t[QOR_Buffer_Capacity]};
};

// A pipeline for the stages to call back (integer stream, header stack, bit
// step), its record pointed at the guarded regions, and one object of each stage.
struct T_Bench {
  T_QOR_MCP Pipeline;
  T_Regions Regions;
  T_QOR_Buffer Buffer_A;
  T_QOR_Buffer Buffer_B;
  T_QOR_Block_Data& B;
  T_QOR_MTF MTF;
  T_QOR_RLE_EXP RLE_EXP;
  T_QOR_SIF SIF;
  T_QOR_RLE_BIT RLE_BIT;
  T_QOR_AWFC AWFC;
  T_QOR_BWT BWT;
  T_QOR_Coder Coder;

  T_Bench() : B(Pipeline.Block()) {
    Buffer_A.Data = Regions.A.get() + QOR_Buffer_Spare;
    Buffer_B.Data = Regions.B.get() + QOR_Buffer_Spare;
    B.Side_Info->Data = Regions.Side_Info.get();
    T_QOR_Code_Streams& S = *B.Code_Streams;
    S.Exponents = Regions.Exponents.get();
    S.Mantissas = Regions.Mantissas.get();
    S.Runs = Regions.Runs.get();
    B.Int_Work = Regions.Int_Work.get();
    B.UInt_Work = Regions.UInt_Work.get();
    B.Decode_Limit = Decode_Limit;
  }

  // A fresh block: empty header stack (its two fixed bytes aside), empty
  // streams, Input holding Bytes.
  void Start(const uint8_t* Bytes, size_t Count) {
    B.Input = &Buffer_A;
    B.Output = &Buffer_B;
    Pipeline.Reset_Integer_Streams();
    B.Side_Info->Length = 2;
    if (Count > 0) std::memcpy(B.Input->Data, Bytes, Count);
    B.Input->Length = static_cast<int32_t>(Count);
    B.Output->Length = 0;
  }

  // As the pipeline runs a stage: Input to Output, then the swap.
  template <class T_Stage>
  void Inverse(T_Stage& Stage) {
    Stage.Decode_Block(B);
    T_QOR_MCP::Swap_Buffers(B);
    Check_Length();
  }
  template <class T_Stage>
  void Forward(T_Stage& Stage) {
    Stage.Encode_Block(B);
    T_QOR_MCP::Swap_Buffers(B);
    Check_Length();
  }
  void Check_Length() const {
    if (B.Input->Length < 0 || B.Input->Length > QOR_Buffer_Capacity) Fail();
  }
  bool Holds(const uint8_t* Bytes, size_t Count) const {
    return B.Input->Length == static_cast<int32_t>(Count) && std::memcmp(B.Input->Data, Bytes, Count) == 0;
  }
};

T_Bench& Bench() {
  static T_Bench* The_Bench = new T_Bench;
  return *The_Bench;
}

// Reads the case's material: values of a few bytes, zeros past its end.
class T_Material {
 public:
  T_Material(const uint8_t* Data_, size_t Size_) : Data(Data_), Size(Size_) {}
  bool Empty() const { return Pos >= Size; }
  uint32_t Byte() { return Pos < Size ? Data[Pos++] : 0; }
  // A value below 2^24 - 1, mostly small: one byte below 0x80, else two or
  // four bytes, so that every exponent turns up.
  int32_t Integer() {
    const uint32_t b = Byte();
    if (b < 0x80) return static_cast<int32_t>(b);
    if (b < 0xC0) return static_cast<int32_t>((b & 0x3F) << 8 | Byte());
    const uint32_t Value = (b & 0x3F) << 18 | Byte() << 10 | Byte() << 2 | (Byte() & 3);
    return static_cast<int32_t>(std::min<uint32_t>(Value, (1u << 24) - 2));
  }
  const uint8_t* Rest() const { return Data + std::min(Pos, Size); }
  size_t Rest_Size() const { return Size - std::min(Pos, Size); }

 private:
  const uint8_t* Data;
  size_t Size;
  size_t Pos = 0;
};

// ---- What the step before each inverse stage leaves ----

// The coder's run stream for RLE_EXP: Count mantissas, each of its exponent
// 1..23 and below 2^e, grouped by rising exponent with every cursor at its
// group's end.
void Put_Runs(T_Bench& X, T_Material& M, int32_t Count) {
  T_QOR_Code_Streams& S = *X.B.Code_Streams;
  int32_t Exponent[256];
  int32_t Mantissa[256];
  int32_t Per_Exponent[QOR_Exponent_Slots] = {};
  for (int32_t k = 0; k < Count; ++k) {
    Exponent[k] = 1 + static_cast<int32_t>(M.Byte() % (QOR_Exponent_Slots - 1));
    Mantissa[k] = M.Integer() & ((1 << Exponent[k]) - 1);
    Per_Exponent[Exponent[k]] += 1;
  }
  S.Run_Cursors[0] = 0;
  for (int e = 1; e < QOR_Exponent_Slots; ++e) S.Run_Cursors[e] = S.Run_Cursors[e - 1] + Per_Exponent[e - 1];
  for (int32_t k = 0; k < Count; ++k) S.Runs[S.Run_Cursors[Exponent[k]]++] = Mantissa[k];
}

// The coder's integer stream for SIF: the integers' exponents in order, their
// mantissas grouped by exponent with the cursors at the group ends, the
// read position after the last exponent, the segment lengths and the
// terminating 0. A Segment_Start above 0 cuts the stream into two segments there.
void Finish_Integer_Stream(T_Bench& X, int32_t Segment_Start) {
  T_QOR_Code_Streams& S = *X.B.Code_Streams;
  int32_t Per_Exponent[QOR_Exponent_Slots] = {};
  for (int32_t i = 0; i < S.Exponent_Count; ++i) Per_Exponent[S.Exponents[i]] += 1;
  // Put_Integer left the mantissas in stream order; group them, stably.
  int32_t* Grouped = X.B.Int_Work;
  S.Mantissa_Cursors[0] = 0;
  int32_t Start[QOR_Exponent_Slots] = {};
  for (int e = 1; e < QOR_Exponent_Slots; ++e) Start[e] = (e == 1 ? 0 : Start[e - 1] + Per_Exponent[e - 1]);
  int32_t j = 0;
  for (int32_t i = 0; i < S.Exponent_Count; ++i) {
    const int E = S.Exponents[i];
    if (E > 0) Grouped[Start[E]++] = S.Mantissas[j++];
  }
  std::copy(Grouped, Grouped + j, S.Mantissas);
  for (int e = 1; e < QOR_Exponent_Slots; ++e) S.Mantissa_Cursors[e] = Start[e];
  if (Segment_Start > 0) {
    S.Segment_Lengths[0] = Segment_Start;
    S.Segment_Lengths[1] = S.Exponent_Count - Segment_Start;
    S.Segment_Count = 2;
  } else {
    S.Segment_Lengths[0] = S.Exponent_Count;
    S.Segment_Count = 1;
  }
  S.Segment_Lengths[S.Segment_Count] = 0;
}

// ---- Inverse stages on material from the input ----

void MTF_Inverse(T_Bench& X, T_Material& M) {
  X.Start(M.Rest(), M.Rest_Size());
  X.Inverse(X.MTF);
}

// First byte: run values, at most 63; then their exponents and mantissas; the rest is the symbols.
void RLE_EXP_Inverse(T_Bench& X, T_Material& M) {
  const int32_t Count = static_cast<int32_t>(M.Byte() & 63);
  X.Start(nullptr, 0);
  Put_Runs(X, M, Count);
  if (M.Rest_Size() > 0) std::memcpy(X.B.Input->Data, M.Rest(), M.Rest_Size());
  X.B.Input->Length = static_cast<int32_t>(M.Rest_Size());
  X.Inverse(X.RLE_EXP);
}

// The integers, one segment or, by the first byte, two; SIF reads the last.
void SIF_Inverse(T_Bench& X, T_Material& M) {
  const uint32_t Split = M.Byte();
  X.Start(nullptr, 0);
  int32_t Segment_Start = 0;
  for (int32_t k = 0; !M.Empty(); ++k) {
    if (Split != 0 && k == static_cast<int32_t>(Split & 0x3F)) Segment_Start = k;
    X.Pipeline.Put_Integer(M.Integer());
  }
  Finish_Integer_Stream(X, Segment_Start);
  X.Inverse(X.SIF);
}

// The symbol stream with run counts in bits, as the coder leaves it.
void Bit_Step_Inverse(T_Bench& X, T_Material& M) {
  X.Start(M.Rest(), M.Rest_Size());
  X.Pipeline.Decode_Bit_Step();
  T_QOR_MCP::Swap_Buffers(X.B);
  X.Check_Length();
}

// The AWFC path after the coder: bit step, AWFC (its percentage from the
// header, first byte), RLE_BIT with the counts the bit step left.
void AWFC_Path_Inverse(T_Bench& X, T_Material& M) {
  const uint32_t Percent = M.Byte();
  Bit_Step_Inverse(X, M);
  X.B.Side_Info->Data[2] = static_cast<uint8_t>(Percent);
  X.B.Side_Info->Length = 3;
  const bool Empty = X.B.Input->Length == 0;
  X.Inverse(X.AWFC);
  // An empty block passes untouched, its percentage left for the header check.
  if (X.B.Side_Info->Length != (Empty ? 3 : 2)) Fail();
  X.Inverse(X.RLE_BIT);
}

// Two bytes pick the primary index (0 and the row count included, which
// are out of range); the rest is the last column.
void BWT_Inverse(T_Bench& X, T_Material& M) {
  const uint32_t Index = M.Byte() | M.Byte() << 8;
  X.Start(M.Rest(), M.Rest_Size());
  const uint32_t P = Index % (M.Rest_Size() + 1);
  for (int k = 0; k < 3; ++k) X.B.Side_Info->Data[2 + k] = static_cast<uint8_t>(P >> (8 * k));
  X.B.Side_Info->Length = 5;
  X.Inverse(X.BWT);
  // The block is the rows but the end marker's.
  if (M.Rest_Size() > 0 && X.B.Input->Length != static_cast<int32_t>(M.Rest_Size()) - 1) Fail();
}

// The payload, its length in the header as the record reader checked it,
// and the three bytes after it as the reader leaves them.
void Coder_Inverse(T_Bench& X, T_Material& M, bool Fast, bool SIF) {
  X.Start(M.Rest(), M.Rest_Size());
  std::memset(X.B.Input->Data + M.Rest_Size(), 0, 3);
  const uint32_t P = static_cast<uint32_t>(M.Rest_Size());
  for (int k = 0; k < 3; ++k) X.B.Side_Info->Data[2 + k] = static_cast<uint8_t>(P >> (8 * k));
  X.B.Side_Info->Length = 5;
  X.B.Fast_Mode = Fast;
  X.B.SIF_Path = SIF;
  X.Inverse(X.Coder);
  const T_QOR_Code_Streams& S = *X.B.Code_Streams;
  if (X.B.Output->Length != static_cast<int32_t>(P)) Fail();  // the payload read, after the swap
  if (S.Exponent_Count < 0 || S.Exponent_Count > Decode_Limit) Fail();
  if (X.B.Side_Info->Length != 2) Fail();
}

void Coder_Fast_Inverse(T_Bench& X, T_Material& M) { Coder_Inverse(X, M, true, false); }
void Coder_SIF_Inverse(T_Bench& X, T_Material& M) { Coder_Inverse(X, M, false, true); }
void Coder_AWFC_Inverse(T_Bench& X, T_Material& M) { Coder_Inverse(X, M, false, false); }

// ---- Round trips: forward, then what the coder would hand back, then inverse ----

void MTF_Round_Trip(T_Bench& X, T_Material& M) {
  X.Start(M.Rest(), M.Rest_Size());
  X.Forward(X.MTF);
  X.Inverse(X.MTF);
  if (!X.Holds(M.Rest(), M.Rest_Size())) Fail();
}

void RLE_EXP_Round_Trip(T_Bench& X, T_Material& M) {
  X.Start(M.Rest(), M.Rest_Size());
  X.Forward(X.RLE_EXP);
  // The run values as the coder hands them back: mantissas grouped by exponent.
  T_QOR_Code_Streams& S = *X.B.Code_Streams;
  int32_t Per_Exponent[QOR_Exponent_Slots] = {};
  for (int32_t i = 0; i < S.Run_Count; ++i) Per_Exponent[T_QOR_MCP::Exponent_Of(S.Runs[i])] += 1;
  if (Per_Exponent[0] != 0) Fail();
  int32_t* Grouped = X.B.Int_Work;
  S.Run_Cursors[0] = 0;
  for (int e = 1; e < QOR_Exponent_Slots; ++e) S.Run_Cursors[e] = S.Run_Cursors[e - 1] + Per_Exponent[e - 1];
  for (int32_t i = 0; i < S.Run_Count; ++i) {
    const int E = T_QOR_MCP::Exponent_Of(S.Runs[i]);
    Grouped[S.Run_Cursors[E]++] = S.Runs[i] + 1 - (1 << E);
  }
  std::copy(Grouped, Grouped + S.Run_Count, S.Runs);
  X.Inverse(X.RLE_EXP);
  if (!X.Holds(M.Rest(), M.Rest_Size())) Fail();
}

void SIF_Round_Trip(T_Bench& X, T_Material& M) {
  if (M.Rest_Size() == 0) return;  // the SIF path never sees an empty block
  X.Start(M.Rest(), M.Rest_Size());
  X.Forward(X.SIF);
  T_QOR_Code_Streams& S = *X.B.Code_Streams;
  if (S.Segment_Count != 1 || S.Segment_Lengths[0] != S.Exponent_Count) Fail();
  Finish_Integer_Stream(X, 0);
  X.Inverse(X.SIF);
  if (!X.Holds(M.Rest(), M.Rest_Size())) Fail();
}

// The AWFC path between the BWT and the coder, and back.
void AWFC_Path_Round_Trip(T_Bench& X, T_Material& M) {
  X.Start(M.Rest(), M.Rest_Size());
  X.Forward(X.RLE_BIT);
  X.Forward(X.AWFC);
  X.Pipeline.Encode_Bit_Step();
  T_QOR_MCP::Swap_Buffers(X.B);
  X.Check_Length();
  X.Pipeline.Decode_Bit_Step();
  T_QOR_MCP::Swap_Buffers(X.B);
  X.Inverse(X.AWFC);
  X.Inverse(X.RLE_BIT);
  if (!X.Holds(M.Rest(), M.Rest_Size()) || X.B.Side_Info->Length != 2) Fail();
}

using T_Case = void (*)(T_Bench&, T_Material&);
constexpr T_Case Cases[] = {
    MTF_Inverse,        RLE_EXP_Inverse,    SIF_Inverse,          Bit_Step_Inverse,   AWFC_Path_Inverse,
    BWT_Inverse,        Coder_Fast_Inverse, Coder_SIF_Inverse,    Coder_AWFC_Inverse, MTF_Round_Trip,
    RLE_EXP_Round_Trip, SIF_Round_Trip,     AWFC_Path_Round_Trip,
};
constexpr size_t Case_Count = sizeof Cases / sizeof Cases[0];

// Blocks of a few KB keep every case fast; longer inputs are cut.
constexpr size_t Max_Material = 1 << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  T_Bench& X = Bench();
  T_Material M(Data + 1, std::min(Size - 1, Max_Material));
  try {
    Cases[Data[0] % Case_Count](X, M);
  } catch (const T_QOR_Damaged_Block&) {
    // Refused: the only other outcome a decoder may have.
  }
  return 0;
}
