// The byte statistics that SIF and AWFC both take of a block: how often each
// value occurs, the alphabet it spans, and the share of dominant values.
#pragma once

#include <cstdint>

// Counts every byte value of Data[0 .. n-1] into Freq and returns the alphabet
// size: the highest occurring value + 1, or 1 when only value 0 occurs. Each
// value has four counts, one per byte of a group of four: with one count, a run
// of one value would make every increment wait on the one before.
inline int32_t Count_Byte_Frequencies(const uint8_t* Data, int32_t n, int32_t (&Freq)[256]) {
  int32_t Part[4][256] = {};
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Part[0][Data[i]] += 1;
    Part[1][Data[i + 1]] += 1;
    Part[2][Data[i + 2]] += 1;
    Part[3][Data[i + 3]] += 1;
  }
  for (; i < n; ++i) Part[0][Data[i]] += 1;
  for (int v = 0; v < 256; ++v) Freq[v] = Part[0][v] + Part[1][v] + Part[2][v] + Part[3][v];
  int32_t v = 255;
  while (v > 0 && Freq[v] == 0) --v;
  return v + 1;
}

inline int32_t Count_Distinct_Values(const int32_t (&Freq)[256], int32_t Alphabet_Size) {
  int32_t Distinct = 0;
  for (int32_t v = 0; v < Alphabet_Size; ++v) Distinct += Freq[v] > 0;
  return Distinct;
}

// The percentage (rounded down) of the occurring values that occur more than
// twice as often as the mean. Distinct must be at least 1.
inline int32_t Dominant_Percentage(const int32_t (&Freq)[256], int32_t Alphabet_Size, int32_t Distinct, int32_t Total) {
  const int32_t Mean = Total / Distinct;
  int32_t Dominant = 0;
  for (int32_t v = 0; v < Alphabet_Size; ++v) Dominant += Freq[v] > 2 * Mean;
  return (Dominant * 100) / Distinct;
}
