// The C library: the rest of the input, after a first byte that picks the
// mode and a position, survives a round trip; the same compressed bytes with
// one byte changed expand to the original or are refused with a reason and
// give back only a verified prefix of it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static qor_context* Context = qor_context_new();
  if (Context == nullptr || Size == 0) return 0;
  const uint8_t* Text = Data + 1;
  const size_t Text_Size = Size - 1;
  void* Packed = nullptr;
  size_t Packed_Size = 0;
  void* Out = nullptr;
  size_t Out_Size = 0;
  if (qor_compress(Context, Text, Text_Size, Data[0] & 1, &Packed, &Packed_Size) != QOR_OK) std::abort();
  if (qor_expand(Context, Packed, Packed_Size, &Out, &Out_Size) != QOR_OK || Out_Size != Text_Size ||
      (Text_Size > 0 && std::memcmp(Out, Text, Text_Size) != 0)) {
    std::abort();
  }
  qor_free(Out);
  if (Packed_Size > 0) {
    auto* Bytes = static_cast<uint8_t*>(Packed);
    Bytes[(Data[0] >> 1) % Packed_Size] ^= static_cast<uint8_t>(1 + (Data[0] & 0x7F));
    const qor_error Error = qor_expand(Context, Packed, Packed_Size, &Out, &Out_Size);
    const bool Prefix = Out_Size <= Text_Size && (Out_Size == 0 || std::memcmp(Out, Text, Out_Size) == 0);
    if (Error == QOR_OK && !(Prefix && Out_Size == Text_Size)) std::abort();
    if (Error == QOR_ERROR_DAMAGED && (!Prefix || qor_context_damage(Context)[0] == '\0')) std::abort();
    if (Error != QOR_OK && Error != QOR_ERROR_DAMAGED) std::abort();
    qor_free(Out);
  }
  qor_free(Packed);
  return 0;
}
