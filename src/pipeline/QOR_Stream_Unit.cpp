#include "pipeline/QOR_Stream_Unit.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "pipeline/QOR_File_Unit.h"
#include "pipeline/QOR_MCP_Unit.h"

namespace {

std::string System_Reason() { return std::strerror(errno); }

// The unread bytes of a stream. Held: what has been read but not consumed,
// at most a record and the decoder's look-ahead.
//
// The store is not cleared when it grows: a block's worth of zeros, written
// only to be overwritten by the read, would touch every page of it, and a
// fresh page is dear (a 4 KB input took 15 ms to compress through a pipe,
// nearly all of it spent mapping the 5 MB that a vector zeroed). Only the
// pages a read fills are touched.
class T_Stream_Reader {
 public:
  T_Stream_Reader(int In_, const std::string& Name_) : In(In_), Name(Name_) {}

  // Reads until Count bytes are held or the stream ends; returns how many are held.
  int64_t Hold(int64_t Count) {
    if (Start > 0 && Start + Count > Capacity) {
      std::memmove(Store.get(), Store.get() + Start, static_cast<size_t>(Held()));
      Size -= Start;
      Start = 0;
    }
    Reserve(Start + Count);
    while (Held() < Count && !Ended) {
      const ssize_t Got = ::read(In, Store.get() + Size, static_cast<size_t>(Start + Count - Size));
      if (Got < 0 && errno == EINTR) continue;
      if (Got < 0) throw T_QOR_File_Error(Name, System_Reason());
      Ended = Got == 0;
      Size += Got;
      Total += Got;
    }
    return std::min(Held(), Count);
  }
  const uint8_t* Data() const { return Store.get() + Start; }
  void Consume(int64_t Count) { Start += Count; }
  int64_t Total_Read() const { return Total; }

 private:
  int64_t Held() const { return Size - Start; }
  // Room for Needed bytes from the store's start, keeping what is held; by
  // half again at least, so that records of slowly growing length do not
  // copy the store every time.
  void Reserve(int64_t Needed) {
    if (Needed <= Capacity) return;
    const int64_t Grown = std::max(Needed, Capacity + Capacity / 2);
    std::unique_ptr<uint8_t[]> Larger(new uint8_t[static_cast<size_t>(Grown)]);
    if (Size > 0) std::memcpy(Larger.get(), Store.get(), static_cast<size_t>(Size));
    Store = std::move(Larger);
    Capacity = Grown;
  }

  const int In;
  const std::string& Name;
  // Bytes 0 .. Size - 1 of Store (Capacity bytes) have been read; those
  // from Start on are held.
  std::unique_ptr<uint8_t[]> Store;
  int64_t Capacity = 0;
  int64_t Size = 0;
  int64_t Start = 0;
  int64_t Total = 0;
  bool Ended = false;
};

}  // namespace

T_QOR_Stream_Outcome QOR_Compress_Stream(T_QOR_MCP& Pipeline, int In, int Out, bool Fast, const std::string& In_Name,
                                         const std::string& Out_Name) {
  T_QOR_Stream_Outcome Outcome;
  T_Stream_Reader Reader(In, In_Name);
  const auto Emit = [&](const uint8_t* Header, int32_t H, const uint8_t* Payload, int32_t P) {
    QOR_Write_All(Out, Header, H, Out_Name);
    QOR_Write_All(Out, Payload, P, Out_Name);
    Outcome.Bytes_Written += H + P;
    Outcome.Has_Blocks = true;
    Outcome.Fast_Mode = (Header[1] & QOR_Flag_Fast) != 0;
    Outcome.SIF_Path = (Header[1] & QOR_Flag_SIF) != 0;
  };
  while (const auto Count = static_cast<int32_t>(Reader.Hold(QOR_Block_Size))) {
    const uint8_t* Block = Reader.Data();
    Pipeline.Compress_Range(
        Count, Fast,
        [Block](int32_t Offset, int32_t Length, uint8_t* Into) { std::memcpy(Into, Block + Offset, Length); }, Emit);
    Reader.Consume(Count);
  }
  Outcome.Bytes_Read = Reader.Total_Read();
  return Outcome;
}

T_QOR_Stream_Outcome QOR_Expand_Stream(T_QOR_MCP& Pipeline, int In, int Out, const std::string& In_Name,
                                       const std::string& Out_Name) {
  T_QOR_Stream_Outcome Outcome;
  T_Stream_Reader Reader(In, In_Name);
  int64_t Position = 0;
  int64_t Block_Number = 1;
  try {
    while (const int64_t Available = Reader.Hold(T_QOR_MCP::Max_Header_Length)) {
      const T_QOR_MCP::T_Record_Header Sizes = T_QOR_MCP::Check_Header(Reader.Data(), Available);
      const int64_t Record = Sizes.Header_Length + Sizes.Payload_Length;
      // The first header is the best guess of the blocks to come, and the
      // memory they will write is mapped while the rest of the record comes
      // in. A guess of a whole block would map some 45 MB for a stream of a
      // few kilobytes.
      if (Block_Number == 1) Pipeline.Expect_Expansion(Sizes);
      // One byte past the record tells whether another follows.
      const bool More_Blocks = Reader.Hold(Record + 1) > Record;
      const auto Load = [&Reader, &Sizes](uint8_t* Into, int64_t Count) {
        const int64_t Got = Reader.Hold(Sizes.Header_Length + Count) - Sizes.Header_Length;
        std::memcpy(Into, Reader.Data() + Sizes.Header_Length, static_cast<size_t>(std::max<int64_t>(Got, 0)));
        return std::max<int64_t>(Got, 0);
      };
      const T_QOR_Buffer& Block = Pipeline.Expand_Record(Reader.Data(), Sizes, Load, More_Blocks);
      if (Out >= 0) QOR_Write_All(Out, Block.Data, Block.Length, Out_Name);
      Outcome.Bytes_Written += Block.Length;
      Outcome.Has_Blocks = true;
      Outcome.Fast_Mode = Pipeline.Block().Fast_Mode;
      Outcome.SIF_Path = Pipeline.Block().SIF_Path;
      Reader.Consume(Record);
      Position += Record;
      ++Block_Number;
    }
  } catch (T_QOR_Damaged_Block& Damage) {
    Damage.Locate(In_Name, Block_Number, Position);
    throw;
  }
  Outcome.Bytes_Read = Reader.Total_Read();
  return Outcome;
}
