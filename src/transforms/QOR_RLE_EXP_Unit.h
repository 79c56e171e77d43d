#pragma once

#include <cstdint>

struct T_QOR_Block_Data;

// Cuts every run of L >= Threshold equal bytes down to Threshold + e bytes,
// e = Exponent_Of(L - Threshold), and appends L - Threshold to Code_Streams.Runs
// when e > 0. The coder codes the run values grouped by exponent.
class T_QOR_RLE_EXP {
 public:
  // Shortest run whose length is coded by exponent; the pipeline sets 2 before every call.
  int32_t Threshold = 2;
  void Encode_Block(T_QOR_Block_Data& Block_Data);
  // Expects, for every exponent e >= 1, the mantissas of the runs with that
  // exponent as one contiguous group of Runs (groups in rising e, starting at
  // Run_Cursors[0]) and Run_Cursors[e] one past the end of group e; every
  // value must be used. Leaves the cursors at the group starts.
  void Decode_Block(T_QOR_Block_Data& Block_Data);

 private:
  void Expand_Runs(T_QOR_Block_Data& Block_Data, const int32_t* Group_End);
};
