#pragma once

#include <cstdint>

// The CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320) that protects every block.
class T_QOR_CRC32 {
 public:
  // The CRC-32 of Data[0 .. Count-1]; 0 when Count <= 0.
  uint32_t Calc(const uint8_t* Data, int32_t Count) const;
};
