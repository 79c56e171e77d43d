// The compressed container: block records back to back, no file header.
// Each record is its Side_Info stack (header length, flags, CRC, primary
// index, on the AWFC path the dominant percentage, payload length) and then
// the coder's payload.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pipeline/QOR_MCP_Unit.h"
#include "pipeline/QOR_Output_File_Unit.h"

namespace {

constexpr int32_t Short_Header = 12;  // fast and SIF-path blocks
constexpr int32_t Long_Header = 13;   // AWFC-path blocks carry one more byte
// The range decoder reads up to three bytes past a payload; the first is set to 0.
constexpr int32_t Decoder_Look_Ahead = 3;

std::string System_Reason() { return std::strerror(errno); }

}  // namespace

T_QOR_File_Error::T_QOR_File_Error(const std::string& File_Name, const std::string& Reason)
    : std::runtime_error(File_Name + ": " + Reason) {}

T_QOR_File::~T_QOR_File() {
  if (Descriptor_ >= 0) ::close(Descriptor_);
}

void T_QOR_File::Open_For_Reading(const std::string& Name) {
  Name_ = Name;
  Descriptor_ = ::open(Name.c_str(), O_RDONLY | O_CLOEXEC);
  if (Descriptor_ < 0) throw T_QOR_File_Error(Name, System_Reason());
}

void T_QOR_File::Adopt(int Descriptor, const std::string& Name) {
  Close();
  Descriptor_ = Descriptor;
  Name_ = Name;
}

int64_t T_QOR_File::Read_At(int64_t Offset, uint8_t* Data, int64_t Count) {
  int64_t Done = 0;
  while (Done < Count) {
    const ssize_t Got = ::pread(Descriptor_, Data + Done, static_cast<size_t>(Count - Done), Offset + Done);
    if (Got < 0 && errno == EINTR) continue;
    if (Got < 0) throw T_QOR_File_Error(Name_, System_Reason());
    if (Got == 0) break;
    Done += Got;
  }
  return Done;
}

void T_QOR_File::Write(const uint8_t* Data, int64_t Count) {
  while (Count > 0) {
    const ssize_t Put = ::write(Descriptor_, Data, static_cast<size_t>(Count));
    if (Put < 0 && errno == EINTR) continue;
    if (Put < 0) throw T_QOR_File_Error(Name_, System_Reason());
    Data += Put;
    Count -= Put;
  }
}

void T_QOR_File::Close() {
  if (Descriptor_ < 0) return;
  const int Result = ::close(Descriptor_);
  Descriptor_ = -1;
  // A delayed write error (disk full on some file systems) shows only here.
  if (Result != 0 && errno != EINTR) throw T_QOR_File_Error(Name_, System_Reason());
}

int64_t T_QOR_MCP::Open_Input(const std::string& Input_Name, const std::string& Output_Name) {
  Input_Stream.Close();
  Input_Stream.Open_For_Reading(Input_Name);
  struct stat In_Info{};
  if (::fstat(Input_Stream.Descriptor(), &In_Info) != 0) throw T_QOR_File_Error(Input_Name, System_Reason());
  // The rename would replace the input: refuse when the output is the input under another name.
  T_QOR_File_Identity Out{};
  if (QOR_Identity_Of(Output_Name, Out) && Out == T_QOR_File_Identity{In_Info.st_dev, In_Info.st_ino}) {
    throw T_QOR_File_Error(Output_Name, "is the input file itself; not overwritten");
  }
  return static_cast<int64_t>(In_Info.st_size);
}

int32_t T_QOR_MCP::Load_Input(int64_t Position, int32_t Count) {
  Block_Data.Input->Length = static_cast<int32_t>(Input_Stream.Read_At(Position, Block_Data.Input->Data, Count));
  return Block_Data.Input->Length;
}

void T_QOR_MCP::Compress_File(const std::string& Input_Name, const std::string& Output_Name, bool Fast) {
  Block_Data.Fast_Mode = Fast;
  Open_Input(Input_Name, Output_Name);
  T_QOR_Output_File Output(Output_Name);
  Output_Stream = &Output;
  try {
    int64_t Position = 0;
    while (const int32_t Count = Load_Input(Position, QOR_Block_Size)) {
      Compress_Range(Position, Count, Fast);
      Position += Count;
    }
    // A partial compressed file is never kept: Output's destructor removes it on any error.
    Output.Commit(Input_Stream.Descriptor());
  } catch (...) {
    Output_Stream = nullptr;
    throw;
  }
  Output_Stream = nullptr;
  Input_Stream.Close();
}

// Writes the bytes at Position .. Position + Count - 1, already in Input, as
// one block or, in the rare case that neither chain gives a payload that is
// safe whatever bytes follow it, as two halves. The halving ends: every
// one-byte block is safe in both chains.
void T_QOR_MCP::Compress_Range(int64_t Position, int32_t Count, bool Fast) {
  if (Try_Chain(Fast)) return;
  Load_Input(Position, Count);
  if (Try_Chain(!Fast)) return;
  const int32_t Half = Count / 2;
  Load_Input(Position, Half);
  Compress_Range(Position, Half, Fast);
  Load_Input(Position + Half, Count - Half);
  Compress_Range(Position + Half, Count - Half, Fast);
}

bool T_QOR_MCP::Try_Chain(bool Fast) {
  Block_Data.Fast_Mode = Fast;
  Side_Info_Buffer.Length = 2;
  if (!Compress_Block()) return false;
  Write_Block();
  return true;
}

void T_QOR_MCP::Write_Block() {
  T_QOR_Buffer& S = Side_Info_Buffer;
  S.Data[0] = static_cast<uint8_t>(S.Length);
  S.Data[1] = static_cast<uint8_t>((Block_Data.Fast_Mode ? QOR_Flag_Fast : 0) | (Block_Data.SIF_Path ? QOR_Flag_SIF : 0));
  Output_Stream->Write(S.Data, S.Length);
  Output_Stream->Write(Block_Data.Output->Data, Block_Data.Output->Length);
}

bool T_QOR_MCP::Read_Block(int64_t Position) {
  T_QOR_Buffer& S = Side_Info_Buffer;
  T_QOR_Buffer& In = *Block_Data.Input;
  if (Input_Stream.Read_At(Position, S.Data, 1) == 0) return false;
  const int32_t H = S.Data[0];
  if (H != Short_Header && H != Long_Header) Report_Damaged_Block("unknown block header length");
  if (Input_Stream.Read_At(Position + 1, S.Data + 1, H - 1) != H - 1) Report_Damaged_Block("block header cut short");
  S.Length = H;
  const uint8_t Flags = S.Data[1];
  if ((Flags & ~(QOR_Flag_Fast | QOR_Flag_SIF)) != 0) Report_Damaged_Block("unknown block flags");
  if ((H == Long_Header) != (Flags == 0)) Report_Damaged_Block("header length does not fit the flags");
  Block_Data.Fast_Mode = (Flags & QOR_Flag_Fast) != 0;
  Block_Data.SIF_Path = (Flags & QOR_Flag_SIF) != 0;

  const int32_t P = S.Data[H - 3] | S.Data[H - 2] << 8 | S.Data[H - 1] << 16;
  if (P > QOR_Buffer_Capacity) Report_Damaged_Block("payload longer than a buffer");
  // The bytes after the payload are read too: the decoder looks past its end,
  // and must see what any reader of this file sees, zeros at the end of the file.
  const int64_t Got = Input_Stream.Read_At(Position + H, In.Data, P + Decoder_Look_Ahead - 1);
  if (Got < P) Report_Damaged_Block("payload cut short");
  std::memset(In.Data + Got, 0, static_cast<size_t>(P + Decoder_Look_Ahead - Got));
  In.Length = P;
  return true;
}

// Blocks before the last are full; the last one is guessed from its payload
// at a ratio that text seldom passes. A wrong guess costs only speed.
int32_t T_QOR_MCP::Expected_Block_Length(int32_t Payload_Length, bool More_Blocks) {
  if (More_Blocks) return QOR_Block_Size;
  return static_cast<int32_t>(std::min<int64_t>(int64_t{Payload_Length} * 8, QOR_Block_Size));
}

void T_QOR_MCP::Expand_File(const std::string& Input_Name, const std::string& Output_Name) {
  const int64_t Size = Open_Input(Input_Name, Output_Name);
  T_QOR_Output_File Output(Output_Name);
  // Before the first block is read, so that the coder's streams map while
  // the header and the payload are read. The file size stands in for the
  // payload length.
  Warm_Up_For_Expansion(Expected_Block_Length(static_cast<int32_t>(std::min<int64_t>(Size, QOR_Block_Size)), false));
  int64_t Position = 0;
  int64_t Block_Number = 1;
  try {
    while (Read_Block(Position)) {
      const int32_t H = Side_Info_Buffer.Length;
      const int32_t P = Block_Data.Input->Length;
      Warm_Up_For_Expansion(Expected_Block_Length(P, Size > Position + H + P));
      Expand_Block();
      if (Block_Data.Input->Length != P) Report_Damaged_Block("payload length does not match its decoding");
      if (Side_Info_Buffer.Length != 2) Report_Damaged_Block("block header not used up");
      if (Block_Data.Stored_CRC != Block_Data.Computed_CRC) Report_Damaged_Block("CRC mismatch");
      Output.Write(Block_Data.Output->Data, Block_Data.Output->Length);
      Position += H + P;
      ++Block_Number;
    }
  } catch (T_QOR_Damaged_Block& Damage) {
    // The blocks verified so far are the user's data: they stay, under the
    // final name, and the damage is still reported.
    Damage.Locate(Input_Name, Block_Number, Position);
    Output.Commit(Input_Stream.Descriptor());
    Input_Stream.Close();
    throw;
  }
  Output.Commit(Input_Stream.Descriptor());
  Input_Stream.Close();
}
