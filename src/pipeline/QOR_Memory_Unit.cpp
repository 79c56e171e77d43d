#include "pipeline/QOR_Memory_Unit.h"

#include <algorithm>
#include <cstring>

#include "pipeline/QOR_MCP_Unit.h"

std::vector<uint8_t> QOR_Compress_Memory(T_QOR_MCP& Pipeline, std::span<const uint8_t> Data, bool Fast) {
  std::vector<uint8_t> Records;
  const auto Emit = [&Records](const uint8_t* Header, int32_t H, const uint8_t* Payload, int32_t P) {
    Records.insert(Records.end(), Header, Header + H);
    Records.insert(Records.end(), Payload, Payload + P);
  };
  for (size_t Position = 0; Position < Data.size(); Position += QOR_Block_Size) {
    const auto Count = static_cast<int32_t>(std::min<size_t>(QOR_Block_Size, Data.size() - Position));
    const uint8_t* Range = Data.data() + Position;
    Pipeline.Compress_Range(
        Count, Fast,
        [Range](int32_t Offset, int32_t Length, uint8_t* Into) { std::memcpy(Into, Range + Offset, Length); }, Emit);
  }
  return Records;
}

T_QOR_Expansion QOR_Expand_Memory(T_QOR_MCP& Pipeline, std::span<const uint8_t> Data, int32_t Decode_Limit) {
  T_QOR_Expansion Result;
  Pipeline.Block().Decode_Limit = std::clamp<int32_t>(Decode_Limit, 0, QOR_Buffer_Capacity);
  const int64_t Size = static_cast<int64_t>(Data.size());
  int64_t Position = 0;
  try {
    Pipeline.Expect_Expansion(Size);
    while (Position < Size) {
      Result.Block_Number += 1;
      Result.Record_Offset = Position;
      const uint8_t* Header = Data.data() + Position;
      const T_QOR_MCP::T_Record_Header Sizes = T_QOR_MCP::Check_Header(Header, Size - Position);
      const int64_t Payload_At = Position + Sizes.Header_Length;
      const auto Load = [&Data, Payload_At, Size](uint8_t* Into, int64_t Count) {
        const int64_t Got = std::clamp<int64_t>(Size - Payload_At, 0, Count);
        std::memcpy(Into, Data.data() + Payload_At, static_cast<size_t>(Got));
        return Got;
      };
      const int64_t Next = Payload_At + Sizes.Payload_Length;
      const T_QOR_Buffer& Block = Pipeline.Expand_Record(Header, Sizes, Load, Next < Size);
      Result.Bytes.insert(Result.Bytes.end(), Block.Data, Block.Data + Block.Length);
      Position = Next;
    }
  } catch (const T_QOR_Damaged_Block& Damage) {
    Result.Damaged = true;
    Result.Reason = Damage.what();
  }
  Pipeline.Block().Decode_Limit = QOR_Buffer_Capacity;
  if (!Result.Damaged) Result.Block_Number = Result.Record_Offset = 0;
  return Result;
}
