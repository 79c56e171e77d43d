// The C library: round trips in both modes, errors as codes with their texts,
// damage with the verified blocks and a named reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qor.h"
#include "qor_process.h"

namespace {

struct T_Context {
  qor_context* Context = qor_context_new();
  ~T_Context() { qor_context_free(Context); }
};

std::string Take(void* Buffer, size_t Size) {
  std::string Bytes(static_cast<const char*>(Buffer), Size);
  qor_free(Buffer);
  return Bytes;
}

std::string Corpus(const std::string& Name) { return qor_test::Read_File(std::string(QOR_CORPUS_DIR) + "/" + Name); }

TEST(Library, RoundTripsInBothModes) {
  T_Context C;
  ASSERT_NE(C.Context, nullptr);
  for (const std::string& Text : {std::string(), std::string("banana"), Corpus("alice29.txt")}) {
    for (const int Fast : {0, 1}) {
      void* Packed = nullptr;
      size_t Packed_Size = 0;
      ASSERT_EQ(qor_compress(C.Context, Text.data(), Text.size(), Fast, &Packed, &Packed_Size), QOR_OK);
      const std::string Compressed = Take(Packed, Packed_Size);
      void* Out = nullptr;
      size_t Out_Size = 0;
      ASSERT_EQ(qor_expand(C.Context, Compressed.data(), Compressed.size(), &Out, &Out_Size), QOR_OK);
      EXPECT_TRUE(Take(Out, Out_Size) == Text) << Text.size() << " bytes, fast " << Fast;
    }
  }
}

TEST(Library, DamageGivesTheVerifiedBlocksAndTheReason) {
  T_Context C;
  const std::string Text = Corpus("bible.txt") + Corpus("world192.txt");
  void* Packed = nullptr;
  size_t Packed_Size = 0;
  ASSERT_EQ(qor_compress(C.Context, Text.data(), Text.size(), 1, &Packed, &Packed_Size), QOR_OK);
  std::string Compressed = Take(Packed, Packed_Size);
  const auto Byte = [&Compressed](size_t At) { return static_cast<size_t>(static_cast<uint8_t>(Compressed[At])); };
  const size_t Second = Byte(0) + (Byte(9) | Byte(10) << 8 | Byte(11) << 16);
  Compressed[Second + 2] = static_cast<char>(Compressed[Second + 2] ^ 1);  // the second block's CRC
  void* Out = nullptr;
  size_t Out_Size = 0;
  ASSERT_EQ(qor_expand(C.Context, Compressed.data(), Compressed.size(), &Out, &Out_Size), QOR_ERROR_DAMAGED);
  EXPECT_TRUE(Take(Out, Out_Size) == Text.substr(0, 5242880));
  EXPECT_EQ(std::string(qor_context_damage(C.Context)),
            "damaged block 2 at offset " + std::to_string(Second) + ": CRC mismatch");
}

TEST(Library, ErrorsAreCodesWithTexts) {
  T_Context C;
  void* Out = &C;
  size_t Out_Size = 7;
  EXPECT_EQ(qor_expand(nullptr, "x", 1, &Out, &Out_Size), QOR_ERROR_ARGUMENT);
  EXPECT_EQ(Out, nullptr);
  EXPECT_EQ(Out_Size, 0u);
  EXPECT_EQ(qor_compress(C.Context, nullptr, 5, 0, &Out, &Out_Size), QOR_ERROR_ARGUMENT);
  EXPECT_EQ(qor_expand(C.Context, "\x0c", 1, &Out, &Out_Size), QOR_ERROR_DAMAGED);
  qor_free(Out);
  EXPECT_EQ(std::string(qor_context_damage(C.Context)), "damaged block 1 at offset 0: block header cut short");
  for (const qor_error E : {QOR_OK, QOR_ERROR_DAMAGED, QOR_ERROR_OUT_OF_MEMORY, QOR_ERROR_ARGUMENT, QOR_ERROR_INTERNAL})
    EXPECT_STRNE(qor_error_text(E), "unknown error code");
  EXPECT_STREQ(qor_version(), QOR_VERSION_STRING);
}

}  // namespace
