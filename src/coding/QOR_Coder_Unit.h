// The entropy coder: a carry-propagating range coder and the coder stage that
// turns a transformed block into a payload of range-coder segments.
#pragma once

#include <cstdint>
#include <memory>

#include "coding/QOR_Model_Unit.h"

struct T_QOR_Block_Data;
struct T_QOR_Code_Streams;

// Range coder with a 31-bit low register, one held-back byte and a count of
// held-back 0xFF bytes for carries. The decoder's register sits one bit off
// the byte grid: 7 bits of the newest byte and the last bit of the one before.
class T_QOR_Range_Coder {
 public:
  static constexpr uint32_t Initial_Range = 0x80000000u;
  static constexpr uint32_t Bottom = 0x800000u;
  static constexpr uint32_t Carry_Free_Limit = 0x7F800000u;
  static constexpr uint32_t Low_Mask = 0x7FFFFFFFu;
  // A closed segment decodes the same whatever bytes follow it (the first of
  // them is always 0) when Low mod 2^23 plus the final Range reaches this.
  static constexpr uint64_t Safe_Closing = uint64_t{Bottom} + 0x8000u;

  void Start_Encoding(uint8_t* Data, int32_t Position);
  // Exact_Plain: the caller knows the model was created as a T_QOR_Model
  // itself, so its Update is called without the virtual dispatch.
  template <bool Exact_Plain = false, class M>
  void Encode(M& Model, int32_t Symbol);
  int32_t Finish_Encoding();
  // Encode and Decode for a plain model of two symbols (see Update_Two): index
  // 2 owns [0, Freq[2]) of the scale and index 1 the rest, so neither the
  // search nor the general cumulative reads are needed.
  void Encode_Two(T_QOR_Model& Model, int32_t Symbol);
  int32_t Decode_Two(T_QOR_Model& Model);
  // The low Count bits of Value as Count decisions of Encode_Two with one
  // model, most significant first; and their decoding, appended to Result.
  // The registers stay in locals for the whole run: kept in the coder, every
  // model update (an int store the compiler must assume may alias them) would
  // send them through memory between decisions.
  void Encode_Two_Bits(T_QOR_Model& Model, int32_t Value, int32_t Count);
  int32_t Decode_Two_Bits(T_QOR_Model& Model, int32_t Count, int32_t Result);
  // After Finish_Encoding: true when the segment's decisions do not depend on
  // the second and third byte after it.
  bool Closing_Is_Safe() const { return Closing_Safe; }
  // Bytes the encoder has written or still holds back; the closing adds one.
  int64_t Write_Position() const { return int64_t{Out_Pos} + Pending + 1; }

  // Readable is the number of bytes of Data that may be read; past it the
  // decoder sees the last readable byte again (only a damaged payload gets there).
  void Start_Decoding(const uint8_t* Data, int32_t Position, int32_t Readable);
  // Symbols, when above 0, is the model's exact symbol count: the index is
  // then counted rather than searched for (see the definition).
  template <bool Exact_Plain = false, int Symbols = 0, class M>
  int32_t Decode(M& Model);
  int32_t Finish_Decoding();
  // Index of the next byte the decoder reads.
  int32_t Read_Position() const { return In_Pos; }

 private:
  void Normalize_Encoder() { Normalize_Encoder(Low, Range); }
  void Normalize_Encoder(uint32_t& Low_, uint32_t& Range_);
  void Normalize_Decoder() { Normalize_Decoder(Low, Range); }
  void Normalize_Decoder(uint32_t& Low_, uint32_t& Range_);
  static void Put_Two(T_QOR_Model& Model, int32_t Symbol, uint32_t& Low_, uint32_t& Range_);
  static int32_t Decide_Two(T_QOR_Model& Model, uint32_t& Low_, uint32_t& Range_);
  void Write_Byte(uint8_t Byte) { Out_Data[Out_Pos++] = Byte; }
  uint8_t Next_Byte() {
    const int32_t Index = In_Pos < In_Last ? In_Pos : In_Last;
    ++In_Pos;
    return In_Data[Index];
  }

  const uint8_t* In_Data = nullptr;
  uint8_t* Out_Data = nullptr;
  int32_t In_Pos = 0;
  int32_t Out_Pos = 0;
  uint32_t Low = 0;
  uint32_t Range = 0;
  uint8_t Buffer_Byte = 0;
  int32_t Pending = 0;
  int32_t In_Last = 0;
  bool Closing_Safe = true;

  template <bool Exact_Plain, class M>
  static void Update_Model(M& Model, int32_t Index) {
    if constexpr (Exact_Plain) {
      Model.T_QOR_Model::Update(Index);
    } else {
      Model.Update(Index);
    }
  }
};

inline void T_QOR_Range_Coder::Normalize_Encoder(uint32_t& Low_, uint32_t& Range_) {
  while (Range_ <= Bottom) {
    if (Low_ < Carry_Free_Limit) {
      Write_Byte(Buffer_Byte);
      for (; Pending > 0; --Pending) Write_Byte(0xFF);
      Buffer_Byte = static_cast<uint8_t>(Low_ >> 23);
    } else if (Low_ & 0x80000000u) {
      Write_Byte(static_cast<uint8_t>(Buffer_Byte + 1));
      for (; Pending > 0; --Pending) Write_Byte(0x00);
      Buffer_Byte = static_cast<uint8_t>(Low_ >> 23);
    } else {
      ++Pending;
    }
    Range_ <<= 8;
    Low_ = (Low_ << 8) & Low_Mask;
  }
}

template <bool Exact_Plain, class M>
inline void T_QOR_Range_Coder::Encode(M& Model, int32_t Symbol) {
  const int32_t i = Model.Char_To_Index[Symbol];
  if (Range <= Bottom) Normalize_Encoder();
  const uint32_t Total = static_cast<uint32_t>(Model.Cum_Freq[0]);
  const uint32_t r = Range / Total;
  const uint32_t Below = r * static_cast<uint32_t>(Model.Cum_Freq[i]);
  Low += Below;
  // The top symbol also takes the remainder of the division. Chosen by mask:
  // whether the symbol is the top one is as hard to predict as the symbol,
  // and the encoder has no search whose outcome would teach the predictor.
  const uint32_t Top = 0u - static_cast<uint32_t>(Model.Cum_Freq[i - 1] >= Model.Cum_Freq[0]);
  const uint32_t Share = r * static_cast<uint32_t>(Model.Cum_Freq[i - 1] - Model.Cum_Freq[i]);
  Range = (Share & ~Top) | ((Range - Below) & Top);
  Update_Model<Exact_Plain>(Model, i);
}

// A branch on the symbol would be mispredicted on nearly random bits, as in
// Decide_Two: index 1 takes the top of the range, index 2 the bottom, by mask.
inline void T_QOR_Range_Coder::Put_Two(T_QOR_Model& Model, int32_t Symbol, uint32_t& Low_, uint32_t& Range_) {
  const int32_t i = Model.Char_To_Index[Symbol];
  const uint32_t r = Range_ / static_cast<uint32_t>(Model.Cum_Freq[0]);
  const uint32_t Share_2 = r * static_cast<uint32_t>(Model.Freq[2]);
  const uint32_t First = 0u - static_cast<uint32_t>(i == 1);
  Low_ += Share_2 & First;
  Range_ = ((Range_ - Share_2) & First) | (Share_2 & ~First);
  Model.Update_Two(i);
}

inline void T_QOR_Range_Coder::Encode_Two(T_QOR_Model& Model, int32_t Symbol) {
  if (Range <= Bottom) Normalize_Encoder();
  Put_Two(Model, Symbol, Low, Range);
}

inline void T_QOR_Range_Coder::Encode_Two_Bits(T_QOR_Model& Model, int32_t Value, int32_t Count) {
  uint32_t Low_ = Low;
  uint32_t Range_ = Range;
  for (int32_t Bit = Count - 1; Bit >= 0; --Bit) {
    if (Range_ <= Bottom) Normalize_Encoder(Low_, Range_);
    Put_Two(Model, (Value >> Bit) & 1, Low_, Range_);
  }
  Low = Low_;
  Range = Range_;
}

// Mantissa bits are close to random, so a branch on the decision would be
// mispredicted half the time: both outcomes are computed and one is taken by
// a mask, which the compiler cannot turn back into a branch the way it does a
// conditional.
inline int32_t T_QOR_Range_Coder::Decide_Two(T_QOR_Model& Model, uint32_t& Low_, uint32_t& Range_) {
  const uint32_t r = Range_ / static_cast<uint32_t>(Model.Cum_Freq[0]);
  const uint32_t Share_2 = r * static_cast<uint32_t>(Model.Freq[2]);
  const uint32_t Second = Low_ < Share_2 ? 1u : 0u;
  const uint32_t Mask = 0u - Second;
  Range_ = (Share_2 & Mask) | ((Range_ - Share_2) & ~Mask);
  Low_ -= Share_2 & ~Mask;
  const int32_t i = 1 + static_cast<int32_t>(Second);
  const int32_t Symbol = Model.Index_To_Char[i];
  Model.Update_Two(i);
  return Symbol;
}

inline int32_t T_QOR_Range_Coder::Decode_Two(T_QOR_Model& Model) {
  if (Range <= Bottom) Normalize_Decoder();
  return Decide_Two(Model, Low, Range);
}

inline int32_t T_QOR_Range_Coder::Decode_Two_Bits(T_QOR_Model& Model, int32_t Count, int32_t Result) {
  uint32_t Low_ = Low;
  uint32_t Range_ = Range;
  for (; Count > 0; --Count) {
    if (Range_ <= Bottom) Normalize_Decoder(Low_, Range_);
    Result = 2 * Result + Decide_Two(Model, Low_, Range_);
  }
  Low = Low_;
  Range = Range_;
  return Result;
}

inline void T_QOR_Range_Coder::Normalize_Decoder(uint32_t& Low_, uint32_t& Range_) {
  while (Range_ <= Bottom) {
    Low_ = (Low_ << 8) | ((static_cast<uint32_t>(Buffer_Byte) << 7) & 0xFF);
    Buffer_Byte = Next_Byte();
    Low_ |= static_cast<uint32_t>(Buffer_Byte) >> 1;
    Range_ <<= 8;
  }
}

template <bool Exact_Plain, int Symbols, class M>
inline int32_t T_QOR_Range_Coder::Decode(M& Model) {
  if (Range <= Bottom) Normalize_Decoder();
  const uint32_t Total = static_cast<uint32_t>(Model.Cum_Freq[0]);
  const uint32_t r = Range / Total;
  // The symbol is the first index whose cumulative frequency is at most
  // min(Low / r, Total - 1). Comparing Low with r * Cum_Freq[i] instead finds
  // the same index without a second division: Low / r < C exactly when
  // Low < r * C, and when Low / r reaches Total (damaged input) both stop at
  // index 1, as Freq[1] >= 1 in every model that codes. r * Cum_Freq[i] never
  // exceeds Range, so the products fit.
  // Cum_Freq falls with the index, so the index the search stops at is also
  // 1 + the count of the indices whose product is still above Low. For a
  // model whose decisions are close to uniform the search's exit is
  // mispredicted most of the time; the count, over a known number of
  // symbols, takes no branch.
  int32_t i = 1;
  uint32_t Below;
  if constexpr (Symbols > 0) {
#pragma GCC unroll 16
    for (int j = 1; j < Symbols; ++j) i += Low < r * static_cast<uint32_t>(Model.Cum_Freq[j]) ? 1 : 0;
    Below = r * static_cast<uint32_t>(Model.Cum_Freq[i]);
  } else {
    if (Exact_Plain && Model.Symbol_Count > 16) {
      // A plain model of a long alphabet (the fast path's offsets in groups
      // of up to 109 symbols) is searched four indices a step first: on
      // spread-out symbols, such as those of incompressible data, the search
      // one index a step took tens of steps. Index i + 3 still above Low
      // means that i .. i + 3 all are, as Cum_Freq falls with the index.
      const int32_t Last = Model.Symbol_Count;
      while (i + 4 <= Last && Low < r * static_cast<uint32_t>(Model.Cum_Freq[i + 3])) i += 4;
    }
    Below = r * static_cast<uint32_t>(Model.Cum_Freq[i]);
    while (Low < Below) Below = r * static_cast<uint32_t>(Model.Cum_Freq[++i]);
  }
  const int32_t Symbol = Model.Index_To_Char[i];
  Low -= Below;
  if (Model.Cum_Freq[i - 1] < Model.Cum_Freq[0]) {
    Range = r * static_cast<uint32_t>(Model.Cum_Freq[i - 1] - Model.Cum_Freq[i]);
  } else {
    Range -= Below;
  }
  Update_Model<Exact_Plain>(Model, i);
  return Symbol;
}

// The last stage of compression and the first of expansion.
class T_QOR_Coder {
 public:
  static constexpr int32_t End_Symbol = 256;

  T_QOR_Coder();
  ~T_QOR_Coder();
  T_QOR_Coder(const T_QOR_Coder&) = delete;
  T_QOR_Coder& operator=(const T_QOR_Coder&) = delete;

  // Codes the block's path into Output and pushes the payload length. Returns
  // false when the payload could expand differently depending on the bytes
  // that follow it, or would not fit a buffer: the block must be coded another way.
  bool Encode_Block(T_QOR_Block_Data& Block_Data);
  // Rebuilds what the first inverse stage needs; reports a damaged block when
  // the payload breaks any limit of the streams and buffers.
  void Decode_Block(T_QOR_Block_Data& Block_Data);

  // Segments of the last Encode_Block whose closing state failed the O(1)
  // safety test, so that the whole payload was decoded back to confirm it.
  int32_t Unsafe_Closings() const { return Last_Unsafe_Closings; }

 private:
  template <class C>
  void Code_Path(C& Codec, T_QOR_Block_Data& Block_Data, bool Fast_Mode, bool SIF_Path);
  template <class C>
  void Code_Fast_Path(C& Codec, T_QOR_Block_Data& Block_Data);
  template <class C>
  void Code_SIF_Path(C& Codec, T_QOR_Block_Data& Block_Data);
  template <class SM, class C>
  void Code_Symbol_Segment(C& Codec, T_QOR_Block_Data& Block_Data);
  template <class C>
  void Code_Run_Histogram(C& Codec, T_QOR_Code_Streams& Streams, int32_t Decode_Limit);
  template <class C, class T>
  void Code_Mantissa_Pass(C& Codec, const int32_t* Counts, const int32_t* Cursors, T* Values);
  template <class SM, class C>
  int32_t Code_Symbol(C& Codec, SM& Model, int32_t Symbol);
  template <class C>
  int32_t Code_Exponent(C& Codec, int32_t Exponent);
  template <class C, class M>
  static int32_t Code_Offset(C& Codec, const M& Model, int32_t Group, int32_t Value, bool Context_Group);
  template <class C>
  int32_t Code_Mantissa(C& Codec, int32_t Exponent, int32_t Mantissa);
  template <class C>
  int32_t Code_Number(C& Codec, int32_t Value);

  void Reset_Mantissa_Models();
  void Set_Block_Flags(const T_QOR_Block_Data& Block_Data);
  bool Verify_Payload(T_QOR_Block_Data& Block_Data, bool Fast_Mode, bool SIF_Path, const int32_t* Segment_Ends);

  T_QOR_Range_Coder Range_Coder;
  // The models of the fast and SIF paths' headers and mantissas.
  struct T_Integer_Models {
    T_QOR_Symbol_Model Header_Model{256};
    T_QOR_Mantissa_Model Bit_Model;
    T_QOR_Mantissa_Model_1 Mantissa_Model_1;
    T_QOR_Mantissa_Model_2 Mantissa_Model_2;
    T_QOR_Mantissa_Model_3 Mantissa_Model_3;
  };
  // Each path's models are made the first time a block takes the path, then
  // kept for the coder's life and reset before each segment. Made up front,
  // the models of paths a run never takes cost a page fault or more each
  // (their tables are kilobytes apart): on virtual machines where a fault
  // costs more than coding a kilobyte, most of the start-up of a small file.
  std::unique_ptr<T_Integer_Models> Integer_Models;                  // fast and SIF paths
  std::unique_ptr<T_QOR_Exponent_Model> Exponent_Model;              // SIF path
  std::unique_ptr<T_QOR_Symbol_Model> Plain_Symbol_Model;            // fast path
  std::unique_ptr<T_QOR_Symbol_Context_Model> Context_Symbol_Model;  // AWFC path
  int32_t Last_Unsafe_Closings = 0;
  // The flags of the block being coded, which its models read at their reset.
  bool Block_Fast_Mode = false;
  bool Block_SIF_Path = false;
};
