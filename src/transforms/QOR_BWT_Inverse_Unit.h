// Inverse Burrows-Wheeler transform: rebuilds a block from its last column
// and primary row.
#pragma once

#include <cstdint>

class T_QOR_Thread_Budget;

class T_QOR_BWT_Inverse {
 public:
  // Writes the N - 1 bytes of the block to Out from the last column
  // L[0..N-1] of its N rows (row 0 is the end marker's; L[Primary], with
  // 1 <= Primary <= N - 1, is a placeholder). Links (N entries) and Pool
  // (Pool_Bytes(N) bytes) are scratch; nothing is allocated. Rows
  // that do not form one cycle are reported as a damaged block. A large
  // block shares its work with a helper thread when Helpers (none when
  // null) has one free.
  static void Decode(const uint8_t* L, int32_t N, int32_t Primary, uint32_t* Links, uint8_t* Pool, uint8_t* Out,
                     T_QOR_Thread_Budget* Helpers);
  // The most pool bytes the walks of N rows write: at most
  // 4 * QOR_Buffer_Capacity.
  static int64_t Pool_Bytes(int32_t N);
};
