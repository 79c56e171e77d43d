// Speed of the five transform stages, forward and inverse, in MB/s of the
// stage's input, each figure the best of several runs. The stages run in
// their chains (RLE_EXP -> MTF, RLE_EXP -> SIF, RLE_BIT -> AWFC) on two kinds
// of input per corpus file, both of its first Sample_Size bytes:
//   sorted: the last column of the sorted rotations, made here by a simple
//           prefix-doubling sort as a stand-in for the BWT stage, which
//           the benchmark does not depend on;
//   raw:    the bytes themselves, a harder case for the list stages.
// A block of random bytes over all 256 values is the costliest shape for SIF.
//
//   bench_transforms [file ...]     (default: every file of the corpus)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/QOR_MCP_Unit.h"
#include "transforms/QOR_AWFC_Unit.h"
#include "transforms/QOR_BWT_Unit.h"
#include "transforms/QOR_MTF_Unit.h"
#include "transforms/QOR_RLE_BIT_Unit.h"
#include "transforms/QOR_RLE_EXP_Unit.h"
#include "transforms/QOR_SIF_Unit.h"

namespace {

using T_Bytes = std::vector<uint8_t>;
constexpr int Repeats = 5;

struct T_Saved_Block {
  T_Bytes Data;
  std::vector<int32_t> Work;
};

class T_Bench {
 public:
  T_Bench() : B(Pipeline.Block()) {}

  void Run(const std::string& Name, const T_Bytes& Raw) {
    std::printf("%-20s %9zu bytes\n", Name.c_str(), Raw.size());
    const T_Bytes Runs_Cut = Bench_RLE_EXP(Raw);
    Bench_MTF(Runs_Cut);
    Bench_SIF(Runs_Cut);
    const T_Saved_Block Bits_Cut = Bench_RLE_BIT(Raw);
    Bench_AWFC(Bits_Cut.Data);
  }

 private:
  void Reset_Streams() {
    T_QOR_Code_Streams& S = *B.Code_Streams;
    S.Exponent_Count = S.Mantissa_Count = S.Run_Count = S.Segment_Start = S.Segment_Count = 0;
    std::fill(std::begin(S.Exponent_Counts), std::end(S.Exponent_Counts), 0);
    B.Side_Info->Length = 2;
  }

  void Load(const T_Bytes& Data) {
    std::memcpy(B.Input->Data, Data.data(), Data.size());
    B.Input->Length = static_cast<int32_t>(Data.size());
  }

  T_Bytes Output() const { return T_Bytes(B.Output->Data, B.Output->Data + B.Output->Length); }

  // Best time of Repeats runs of Prepare (untimed) then Step (timed).
  static double Best_Seconds(const std::function<void()>& Prepare, const std::function<void()>& Step) {
    double Best = 1e30;
    for (int r = 0; r < Repeats; ++r) {
      Prepare();
      const auto Begin = std::chrono::steady_clock::now();
      Step();
      const std::chrono::duration<double> Elapsed = std::chrono::steady_clock::now() - Begin;
      Best = std::min(Best, Elapsed.count());
    }
    return Best;
  }

  static void Report(const char* Stage, size_t Bytes, double Encode_Seconds, double Decode_Seconds) {
    std::printf("  %-8s %10zu  encode %8.1f MB/s  decode %8.1f MB/s\n", Stage, Bytes, Bytes / Encode_Seconds / 1e6,
                Bytes / Decode_Seconds / 1e6);
  }

  static void Check(bool Ok, const char* Stage) {
    if (!Ok) {
      std::fprintf(stderr, "%s: round trip failed\n", Stage);
      std::exit(1);
    }
  }

  // The coder's regrouping of the run values: mantissas by exponent, cursors at the group ends.
  void Regroup_Runs() {
    T_QOR_Code_Streams& S = *B.Code_Streams;
    std::vector<int32_t> Grouped;
    S.Run_Cursors[0] = 0;
    for (int e = 1; e < QOR_Exponent_Slots; ++e) {
      for (int32_t j = 0; j < S.Run_Count; ++j)
        if (T_QOR_MCP::Exponent_Of(S.Runs[j]) == e) Grouped.push_back(S.Runs[j] + 1 - (1 << e));
      S.Run_Cursors[e] = static_cast<int32_t>(Grouped.size());
    }
    std::copy(Grouped.begin(), Grouped.end(), S.Runs);
  }

  // The coder's regrouping of the integer mantissas, as it leaves them on expansion.
  void Regroup_Mantissas() {
    T_QOR_Code_Streams& S = *B.Code_Streams;
    std::vector<std::vector<int32_t>> By_Exponent(QOR_Exponent_Slots);
    for (int32_t i = 0, j = 0; i < S.Exponent_Count; ++i)
      if (S.Exponents[i] > 0) By_Exponent[S.Exponents[i]].push_back(S.Mantissas[j++]);
    int32_t End = 0;
    S.Mantissa_Cursors[0] = 0;
    for (int e = 1; e < QOR_Exponent_Slots; ++e) {
      for (int32_t m : By_Exponent[e]) S.Mantissas[End++] = m;
      S.Mantissa_Cursors[e] = End;
    }
    S.Segment_Lengths[S.Segment_Count] = 0;
  }

  T_Bytes Bench_RLE_EXP(const T_Bytes& Raw) {
    T_QOR_RLE_EXP RLE;
    T_Bytes Coded;
    std::vector<int32_t> Runs;
    const double Encode = Best_Seconds(
        [&] {
          Reset_Streams();
          Load(Raw);
        },
        [&] { RLE.Encode_Block(B); });
    Coded = Output();
    Regroup_Runs();
    T_QOR_Code_Streams& S = *B.Code_Streams;
    Runs.assign(S.Runs, S.Runs + S.Run_Cursors[QOR_Exponent_Slots - 1]);
    int32_t Cursors[QOR_Exponent_Slots];
    std::memcpy(Cursors, S.Run_Cursors, sizeof Cursors);
    const double Decode = Best_Seconds(
        [&] {
          Load(Coded);
          std::copy(Runs.begin(), Runs.end(), S.Runs);
          std::memcpy(S.Run_Cursors, Cursors, sizeof Cursors);
        },
        [&] { RLE.Decode_Block(B); });
    Check(Output() == Raw, "RLE_EXP");
    Report("RLE_EXP", Raw.size(), Encode, Decode);
    return Coded;
  }

  void Bench_MTF(const T_Bytes& In) {
    T_QOR_MTF MTF;
    const double Encode = Best_Seconds([&] { Load(In); }, [&] { MTF.Encode_Block(B); });
    const T_Bytes Coded = Output();
    const double Decode = Best_Seconds([&] { Load(Coded); }, [&] { MTF.Decode_Block(B); });
    Check(Output() == In, "MTF");
    Report("MTF", In.size(), Encode, Decode);
  }

  void Bench_SIF(const T_Bytes& In) {
    T_QOR_SIF SIF;
    Time_SIF(SIF, In, "SIF");
    SIF.Bit_Instructions = false;
    Time_SIF(SIF, In, "SIF portable");
  }

  void Time_SIF(T_QOR_SIF& SIF, const T_Bytes& In, const char* Name) {
    const double Encode = Best_Seconds(
        [&] {
          Reset_Streams();
          Load(In);
        },
        [&] { SIF.Encode_Block(B); });
    Regroup_Mantissas();
    T_QOR_Code_Streams& S = *B.Code_Streams;
    const int32_t Exponent_End = S.Exponent_Count;
    int32_t Cursors[QOR_Exponent_Slots];
    std::memcpy(Cursors, S.Mantissa_Cursors, sizeof Cursors);
    const int32_t Segments = S.Segment_Count;
    const double Decode = Best_Seconds(
        [&] {
          S.Exponent_Count = Exponent_End;
          S.Segment_Count = Segments;
          std::memcpy(S.Mantissa_Cursors, Cursors, sizeof Cursors);
        },
        [&] { SIF.Decode_Block(B); });
    Check(Output() == In, Name);
    Report(Name, In.size(), Encode, Decode);
  }

  T_Saved_Block Bench_RLE_BIT(const T_Bytes& Raw) {
    T_QOR_RLE_BIT RLE;
    const double Encode = Best_Seconds([&] { Load(Raw); }, [&] { RLE.Encode_Block(B); });
    T_Saved_Block Coded{Output(), std::vector<int32_t>(B.Int_Work, B.Int_Work + B.Output->Length)};
    const double Decode = Best_Seconds(
        [&] {
          Load(Coded.Data);
          std::copy(Coded.Work.begin(), Coded.Work.end(), B.Int_Work);
        },
        [&] { RLE.Decode_Block(B); });
    Check(Output() == Raw, "RLE_BIT");
    Report("RLE_BIT", Raw.size(), Encode, Decode);
    return Coded;
  }

  void Bench_AWFC(const T_Bytes& In) {
    T_QOR_AWFC AWFC;
    const double Encode = Best_Seconds(
        [&] {
          Reset_Streams();
          Load(In);
        },
        [&] { AWFC.Encode_Block(B); });
    const T_Bytes Coded = Output();
    const double Decode = Best_Seconds(
        [&] {
          B.Side_Info->Length = 3;
          Load(Coded);
        },
        [&] { AWFC.Decode_Block(B); });
    Check(Output() == In, "AWFC");
    Report("AWFC", In.size(), Encode, Decode);
  }

  T_QOR_MCP Pipeline;
  T_QOR_Block_Data& B;
};

constexpr size_t Sample_Size = 1 << 20;

T_Bytes Read_Sample(const std::string& Path) {
  std::ifstream File(Path, std::ios::binary);
  T_Bytes Data((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
  if (Data.size() > Sample_Size) Data.resize(Sample_Size);
  return Data;
}

// Last column of the sorted cyclic rotations: ranks by the first h bytes,
// doubled each round until all rotations differ or h covers the block.
T_Bytes Sorted_Rotations_Last_Column(const T_Bytes& Data) {
  const size_t n = Data.size();
  std::vector<uint32_t> Index(n), Rank(n), Next(n);
  for (size_t i = 0; i < n; ++i) {
    Index[i] = static_cast<uint32_t>(i);
    Rank[i] = Data[i];
  }
  for (size_t h = 1;; h *= 2) {
    auto Key = [&](uint32_t i) { return std::pair<uint32_t, uint32_t>(Rank[i], Rank[(i + h) % n]); };
    std::sort(Index.begin(), Index.end(), [&](uint32_t a, uint32_t b) { return Key(a) < Key(b); });
    Next[Index[0]] = 0;
    for (size_t k = 1; k < n; ++k) Next[Index[k]] = Next[Index[k - 1]] + (Key(Index[k - 1]) < Key(Index[k]) ? 1 : 0);
    Rank.swap(Next);
    if (Rank[Index[n - 1]] == n - 1 || h >= n) break;
  }
  T_Bytes Last(n);
  for (size_t k = 0; k < n; ++k) Last[k] = Data[(Index[k] + n - 1) % n];
  return Last;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> Files;
  for (int i = 1; i < argc; ++i) Files.push_back(argv[i]);
  if (Files.empty()) {
    for (const auto& Entry : std::filesystem::directory_iterator(QOR_CORPUS_DIR))
      if (Entry.is_regular_file() && Entry.path().filename() != "README.md") Files.push_back(Entry.path().string());
    std::sort(Files.begin(), Files.end());
  }
  T_Bench Bench;
  for (const std::string& File : Files) {
    const T_Bytes Data = Read_Sample(File);
    if (Data.empty()) continue;
    const std::string Name = std::filesystem::path(File).filename().string();
    Bench.Run(Name + " sorted", Sorted_Rotations_Last_Column(Data));
    Bench.Run(Name + " raw", Data);
  }
  std::mt19937 Rng(1);
  T_Bytes Random(1 << 18);
  for (auto& b : Random) b = static_cast<uint8_t>(Rng());
  Bench.Run("random-256", Random);
  return 0;
}
