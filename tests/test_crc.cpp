#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "pipeline/QOR_CRC_Unit.h"

TEST(CRC32, CheckValues) {
  T_QOR_CRC32 CRC;
  const uint8_t Digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(CRC.Calc(Digits, 9), 0xCBF43926u);
  EXPECT_EQ(CRC.Calc(Digits, 0), 0u);
  const uint8_t Banana[] = {'b', 'a', 'n', 'a', 'n', 'a'};
  EXPECT_EQ(CRC.Calc(Banana, 6), 0x038B67CFu);
}

namespace {

// Bit by bit, straight from the polynomial.
uint32_t Reference_CRC(const uint8_t* Data, int32_t Count) {
  uint32_t Register = 0xFFFFFFFFu;
  for (int32_t i = 0; i < Count; ++i) {
    Register ^= Data[i];
    for (int Bit = 0; Bit < 8; ++Bit) Register = (Register >> 1) ^ (0xEDB88320u & (0u - (Register & 1u)));
  }
  return Register ^ 0xFFFFFFFFu;
}

}  // namespace

// Every length around the eight-byte steps and the 16- and 64-byte folds, at
// every start offset within a vector, so that the folds, the word loop and the
// byte tail are all checked, alone and one after another.
TEST(CRC32, MatchesBitwiseReferenceAtAllLengthsAndOffsets) {
  std::mt19937 Random(7);
  std::vector<uint8_t> Data(5000);
  for (uint8_t& Byte : Data) Byte = static_cast<uint8_t>(Random());
  std::vector<int32_t> Counts = {1000, 4095, 4109};
  for (int32_t Count = 1; Count <= 280; ++Count) Counts.push_back(Count);
  T_QOR_CRC32 CRC;
  for (int32_t Offset = 0; Offset < 16; ++Offset)
    for (int32_t Count : Counts)
      ASSERT_EQ(CRC.Calc(Data.data() + Offset, Count), Reference_CRC(Data.data() + Offset, Count))
          << "offset " << Offset << " count " << Count;
}

TEST(CRC32, SingleBitChangesAlterTheValue) {
  std::vector<uint8_t> Data(1000, 0x5A);
  T_QOR_CRC32 CRC;
  const uint32_t Plain = CRC.Calc(Data.data(), 1000);
  for (int32_t Position : {0, 7, 8, 500, 999}) {
    Data[Position] ^= 0x10;
    EXPECT_NE(CRC.Calc(Data.data(), 1000), Plain) << Position;
    Data[Position] ^= 0x10;
  }
}
