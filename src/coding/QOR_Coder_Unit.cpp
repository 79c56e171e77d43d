#include "coding/QOR_Coder_Unit.h"

#include <algorithm>
#include <type_traits>

#include "pipeline/QOR_MCP_Unit.h"

// ----------------------------------------------------------- T_QOR_Range_Coder

void T_QOR_Range_Coder::Start_Encoding(uint8_t* Data, int32_t Position) {
  Out_Data = Data;
  Out_Pos = Position;
  Low = 0;
  Range = Initial_Range;
  Buffer_Byte = 0;
  Pending = 0;
}

int32_t T_QOR_Range_Coder::Finish_Encoding() {
  if (Range <= Bottom) Normalize_Encoder();
  // The code value is the closing byte (Low's top byte + 1) followed by the
  // bytes after the segment, the first of which is always 0: in Low's units it
  // lies 2^23 - b to 2^23 - b + 2^15 - 1 above Low (b = Low mod 2^23). It stays
  // below Low + Range for every following byte only if b + Range >= 2^23 + 2^15.
  Closing_Safe = uint64_t{Low & (Bottom - 1)} + Range >= Safe_Closing;
  const uint32_t Closing = (Low >> 23) + 1;
  if (Closing > 255) {
    Write_Byte(static_cast<uint8_t>(Buffer_Byte + 1));
    for (; Pending > 0; --Pending) Write_Byte(0x00);
  } else {
    Write_Byte(Buffer_Byte);
    for (; Pending > 0; --Pending) Write_Byte(0xFF);
  }
  Write_Byte(static_cast<uint8_t>(Closing));
  return Out_Pos;
}

void T_QOR_Range_Coder::Start_Decoding(const uint8_t* Data, int32_t Position, int32_t Readable) {
  In_Data = Data;
  In_Last = Readable - 1;
  // The leading byte of a segment is always 0 and is skipped unread.
  In_Pos = Position + 1;
  Buffer_Byte = Next_Byte();
  Low = Buffer_Byte >> 1;
  Range = 128;
}

int32_t T_QOR_Range_Coder::Finish_Decoding() {
  if (Range <= Bottom) Normalize_Decoder();
  return In_Pos - 3;
}

// ----------------------------------------------------------------- T_QOR_Coder
//
// Every path is written once, as the sequence of its decisions, and run by one
// of three codecs: the encoder (values come from the streams, bytes go to the
// payload), the decoder (bytes come from the payload, values go to the
// streams) and the verifier (values from the streams, bytes from the payload:
// it confirms that the payload decodes to exactly what was encoded).
// Codec.Store(Target, Value) stores only when decoding.

namespace {

// The encoding would not fit the output buffer.
struct T_Payload_Overflow {};
// Decoding the encoded payload gave another decision.
struct T_Verify_Mismatch {};

constexpr int32_t Max_Path_Segments = 3;
// Room kept free at the end of the output buffer: more than the bytes of the
// largest step between two room checks (a 23-bit mantissa: 21 decisions of at
// most 3 bytes), the closing bytes and the 3 bytes the verifier puts after the payload.
constexpr int64_t Output_Reserve = 256;
// The decoder reads up to three bytes past the last segment.
constexpr int32_t Look_Ahead = 3;

class T_Encoder {
 public:
  static constexpr bool Produces_Values = false;

  T_Encoder(T_QOR_Range_Coder& Coder, T_QOR_Buffer& Payload) : RC(Coder), Out(Payload) {}

  void Begin_Segment() { RC.Start_Encoding(Out.Data, Out.Length); }
  void End_Segment() {
    Out.Length = RC.Finish_Encoding();
    Ends[Segments++] = Out.Length;
    if (!RC.Closing_Is_Safe()) ++Unsafe;
  }
  template <bool Exact_Plain = false, class M>
  void Code(M& Model, int32_t Value) {
    RC.Encode<Exact_Plain>(Model, Value);
  }
  void Code_Two(T_QOR_Model& Model, int32_t Value) { RC.Encode_Two(Model, Value); }
  // A decision of a model of exactly Symbols symbols that are close to
  // equally likely; only decoding differs (it counts the index).
  template <int Symbols, class M>
  void Code_Counted(M& Model, int32_t Value) {
    Code(Model, Value);
  }
  // The low Count bits of Value, appended to Result.
  int32_t Code_Bits(T_QOR_Model& Model, int32_t Count, int32_t Value, int32_t Result) {
    RC.Encode_Two_Bits(Model, Value, Count);
    return (Result << Count) | (Value & ((1 << Count) - 1));
  }
  void Check_Room() const {
    if (RC.Write_Position() > QOR_Buffer_Capacity - Output_Reserve) throw T_Payload_Overflow{};
  }
  template <class T, class V>
  static void Store(T&, V) {}

  const int32_t* Segment_Ends() const { return Ends; }
  int32_t Unsafe_Closings() const { return Unsafe; }

 private:
  T_QOR_Range_Coder& RC;
  T_QOR_Buffer& Out;
  int32_t Ends[Max_Path_Segments] = {};
  int32_t Segments = 0;
  int32_t Unsafe = 0;
};

class T_Decoder {
 public:
  static constexpr bool Produces_Values = true;

  T_Decoder(T_QOR_Range_Coder& Coder, T_QOR_Buffer& Payload, int32_t Payload_Length)
      : RC(Coder), In(Payload), Length(Payload_Length) {}

  void Begin_Segment() { RC.Start_Decoding(In.Data, In.Length, Length + Look_Ahead); }
  void End_Segment() {
    const int32_t End = RC.Finish_Decoding();
    if (End > Length) Report_Damaged_Block("coder segment runs past the payload");
    In.Length = End;
  }
  template <bool Exact_Plain = false, class M>
  void Code(M& Model, int32_t& Value) {
    Value = RC.Decode<Exact_Plain>(Model);
  }
  void Code_Two(T_QOR_Model& Model, int32_t& Value) { Value = RC.Decode_Two(Model); }
  template <int Symbols, class M>
  void Code_Counted(M& Model, int32_t& Value) {
    Value = RC.Decode<false, Symbols>(Model);
  }
  int32_t Code_Bits(T_QOR_Model& Model, int32_t Count, int32_t, int32_t Result) {
    return RC.Decode_Two_Bits(Model, Count, Result);
  }
  // A valid segment never reads further than the look-ahead after the payload.
  void Check_Room() const {
    if (RC.Read_Position() > Length + Look_Ahead) Report_Damaged_Block("coder segment runs past the payload");
  }
  template <class T, class V>
  static void Store(T& Target, V Value) {
    Target = static_cast<T>(Value);
  }

 private:
  T_QOR_Range_Coder& RC;
  T_QOR_Buffer& In;
  int32_t Length;
};

class T_Verifier {
 public:
  static constexpr bool Produces_Values = false;

  T_Verifier(T_QOR_Range_Coder& Coder, const uint8_t* Payload, int32_t Payload_Length, const int32_t* Segment_Ends)
      : RC(Coder), Data(Payload), Length(Payload_Length), Ends(Segment_Ends) {}

  void Begin_Segment() { RC.Start_Decoding(Data, Position, Length + Look_Ahead); }
  void End_Segment() {
    Position = RC.Finish_Decoding();
    if (Position != Ends[Segments++]) throw T_Verify_Mismatch{};
  }
  template <bool Exact_Plain = false, class M>
  void Code(M& Model, int32_t Value) {
    if (RC.Decode<Exact_Plain>(Model) != Value) throw T_Verify_Mismatch{};
  }
  void Code_Two(T_QOR_Model& Model, int32_t Value) {
    if (RC.Decode_Two(Model) != Value) throw T_Verify_Mismatch{};
  }
  template <int Symbols, class M>
  void Code_Counted(M& Model, int32_t Value) {
    Code(Model, Value);
  }
  int32_t Code_Bits(T_QOR_Model& Model, int32_t Count, int32_t Value, int32_t Result) {
    const int32_t Low_Bits = Value & ((1 << Count) - 1);
    if (RC.Decode_Two_Bits(Model, Count, 0) != Low_Bits) throw T_Verify_Mismatch{};
    return (Result << Count) | Low_Bits;
  }
  // Up to the first mismatch the decoder follows the encoder byte for byte.
  static void Check_Room() {}
  template <class T, class V>
  static void Store(T&, V) {}

 private:
  T_QOR_Range_Coder& RC;
  const uint8_t* Data;
  int32_t Length;
  const int32_t* Ends;
  int32_t Position = 0;
  int32_t Segments = 0;
};

// Group starts: entry 0 is 0, each next one follows the previous group.
void Set_Group_Starts(const int32_t* Counts, int32_t* Cursors) {
  Cursors[0] = 0;
  for (int32_t e = 1; e < QOR_Exponent_Slots; ++e) Cursors[e] = Cursors[e - 1] + Counts[e - 1];
}

// Expansion hands the inverse stages every cursor at the end of its group.
void Set_Group_Ends(const int32_t* Counts, int32_t* Cursors) {
  for (int32_t e = 1; e < QOR_Exponent_Slots; ++e) Cursors[e] += Counts[e];
}

// Lays the run mantissas out in UInt_Work by exponent, each group in run order.
void Group_Runs(T_QOR_Block_Data& B) {
  T_QOR_Code_Streams& S = *B.Code_Streams;
  std::fill(S.Run_Exponent_Counts, S.Run_Exponent_Counts + QOR_Exponent_Slots, 0);
  for (int32_t i = 0; i < S.Run_Count; ++i) S.Run_Exponent_Counts[T_QOR_MCP::Exponent_Of(S.Runs[i])] += 1;
  Set_Group_Starts(S.Run_Exponent_Counts, S.Run_Cursors);
  for (int32_t i = 0; i < S.Run_Count; ++i) {
    const int32_t V = S.Runs[i];
    if (V == 0) continue;
    const int32_t E = T_QOR_MCP::Exponent_Of(V);
    B.UInt_Work[S.Run_Cursors[E]++] = static_cast<uint32_t>(V + 1 - (1 << E));
  }
  Set_Group_Starts(S.Run_Exponent_Counts, S.Run_Cursors);
}

// Lays the integer mantissas out in Int_Work by exponent, each group in stream order.
void Group_Mantissas(T_QOR_Block_Data& B) {
  T_QOR_Code_Streams& S = *B.Code_Streams;
  Set_Group_Starts(S.Exponent_Counts, S.Mantissa_Cursors);
  int32_t j = 0;
  for (int32_t i = 0; i < S.Exponent_Count; ++i) {
    const int32_t E = S.Exponents[i];
    if (E > 0) B.Int_Work[S.Mantissa_Cursors[E]++] = S.Mantissas[j++];
  }
  Set_Group_Starts(S.Exponent_Counts, S.Mantissa_Cursors);
}

}  // namespace

T_QOR_Coder::T_QOR_Coder() = default;
T_QOR_Coder::~T_QOR_Coder() = default;

namespace {

template <class T, class... A>
T& Made(std::unique_ptr<T>& Model, A... Arguments) {
  if (!Model) Model = std::make_unique<T>(Arguments...);
  return *Model;
}

}  // namespace

void T_QOR_Coder::Reset_Mantissa_Models() {
  Integer_Models->Bit_Model.Reset();
  Integer_Models->Mantissa_Model_1.Reset();
  Integer_Models->Mantissa_Model_2.Reset();
  Integer_Models->Mantissa_Model_3.Reset();
}

// Decoding and encoding walk the same decisions, the values coming from the
// payload or from the symbol. Every model is coded through its own type (the
// symbol model's type tells which of its models are context models), so that
// no update goes through dispatch.
template <class SM, class C>
int32_t T_QOR_Coder::Code_Symbol(C& Codec, SM& Model, int32_t Symbol) {
  constexpr bool Context = std::is_same_v<SM, T_QOR_Symbol_Context_Model>;
  static_assert(Context || std::is_same_v<SM, T_QOR_Symbol_Model>);
  int32_t Head = C::Produces_Values ? 0 : std::min(Symbol, 3);
  if constexpr (Context) {
    Codec.Code(static_cast<T_QOR_Context_Model&>(*Model.Head_Model), Head);
  } else {
    Codec.template Code<true>(*Model.Head_Model, Head);
  }
  if (Head != 3) return Head;
  int32_t Group = C::Produces_Values ? 0 : Model.Group_Of[Symbol];
  if constexpr (Context) {
    Codec.Code(static_cast<T_QOR_Context_Model&>(*Model.Group_Model), Group);
  } else {
    Codec.template Code<true>(*Model.Group_Model, Group);
  }
  // The context variant's groups 0 and 1 are context models.
  return Code_Offset(Codec, Model, Group, Symbol, Context && Group <= 1);
}

template <class C>
int32_t T_QOR_Coder::Code_Exponent(C& Codec, int32_t Exponent) {
  const T_QOR_Exponent_Model& Model = *Exponent_Model;
  int32_t Group = C::Produces_Values ? 0 : Model.Group_Of[Exponent];
  Codec.Code(*Model.Head_Model, Group);
  // Only group 4 has more than one exponent, and its model is a context model.
  return Code_Offset(Codec, Model, Group, Exponent, true);
}

// The place of Value in its group, with the group's model; a group of one
// value needs no decision.
template <class C, class M>
int32_t T_QOR_Coder::Code_Offset(C& Codec, const M& Model, int32_t Group, int32_t Value, bool Context_Group) {
  T_QOR_Model& Offsets = Model.Group_Model_At(Group);
  int32_t Offset = C::Produces_Values ? 0 : Value - M::Group_Value(Group, 0);
  if (Offsets.Symbol_Count > 1) {
    if (Context_Group) {
      Codec.Code(static_cast<T_QOR_Context_Model&>(Offsets), Offset);
    } else {
      Codec.template Code<true>(Offsets, Offset);
    }
  }
  return M::Group_Value(Group, Offset);
}

// Exponents 1..3 in one decision; longer mantissas as their top three bits and
// then one decision per remaining bit, most significant first. The bit model
// and the first mantissa model are plain two-symbol models.
template <class C>
int32_t T_QOR_Coder::Code_Mantissa(C& Codec, int32_t Exponent, int32_t Mantissa) {
  T_Integer_Models& Models = *Integer_Models;
  T_QOR_Context_Model& Top = static_cast<T_QOR_Context_Model&>(*Models.Mantissa_Model_3.Model);
  switch (Exponent) {
    case 1: Codec.Code_Two(*Models.Mantissa_Model_1.Model, Mantissa); return Mantissa;
    case 2: Codec.template Code<true>(*Models.Mantissa_Model_2.Model, Mantissa); return Mantissa;
    case 3: Codec.template Code_Counted<QOR_Mantissa_Top_Symbols>(Top, Mantissa); return Mantissa;
    default: break;
  }
  int32_t Result = Mantissa >> (Exponent - 3);
  Codec.template Code_Counted<QOR_Mantissa_Top_Symbols>(Top, Result);
  return Codec.Code_Bits(*Models.Bit_Model.Model, Exponent - 3, Mantissa, Result);
}

// A count or length as three header bytes, most significant first.
template <class C>
int32_t T_QOR_Coder::Code_Number(C& Codec, int32_t Value) {
  Codec.Check_Room();
  int32_t Result = 0;
  for (int32_t Shift = 16; Shift >= 0; Shift -= 8) {
    Result = (Result << 8) | Code_Symbol(Codec, Integer_Models->Header_Model, (Value >> Shift) & 0xFF);
  }
  return Result;
}

template <class C>
void T_QOR_Coder::Code_Run_Histogram(C& Codec, T_QOR_Code_Streams& S, int32_t Decode_Limit) {
  int32_t Highest = 0;
  if constexpr (!C::Produces_Values) {
    for (int32_t e = QOR_Exponent_Slots - 1; e >= 1 && Highest == 0; --e) {
      if (S.Run_Exponent_Counts[e] > 0) Highest = e;
    }
  }
  Highest = Code_Symbol(Codec, Integer_Models->Header_Model, Highest);
  if constexpr (C::Produces_Values) {
    if (Highest >= QOR_Exponent_Slots) Report_Damaged_Block("run histogram longer than the exponents");
    std::fill(S.Run_Exponent_Counts, S.Run_Exponent_Counts + QOR_Exponent_Slots, 0);
  }
  int64_t Runs = 0;
  for (int32_t e = 0; e <= Highest; ++e) {
    const int32_t Count = Code_Number(Codec, S.Run_Exponent_Counts[e]);
    Codec.Store(S.Run_Exponent_Counts[e], Count);
    Runs += Count;
  }
  if constexpr (C::Produces_Values) {
    // Run values are integers the coder decodes too: a few bytes can claim
    // millions of them, each of several model decisions.
    if (Runs > std::min(Decode_Limit, S.Run_Capacity)) Report_Damaged_Block("more runs than the run stream holds");
  }
}

template <class C, class T>
void T_QOR_Coder::Code_Mantissa_Pass(C& Codec, const int32_t* Counts, const int32_t* Cursors, T* Values) {
  for (int32_t e = 1; e < QOR_Exponent_Slots; ++e) {
    T* Group = Values + Cursors[e];
    for (int32_t k = 0; k < Counts[e]; ++k) {
      Codec.Check_Room();
      const int32_t Given = C::Produces_Values ? 0 : static_cast<int32_t>(Group[k]);
      Codec.Store(Group[k], Code_Mantissa(Codec, e, Given));
    }
  }
}

// The bytes of Input (none on decoding) and End_Symbol, in one segment with a
// fresh 257-symbol model; decoding writes the symbols to Output.
template <class SM, class C>
void T_QOR_Coder::Code_Symbol_Segment(C& Codec, T_QOR_Block_Data& B) {
  SM& Model = [this]() -> SM& {
    if constexpr (std::is_same_v<SM, T_QOR_Symbol_Context_Model>) {
      return Made(Context_Symbol_Model, End_Symbol + 1);
    } else {
      return Made(Plain_Symbol_Model, End_Symbol + 1);
    }
  }();
  Model.Set_Block_Flags(Block_Fast_Mode, Block_SIF_Path);
  Model.Reset();
  Codec.Begin_Segment();
  const uint8_t* In = B.Input->Data;
  const int32_t In_Length = B.Input->Length;
  uint8_t* Out = B.Output->Data;
  int32_t n = 0;
  for (;; ++n) {
    if constexpr (C::Produces_Values) {
      if (n >= B.Decode_Limit) Report_Damaged_Block("more symbols than a buffer holds");
    }
    Codec.Check_Room();
    const int32_t Given = C::Produces_Values ? 0 : (n < In_Length ? In[n] : End_Symbol);
    const int32_t Symbol = Code_Symbol(Codec, Model, Given);
    if (Symbol == End_Symbol) break;
    Codec.Store(Out[n], Symbol);
  }
  Codec.Store(B.Output->Length, n);
  Codec.End_Segment();
}

template <class C>
void T_QOR_Coder::Code_Fast_Path(C& Codec, T_QOR_Block_Data& B) {
  T_QOR_Code_Streams& S = *B.Code_Streams;
  Integer_Models->Header_Model.Reset();
  Codec.Begin_Segment();
  Code_Run_Histogram(Codec, S, B.Decode_Limit);
  Codec.End_Segment();

  if constexpr (C::Produces_Values) Set_Group_Starts(S.Run_Exponent_Counts, S.Run_Cursors);
  Reset_Mantissa_Models();
  Codec.Begin_Segment();
  if constexpr (C::Produces_Values) {
    Code_Mantissa_Pass(Codec, S.Run_Exponent_Counts, S.Run_Cursors, S.Runs);
  } else {
    Code_Mantissa_Pass(Codec, S.Run_Exponent_Counts, S.Run_Cursors, B.UInt_Work);
  }
  Codec.End_Segment();
  if constexpr (C::Produces_Values) Set_Group_Ends(S.Run_Exponent_Counts, S.Run_Cursors);

  Code_Symbol_Segment<T_QOR_Symbol_Model>(Codec, B);
}

template <class C>
void T_QOR_Coder::Code_SIF_Path(C& Codec, T_QOR_Block_Data& B) {
  T_QOR_Code_Streams& S = *B.Code_Streams;
  Integer_Models->Header_Model.Reset();
  Codec.Begin_Segment();
  Codec.Store(S.Exponent_Count, Code_Number(Codec, S.Exponent_Count));
  Codec.Store(S.Reserved_Value, Code_Number(Codec, S.Reserved_Value));
  Codec.Store(S.Segment_Count, Code_Number(Codec, S.Segment_Count));
  if constexpr (C::Produces_Values) {
    if (S.Exponent_Count > B.Decode_Limit) Report_Damaged_Block("more integers than the exponent stream holds");
    if (S.Segment_Count > QOR_Max_Segments) Report_Damaged_Block("too many integer segments");
  }
  int64_t Segmented = 0;
  for (int32_t k = 0; k < S.Segment_Count; ++k) {
    Codec.Store(S.Segment_Lengths[k], Code_Number(Codec, S.Segment_Lengths[k]));
    Segmented += S.Segment_Lengths[k];
  }
  if constexpr (C::Produces_Values) {
    if (Segmented > S.Exponent_Count) Report_Damaged_Block("segments longer than the integer stream");
  }
  Code_Run_Histogram(Codec, S, B.Decode_Limit);
  Codec.End_Segment();

  Exponent_Model->Reset();
  Codec.Begin_Segment();
  // Decoding counts the exponents as they come: the count rides in the shadow
  // of the decisions, where a pass of its own afterwards would wait on every
  // increment of the same few counters.
  if constexpr (C::Produces_Values) std::fill(S.Exponent_Counts, S.Exponent_Counts + QOR_Exponent_Slots, 0);
  for (int32_t i = 0; i < S.Exponent_Count; ++i) {
    Codec.Check_Room();
    const int32_t Given = C::Produces_Values ? 0 : S.Exponents[i];
    const int32_t Exponent = Code_Exponent(Codec, Given);
    Codec.Store(S.Exponents[i], Exponent);
    if constexpr (C::Produces_Values) S.Exponent_Counts[Exponent] += 1;
  }
  Codec.End_Segment();

  if constexpr (C::Produces_Values) {
    // Exponent 0 has no mantissa.
    S.Exponent_Counts[0] = 0;
    Set_Group_Starts(S.Exponent_Counts, S.Mantissa_Cursors);
    Set_Group_Starts(S.Run_Exponent_Counts, S.Run_Cursors);
  }
  // Integer and run mantissas share one segment, the models running on.
  Reset_Mantissa_Models();
  Codec.Begin_Segment();
  if constexpr (C::Produces_Values) {
    Code_Mantissa_Pass(Codec, S.Exponent_Counts, S.Mantissa_Cursors, S.Mantissas);
    Code_Mantissa_Pass(Codec, S.Run_Exponent_Counts, S.Run_Cursors, S.Runs);
  } else {
    Code_Mantissa_Pass(Codec, S.Exponent_Counts, S.Mantissa_Cursors, B.Int_Work);
    Code_Mantissa_Pass(Codec, S.Run_Exponent_Counts, S.Run_Cursors, B.UInt_Work);
  }
  Codec.End_Segment();
  if constexpr (C::Produces_Values) {
    S.Segment_Lengths[S.Segment_Count] = 0;
    Set_Group_Ends(S.Exponent_Counts, S.Mantissa_Cursors);
    Set_Group_Ends(S.Run_Exponent_Counts, S.Run_Cursors);
  }
}

template <class C>
void T_QOR_Coder::Code_Path(C& Codec, T_QOR_Block_Data& B, bool Fast_Mode, bool SIF_Path) {
  if (Fast_Mode) {
    Code_Fast_Path(Codec, B);
  } else if (SIF_Path) {
    Code_SIF_Path(Codec, B);
  } else {
    Code_Symbol_Segment<T_QOR_Symbol_Context_Model>(Codec, B);
  }
}

// The context models read the block's flags as its record has them.
void T_QOR_Coder::Set_Block_Flags(const T_QOR_Block_Data& B) {
  Block_Fast_Mode = B.Fast_Mode;
  Block_SIF_Path = B.SIF_Path;
  // The symbol models are made and flagged where their segment starts.
  if (!B.Fast_Mode && !B.SIF_Path) return;
  T_Integer_Models& Models = Made(Integer_Models);
  Models.Bit_Model.Set_Block_Flags(B.Fast_Mode, B.SIF_Path);
  Models.Mantissa_Model_1.Set_Block_Flags(B.Fast_Mode, B.SIF_Path);
  Models.Mantissa_Model_2.Set_Block_Flags(B.Fast_Mode, B.SIF_Path);
  Models.Mantissa_Model_3.Set_Block_Flags(B.Fast_Mode, B.SIF_Path);
  if (!B.Fast_Mode) Made(Exponent_Model).Set_Block_Flags(B.Fast_Mode, B.SIF_Path);
}

bool T_QOR_Coder::Encode_Block(T_QOR_Block_Data& B) {
  Set_Block_Flags(B);
  const bool Fast = B.Fast_Mode;
  const bool SIF = !Fast && B.SIF_Path;
  // Nothing sets the reserved value, and an expansion in the same pipeline
  // leaves whatever it decoded there: every payload carries 0.
  B.Code_Streams->Reserved_Value = 0;
  if (SIF) Group_Mantissas(B);
  if (Fast || SIF) Group_Runs(B);

  Last_Unsafe_Closings = 0;
  B.Output->Length = 0;
  T_Encoder Encoder(Range_Coder, *B.Output);
  try {
    Code_Path(Encoder, B, Fast, SIF);
  } catch (const T_Payload_Overflow&) {
    return false;
  }
  QOR_MCP->Push_Side_Info(static_cast<uint32_t>(B.Output->Length), 3);
  Last_Unsafe_Closings = Encoder.Unsafe_Closings();
  return Last_Unsafe_Closings == 0 || Verify_Payload(B, Fast, SIF, Encoder.Segment_Ends());
}

// Decodes the payload back as the expansion will see it and compares every
// decision. For a fixed payload the code values that decode correctly form an
// interval that contains the one with zero bytes after the last segment, so
// the largest following bytes (0 as always, then 0xFF 0xFF) are the only case
// left to try; inner segments are followed by the next segment's own bytes.
bool T_QOR_Coder::Verify_Payload(T_QOR_Block_Data& B, bool Fast, bool SIF, const int32_t* Segment_Ends) {
  T_QOR_Buffer& Out = *B.Output;
  uint8_t* Tail = Out.Data + Out.Length;
  const uint8_t Saved[Look_Ahead] = {Tail[0], Tail[1], Tail[2]};
  Tail[0] = 0x00;
  Tail[1] = 0xFF;
  Tail[2] = 0xFF;
  T_Verifier Verifier(Range_Coder, Out.Data, Out.Length, Segment_Ends);
  bool Same = true;
  try {
    Code_Path(Verifier, B, Fast, SIF);
  } catch (const T_Verify_Mismatch&) {
    Same = false;
  }
  std::copy(Saved, Saved + Look_Ahead, Tail);
  return Same;
}

void T_QOR_Coder::Decode_Block(T_QOR_Block_Data& B) {
  Set_Block_Flags(B);
  const bool Fast = B.Fast_Mode;
  const bool SIF = !Fast && B.SIF_Path;
  const int32_t Length = static_cast<int32_t>(QOR_MCP->Pop_Side_Info(3));
  if (Length > QOR_Buffer_Capacity) Report_Damaged_Block("payload longer than a buffer");
  // The decoder runs three bytes ahead of its decisions; the first byte after
  // the last segment must be 0 like the leading byte of any next segment.
  B.Input->Data[Length] = 0;
  B.Input->Length = 0;
  T_Decoder Decoder(Range_Coder, *B.Input, Length);
  Code_Path(Decoder, B, Fast, SIF);
  if (B.Input->Length != Length) Report_Damaged_Block("payload length does not match its decoding");
}
