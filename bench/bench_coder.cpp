// Decisions per second of the coder stage: encode and decode of the symbol
// paths (fast: plain models; AWFC: context models) and of the SIF integer path,
// over synthetic streams shaped like the transforms' output.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "coding/QOR_Coder_Unit.h"
#include "pipeline/QOR_MCP_Unit.h"

namespace {

constexpr int32_t Symbol_Count = 4000000;
constexpr int32_t Integer_Count = 3000000;
constexpr int Repeats = 3;

struct Workload {
  const char* Name;
  bool Fast;
  bool SIF;
};

// MTF-like output: mostly small values, a long tail over all 256.
void Fill_Symbols(T_QOR_Block_Data& B, std::mt19937& Rng) {
  std::geometric_distribution<int32_t> Skewed(0.35);
  for (int32_t i = 0; i < Symbol_Count; ++i) {
    B.Input->Data[i] = static_cast<uint8_t>(Rng() % 16 == 0 ? Rng() % 256 : std::min(Skewed(Rng), 255));
  }
  B.Input->Length = Symbol_Count;
}

// SIF-like distances: geometric with a spread of means, now and then a large one.
void Fill_Integers(T_QOR_MCP& Pipeline, std::mt19937& Rng) {
  T_QOR_Code_Streams& S = *Pipeline.Block().Code_Streams;
  S.Exponent_Count = S.Mantissa_Count = S.Run_Count = S.Segment_Count = S.Segment_Start = 0;
  std::fill(std::begin(S.Exponent_Counts), std::end(S.Exponent_Counts), 0);
  for (int32_t i = 0; i < Integer_Count; ++i) {
    std::geometric_distribution<int32_t> Distance(1.0 / (2 + (i / 50000) % 300));
    Pipeline.Put_Integer(Rng() % 1000 == 0 ? static_cast<int32_t>(Rng() % 5000000) : Distance(Rng));
  }
  Pipeline.Mark_Segment();
}

void Fill_Runs(T_QOR_Code_Streams& S, std::mt19937& Rng) {
  S.Run_Count = 20000;
  std::geometric_distribution<int32_t> Length(0.05);
  for (int32_t i = 0; i < S.Run_Count; ++i) S.Runs[i] = 1 + Length(Rng);
}

// Decisions the stage codes for this input: from the models' own splits and
// the mantissa scheme (exponents 1..3 one decision, longer ones e - 2).
int64_t Count_Decisions(const T_QOR_Block_Data& B, bool SIF) {
  const T_QOR_Code_Streams& S = *B.Code_Streams;
  int64_t Decisions = 0;
  auto Mantissa_Decisions = [](int32_t e) { return e == 0 ? 0 : e <= 3 ? 1 : e - 2; };
  for (int32_t i = 0; i < S.Run_Count; ++i) Decisions += Mantissa_Decisions(T_QOR_MCP::Exponent_Of(S.Runs[i]));
  if (SIF) {
    T_QOR_Exponent_Model Exponents;
    for (int32_t i = 0; i < S.Exponent_Count; ++i) {
      const int32_t g = Exponents.Group_Of[S.Exponents[i]];
      Decisions += 1 + (Exponents.Group_Models[g]->Symbol_Count > 1) + Mantissa_Decisions(S.Exponents[i]);
    }
  } else {
    T_QOR_Symbol_Model Symbols(257);
    for (int32_t i = 0; i < B.Input->Length; ++i) {
      const int32_t s = B.Input->Data[i];
      Decisions += s < 3 ? 1 : 2 + (Symbols.Group_Models[Symbols.Group_Of[s]]->Symbol_Count > 1);
    }
  }
  return Decisions;
}

// Thread CPU time: the machine is shared, and waiting for a core is not the coder's cost.
double Now() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return static_cast<double>(T.tv_sec) + 1e-9 * static_cast<double>(T.tv_nsec);
}

// Fills the streams the path codes; decoding regroups them, so every run starts afresh.
void Prepare(T_QOR_MCP& Pipeline, const Workload& W) {
  T_QOR_Block_Data& B = Pipeline.Block();
  std::mt19937 Rng(2024);
  B.Fast_Mode = W.Fast;
  B.SIF_Path = W.SIF;
  B.Code_Streams->Run_Count = 0;
  B.Input->Length = 0;
  if (W.SIF) {
    Fill_Integers(Pipeline, Rng);
  } else {
    Fill_Symbols(B, Rng);
  }
  if (W.Fast || W.SIF) Fill_Runs(*B.Code_Streams, Rng);
}

void Run(const Workload& W) {
  T_QOR_MCP Pipeline;
  T_QOR_Block_Data& B = Pipeline.Block();
  T_QOR_Coder Coder;
  Prepare(Pipeline, W);
  const int64_t Decisions = Count_Decisions(B, W.SIF);
  const std::vector<uint8_t> Symbols(B.Input->Data, B.Input->Data + B.Input->Length);

  double Encode_Best = 1e9, Decode_Best = 1e9;
  int32_t Payload = 0;
  for (int r = 0; r < Repeats; ++r) {
    Prepare(Pipeline, W);
    B.Side_Info->Length = 2;
    double Start = Now();
    if (!Coder.Encode_Block(B)) std::printf("  (block refused)\n");
    Encode_Best = std::min(Encode_Best, Now() - Start);
    Payload = B.Output->Length;

    T_QOR_MCP::Swap_Buffers(B);
    Start = Now();
    Coder.Decode_Block(B);
    Decode_Best = std::min(Decode_Best, Now() - Start);
    T_QOR_MCP::Swap_Buffers(B);
    const bool Same = W.SIF || std::equal(Symbols.begin(), Symbols.end(), B.Input->Data);
    if (!Same || B.Output->Length != Payload) std::printf("  ROUND TRIP FAILED\n");
  }
  std::printf("%-24s %10lld decisions  payload %9d B  encode %6.1f M dec/s  decode %6.1f M dec/s\n", W.Name,
              static_cast<long long>(Decisions), Payload, Decisions / Encode_Best / 1e6, Decisions / Decode_Best / 1e6);
}

}  // namespace

// An optional argument picks one workload by the start of its name (fast, AWFC, SIF).
int main(int Argc, char** Argv) {
  const Workload Workloads[] = {
      {"fast symbols (plain)", true, false},
      {"AWFC symbols (context)", false, false},
      {"SIF integers", false, true},
  };
  std::printf("thread CPU time, best of %d runs\n", Repeats);
  for (const Workload& W : Workloads) {
    if (Argc < 2 || std::strncmp(W.Name, Argv[1], std::strlen(Argv[1])) == 0) Run(W);
  }
  return 0;
}
