// Shared by the transform stage tests: drives single stages on a real
// pipeline's memory and plays the coder's part between encoding and decoding.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "pipeline/QOR_MCP_Unit.h"

using T_Bytes = std::vector<uint8_t>;

class Transform_Stage : public ::testing::Test {
 protected:
  Transform_Stage() : B(Pipeline.Block()) { Reset_Streams(); }

  void Reset_Streams() {
    Pipeline.Reset_Integer_Streams();
    B.Side_Info->Length = 2;
  }

  void Set_Input(const T_Bytes& Data) {
    std::copy(Data.begin(), Data.end(), B.Input->Data);
    B.Input->Length = static_cast<int32_t>(Data.size());
  }

  static T_Bytes Bytes_Of(const T_QOR_Buffer& Buffer) {
    return T_Bytes(Buffer.Data, Buffer.Data + std::max(Buffer.Length, 0));
  }

  // What the coder leaves for RLE_EXP's inverse: the run values as mantissas,
  // grouped by exponent in rising order, each group in stream order, and every
  // cursor one past the end of its group.
  void Regroup_Runs() {
    T_QOR_Code_Streams& S = *B.Code_Streams;
    std::vector<int32_t> Grouped;
    std::fill(std::begin(S.Run_Cursors), std::end(S.Run_Cursors), 0);
    for (int e = 1; e < QOR_Exponent_Slots; ++e) {
      for (int32_t j = 0; j < S.Run_Count; ++j)
        if (T_QOR_MCP::Exponent_Of(S.Runs[j]) == e) Grouped.push_back(S.Runs[j] + 1 - (1 << e));
      S.Run_Cursors[e] = static_cast<int32_t>(Grouped.size());
    }
    std::copy(Grouped.begin(), Grouped.end(), S.Runs);
  }

  // What the coder leaves for SIF's inverse: the mantissas grouped by exponent
  // with the cursors at the group ends, the read position after the last
  // exponent and a terminating 0 after the segment lengths.
  void Regroup_Mantissas() {
    T_QOR_Code_Streams& S = *B.Code_Streams;
    std::vector<int32_t> Grouped;
    std::vector<std::vector<int32_t>> By_Exponent(QOR_Exponent_Slots);
    int32_t j = 0;
    for (int32_t i = 0; i < S.Exponent_Count; ++i)
      if (S.Exponents[i] > 0) By_Exponent[S.Exponents[i]].push_back(S.Mantissas[j++]);
    ASSERT_EQ(j, S.Mantissa_Count);
    S.Mantissa_Cursors[0] = 0;
    for (int e = 1; e < QOR_Exponent_Slots; ++e) {
      Grouped.insert(Grouped.end(), By_Exponent[e].begin(), By_Exponent[e].end());
      S.Mantissa_Cursors[e] = static_cast<int32_t>(Grouped.size());
    }
    std::copy(Grouped.begin(), Grouped.end(), S.Mantissas);
    S.Segment_Lengths[S.Segment_Count] = 0;
  }

  T_QOR_MCP Pipeline;
  T_QOR_Block_Data& B;
};

// Data shapes shared by the round trips.
inline T_Bytes Random_Bytes(std::mt19937& Rng, size_t n, int Alphabet) {
  std::uniform_int_distribution<int> D(0, Alphabet - 1);
  T_Bytes Out(n);
  for (auto& b : Out) b = static_cast<uint8_t>(D(Rng));
  return Out;
}

// Runs of random lengths (geometric, some very long) over a small alphabet.
inline T_Bytes Run_Bytes(std::mt19937& Rng, size_t n, int Alphabet, int Mean_Run) {
  std::uniform_int_distribution<int> Value(0, Alphabet - 1);
  std::geometric_distribution<int> Length(1.0 / Mean_Run);
  T_Bytes Out;
  while (Out.size() < n) {
    const size_t L = std::min(n - Out.size(), static_cast<size_t>(Length(Rng)) + 1);
    Out.insert(Out.end(), L, static_cast<uint8_t>(Value(Rng)));
  }
  return Out;
}

// Skewed: a few values dominate, as after a block sort of text.
inline T_Bytes Skewed_Bytes(std::mt19937& Rng, size_t n) {
  std::geometric_distribution<int> D(0.15);
  T_Bytes Out(n);
  for (auto& b : Out) b = static_cast<uint8_t>(std::min(D(Rng), 255));
  return Out;
}

inline T_Bytes All_Values(int Repeats) {
  T_Bytes Out;
  for (int r = 0; r < Repeats; ++r)
    for (int v = 0; v < 256; ++v) Out.push_back(static_cast<uint8_t>((v * 37 + r) & 255));
  return Out;
}
