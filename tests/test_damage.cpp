// Damaged compressed files: every single-byte change and every cut either
// expands to the original or is refused as a damaged block. Nothing else: no
// crash, no sanitizer report, no hang, no wrong bytes passed as success.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "pipeline/QOR_MCP_Unit.h"
#include "pipeline/QOR_Memory_Unit.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Read(const std::string& Name) {
  std::ifstream File(Name, std::ios::binary);
  return {std::istreambuf_iterator<char>(File), {}};
}

class Damage : public ::testing::TestWithParam<std::tuple<const char*, bool>> {
 protected:
  T_QOR_MCP Pipeline;
  Bytes Original;
  Bytes Compressed;

  void SetUp() override {
    const std::string Source = std::string(QOR_CORPUS_DIR) + "/" + std::get<0>(GetParam());
    Original = Read(Source);
    ASSERT_FALSE(Original.empty());
    Compressed = QOR_Compress_Memory(Pipeline, Original, std::get<1>(GetParam()));
  }

  // Expands Damaged; true when it was refused, false when it expanded to the
  // original. Anything else fails the test.
  bool Refused(const Bytes& Damaged, const std::string& What) {
    const T_QOR_Expansion Result = QOR_Expand_Memory(Pipeline, Damaged);
    if (Result.Damaged) {
      const Bytes& Partial = Result.Bytes;
      EXPECT_TRUE(Partial.size() <= Original.size() && std::equal(Partial.begin(), Partial.end(), Original.begin()))
          << What << ": the output holds more than the verified blocks";
      EXPECT_FALSE(Result.Reason.empty()) << What;
      return true;
    }
    EXPECT_EQ(Result.Bytes, Original) << What << ": wrong bytes expanded without complaint";
    return false;
  }

  std::vector<size_t> Block_Starts() const {
    std::vector<size_t> Starts;
    for (size_t At = 0; At < Compressed.size();) {
      Starts.push_back(At);
      const int H = Compressed[At];
      At += H + (Compressed[At + H - 3] | Compressed[At + H - 2] << 8 | Compressed[At + H - 1] << 16);
    }
    return Starts;
  }
};

TEST_P(Damage, EverySingleByteChangeIsRefusedOrHarmless) {
  // Every position of small files; a fixed sample of a larger one, always
  // including every header byte.
  std::vector<size_t> Positions;
  std::mt19937 Random(17);
  for (size_t Start : Block_Starts())
    for (size_t k = 0; k < 13 && Start + k < Compressed.size(); ++k) Positions.push_back(Start + k);
  if (Compressed.size() <= 3000) {
    for (size_t At = 0; At < Compressed.size(); ++At) Positions.push_back(At);
  } else {
    const size_t Samples = std::min<size_t>(1500, 4000000 / Compressed.size());
    for (size_t k = 0; k < Samples; ++k) Positions.push_back(Random() % Compressed.size());
  }
  int Refusals = 0;
  for (const size_t At : Positions) {
    for (const uint8_t Change : {uint8_t{0x01}, uint8_t{0x80}, static_cast<uint8_t>(Random() | 1)}) {
      Bytes Damaged = Compressed;
      Damaged[At] ^= Change;
      Refusals += Refused(Damaged, "byte " + std::to_string(At) + " xor " + std::to_string(Change));
    }
  }
  EXPECT_GT(Refusals, 0);
}

TEST_P(Damage, EveryCutIsRefused) {
  std::vector<size_t> Cuts;
  for (size_t Start : Block_Starts()) {
    for (size_t k = 1; k <= 13; ++k) Cuts.push_back(Start + k);
    if (Start > 0) Cuts.push_back(Start - 1);
  }
  for (size_t At = 7; At < Compressed.size(); At += 1 + Compressed.size() / 97) Cuts.push_back(At);
  // A cut right after a whole block leaves a shorter valid file: not damage.
  const std::vector<size_t> Starts = Block_Starts();
  for (const size_t At : Cuts) {
    if (At >= Compressed.size() || std::find(Starts.begin(), Starts.end(), At) != Starts.end()) continue;
    const Bytes Cut(Compressed.begin(), Compressed.begin() + At);
    EXPECT_TRUE(Refused(Cut, "cut at " + std::to_string(At))) << "cut at " << At;
  }
}

TEST_P(Damage, AppendedGarbageIsRefused) {
  for (const Bytes& Tail : {Bytes{0}, Bytes{12}, Bytes{12, 1, 2, 3}, Bytes(40, 0xFF)}) {
    Bytes Damaged = Compressed;
    Damaged.insert(Damaged.end(), Tail.begin(), Tail.end());
    EXPECT_TRUE(Refused(Damaged, "garbage appended"));
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, Damage,
                         ::testing::Combine(::testing::Values("grammar.lsp", "xargs.1", "sum", "ptt5"),
                                            ::testing::Bool()),
                         [](const auto& Info) {
                           std::string Name = std::get<0>(Info.param);
                           std::replace(Name.begin(), Name.end(), '.', '_');
                           return Name + (std::get<1>(Info.param) ? "_fast" : "_normal");
                         });

}  // namespace
