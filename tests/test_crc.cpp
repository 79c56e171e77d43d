#include <gtest/gtest.h>

#include "pipeline/QOR_CRC_Unit.h"

TEST(CRC32, CheckValues) {
  T_QOR_CRC32 CRC;
  const uint8_t Digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(CRC.Calc(Digits, 9), 0xCBF43926u);
  EXPECT_EQ(CRC.Calc(Digits, 0), 0u);
  const uint8_t Banana[] = {'b', 'a', 'n', 'a', 'n', 'a'};
  EXPECT_EQ(CRC.Calc(Banana, 6), 0x038B67CFu);
}
