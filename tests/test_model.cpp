#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "coding/QOR_Model_Unit.h"
#include "model_test_support.h"

namespace {

// A plain model written from its rules, with vectors and explicit sums: the
// reference the model must match after every update.
struct Reference_Model {
  int32_t N, Inc;
  std::vector<int32_t> Freq, Symbol_At;  // by index 1..N
  Reference_Model(int32_t N_, int32_t Inc_) : N(N_), Inc(Inc_), Freq(N_ + 1), Symbol_At(N_ + 1) {
    for (int32_t i = 1; i <= N; ++i) {
      Freq[i] = (N + 1 - i) * Inc;
      Symbol_At[i] = i - 1;
    }
  }
  int32_t Total() const {
    int32_t T = 0;
    for (int32_t i = 1; i <= N; ++i) T += Freq[i];
    return T;
  }
  void Update(int32_t x) {
    int32_t i = x;
    while (i > 1 && Freq[i - 1] == Freq[i]) --i;
    std::swap(Symbol_At[i], Symbol_At[x]);
    Freq[i] += Inc;
    if (Total() >= 32768) {
      for (int32_t j = 1; j <= N; ++j) Freq[j] = (Freq[j] + 1) / 2;
    }
  }
};

void Expect_Plain_Consistent(const T_QOR_Model& M) {
  const int32_t N = M.Symbol_Count;
  ASSERT_EQ(M.Freq[0], 0);
  ASSERT_EQ(M.Cum_Freq[N], 0);
  for (int32_t i = N - 1; i >= 0; --i) ASSERT_EQ(M.Cum_Freq[i], M.Cum_Freq[i + 1] + M.Freq[i + 1]) << i;
  for (int32_t s = 0; s < N; ++s) ASSERT_EQ(M.Index_To_Char[M.Char_To_Index[s]], s);
  for (int32_t i = 1; i <= N; ++i) ASSERT_GE(M.Freq[i], 1);
  ASSERT_LT(M.Cum_Freq[0], 0x8000 + M.Increment);
}

void Expect_Same_As_Reference(const T_QOR_Model& M, const Reference_Model& R) {
  for (int32_t i = 1; i <= R.N; ++i) {
    ASSERT_EQ(M.Freq[i], R.Freq[i]) << "index " << i;
    ASSERT_EQ(M.Index_To_Char[i], R.Symbol_At[i]) << "index " << i;
  }
}

// A context model written from its rules with explicit tables per context.
struct Reference_Context {
  int32_t N, I0, I1, I2, Bits, Order;
  bool Level_0, Fast, SIF;
  uint32_t History = 0;
  int32_t Mask_1, Mask_2;
  std::vector<int32_t> F0;
  std::vector<std::vector<uint16_t>> F1, F2;

  Reference_Context(int32_t N_, int32_t I0_, int32_t I1_, int32_t I2_, int32_t Bits_, int32_t Order_, bool Level_0_,
                    bool Fast_, bool SIF_)
      : N(N_), I0(I0_), I1(I1_), I2(I2_), Bits(Bits_), Order(Order_), Level_0(Level_0_), Fast(Fast_), SIF(SIF_) {
    Mask_1 = (1 << Bits) - 1;
    Mask_2 = (1 << (Bits * Order)) - 1;
    F0.assign(N + 1, 0);
    F1.assign(Mask_1 + 1, std::vector<uint16_t>(N + 1, 0));
    F2.assign(Mask_2 + 1, std::vector<uint16_t>(N + 1, 0));
    for (int32_t j = 1; j <= N; ++j) {
      const int32_t Weight = Fast ? N + 1 - j : 1;
      F0[j] = Weight * I0;
      for (auto& Row : F1) Row[j] = static_cast<uint16_t>(Weight * I1);
      for (auto& Row : F2) Row[j] = static_cast<uint16_t>(Weight * I2);
    }
  }
  template <class T>
  static void Add(std::vector<T>& Row, int32_t x, int32_t Step, int32_t Limit_Bits) {
    Row[x] = static_cast<T>(Row[x] + Step);
    uint32_t Total = 0;
    for (size_t j = 1; j < Row.size(); ++j) Total += Row[j];
    if (Limit_Bits == 16) Total &= 0xFFFF;
    if (Total >= 0x8000) {
      for (size_t j = 1; j < Row.size(); ++j) Row[j] = static_cast<T>((Row[j] + 1) >> 1);
    }
  }
  void Update(int32_t x) {
    Add(F0, x, I0, 32);
    Add(F1[History & Mask_1], x, I1, 16);
    Add(F2[History & Mask_2], x, I2, 16);
    History = (History << Bits) | static_cast<uint32_t>(x - 1);
    if (Level_0 && x <= 2) History &= ~3u;
  }
  // Mixed frequency of index i.
  int32_t Mixed(int32_t i) const {
    const int32_t A = F1[History & Mask_1][i], B = F0[i], C = F2[History & Mask_2][i];
    return SIF ? (((A >> 1) + B + C) >> 2) + 1 : ((A + B + 2 * C) >> 2) + 1;
  }
};

void Expect_Mix_Matches(const T_QOR_Context_Model& M, const Reference_Context& R) {
  int32_t Sum = 0;
  for (int32_t i = R.N; i >= 1; --i) {
    ASSERT_EQ(M.Cum_Freq[i], Sum) << "index " << i;
    Sum += R.Mixed(i);
  }
  ASSERT_EQ(M.Cum_Freq[0], Sum);
  ASSERT_LT(Sum, 1 << 16);
  ASSERT_EQ(M.Context_1, static_cast<int32_t>(R.History & R.Mask_1));
  ASSERT_EQ(M.Context_2, static_cast<int32_t>(R.History & R.Mask_2));
  for (int32_t s = 0; s < R.N; ++s) ASSERT_EQ(M.Char_To_Index[s], s + 1);
}

class Context_Model : public ::testing::Test {};

}  // namespace

TEST(Plain_Model, ResetGivesAFallingRamp) {
  T_QOR_Model M(4, 450);
  M.Reset();
  EXPECT_EQ(M.Freq[1], 1800);
  EXPECT_EQ(M.Freq[4], 450);
  EXPECT_EQ(M.Cum_Freq[0], 4500);
  EXPECT_EQ(M.Cum_Freq[1], 2700);
  EXPECT_EQ(M.Cum_Freq[3], 450);
  for (int32_t s = 0; s < 4; ++s) EXPECT_EQ(M.Char_To_Index[s], s + 1);
  Expect_Plain_Consistent(M);
  // The largest table of the composite models starts at 46,224.
  T_QOR_Model Last_Group(107, 8);
  Last_Group.Reset();
  EXPECT_EQ(Last_Group.Cum_Freq[0], 46224);
}

TEST(Plain_Model, UpdateMovesSymbolToHeadOfItsRun) {
  T_QOR_Model M(4, 450);
  M.Reset();
  M.Update(4);  // symbol 3: 450 -> 900, now equal to symbol 2
  EXPECT_EQ(M.Freq[3], 900);
  EXPECT_EQ(M.Freq[4], 900);
  EXPECT_EQ(M.Index_To_Char[4], 3);
  M.Update(4);  // symbol 3 again: it takes index 3, symbol 2 moves down to 4
  EXPECT_EQ(M.Index_To_Char[3], 3);
  EXPECT_EQ(M.Index_To_Char[4], 2);
  EXPECT_EQ(M.Char_To_Index[3], 3);
  EXPECT_EQ(M.Char_To_Index[2], 4);
  EXPECT_EQ(M.Freq[3], 1350);
  EXPECT_EQ(M.Freq[4], 900);
  Expect_Plain_Consistent(M);
}

TEST(Plain_Model, HalvingRoundsUpAndKeepsTotalsLow) {
  T_QOR_Model M(2, 1);
  M.Reset();
  for (int32_t k = 0; k < 40000; ++k) M.Update(M.Char_To_Index[0]);
  Expect_Plain_Consistent(M);
  EXPECT_EQ(M.Freq[2], 1);  // symbol 1 never seen again: halved down to 1, never 0
  EXPECT_LT(M.Cum_Freq[0], 0x8000);
  EXPECT_GT(M.Cum_Freq[0], 0x4000 - 2);  // about half of the limit after a halving
}

TEST(Plain_Model, MatchesReferenceUnderRandomUpdates) {
  const std::pair<int32_t, int32_t> Configs[] = {{2, 1},  {2, 100}, {4, 40},  {4, 450}, {8, 333},
                                                 {6, 16}, {38, 8},  {107, 8}, {2, 64},  {259, 1}};
  std::mt19937 Rng(7);
  for (auto [N, Inc] : Configs) {
    T_QOR_Model M(N, Inc);
    M.Reset();
    Reference_Model R(N, Inc);
    std::geometric_distribution<int32_t> Skewed(0.3);
    for (int32_t Step = 0; Step < 20000; ++Step) {
      const int32_t s = (Step & 1) ? Skewed(Rng) % N : static_cast<int32_t>(Rng() % N);
      int32_t x = 1;
      while (R.Symbol_At[x] != s) ++x;
      R.Update(x);
      M.Update(M.Char_To_Index[s]);
      ASSERT_NO_FATAL_FAILURE(Expect_Plain_Consistent(M)) << N << "/" << Inc;
      ASSERT_NO_FATAL_FAILURE(Expect_Same_As_Reference(M, R)) << N << "/" << Inc << " step " << Step;
    }
  }
}

// With increment 1 every frequency difference is at least the increment, so the
// indices stay in falling frequency order through updates and halvings alike.
// Larger increments lose that after a halving (neighbours can end up closer than
// one increment, and the next update lifts a symbol past its neighbour without
// an exchange); coding does not depend on the order, only the search length does.
TEST(Plain_Model, UnitIncrementKeepsFallingOrder) {
  std::mt19937 Rng(3);
  T_QOR_Model M(2, 1);
  M.Reset();
  for (int32_t Step = 0; Step < 200000; ++Step) {
    M.Update(M.Char_To_Index[(Rng() % 7) == 0]);
    ASSERT_GE(M.Freq[1], M.Freq[2]);
  }
  // Before the first halving every frequency is a multiple of the increment,
  // so the order holds for any increment.
  T_QOR_Model Wide(38, 8);
  Wide.Reset();
  for (int32_t Step = 0; Step < 3000; ++Step) {
    Wide.Update(Wide.Char_To_Index[Rng() % 38]);
    if (Wide.Cum_Freq[0] + 8 >= 0x8000) break;
    for (int32_t i = 2; i <= 38; ++i) ASSERT_GE(Wide.Freq[i - 1], Wide.Freq[i]);
  }
}

TEST(Plain_Model, SingleSymbolModelWithZeroIncrementStaysPut) {
  T_QOR_Model M(1, 0);
  M.Reset();
  EXPECT_EQ(M.Cum_Freq[0], 0);
  M.Update(1);
  EXPECT_EQ(M.Freq[0], 0);
  EXPECT_EQ(M.Freq[1], 0);
  EXPECT_EQ(M.Cum_Freq[0], 0);
  EXPECT_EQ(M.Index_To_Char[1], 0);
}

TEST_F(Context_Model, ContextMasksAndTableLayout) {
  T_QOR_Context_Model M(20, 1300, 300, 80, 5, 2);
  EXPECT_EQ(M.Mask_1, 31);
  EXPECT_EQ(M.Mask_2, 1023);
  T_QOR_Context_Model Head(4, 900, 400, 500, 2, 5);
  EXPECT_EQ(Head.Mask_1, 3);
  EXPECT_EQ(Head.Mask_2, 1023);
  T_QOR_Context_Model Small(2, 128, 128, 64, 1, 5);
  EXPECT_EQ(Small.Mask_1, 1);
  EXPECT_EQ(Small.Mask_2, 31);
  // Rows are packed by alphabet size: the sentinel and N entries, padded to a
  // power of two of at least 8.
  EXPECT_EQ(M.Row_Size, 32);
  EXPECT_EQ(M.Row_Shift, 5);
  EXPECT_EQ(Head.Row_Size, 8);
  EXPECT_EQ(Small.Row_Size, 8);
  // The six tables follow each other in one block; each 16-bit table has a
  // row per context and its fresh row.
  const uint8_t* Start = M.Table_Block.get();
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(M.Freq_0), Start);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(M.Cum_0) - Start, 32 * 4);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(M.Freq_1) - Start, 2 * 32 * 4);
  EXPECT_EQ(M.Cum_1 - M.Freq_1, 33 * 32);
  EXPECT_EQ(M.Freq_2 - M.Cum_1, 33 * 32);
  EXPECT_EQ(M.Cum_2 - M.Freq_2, 1025 * 32);
}

TEST_F(Context_Model, ContextResetIsFlatOrRampByFastMode) {
  T_QOR_Context_Model M(8, 40, 20, 10, 3, 3);
  M.Set_Block_Flags(false, false);
  M.Reset();
  EXPECT_EQ(M.Freq_0[1], 40);
  EXPECT_EQ(M.Freq_0[8], 40);
  EXPECT_EQ(M.Cum_0[0], 320);
  EXPECT_EQ(M.Freq_Row_1(7)[5], 20);
  EXPECT_EQ(M.Cum_Row_2(511)[0], 80);
  // Mixed flat: each (20 + 40 + 2*10) / 4 + 1 = 21.
  EXPECT_EQ(M.Cum_Freq[0], 8 * 21);
  M.Set_Block_Flags(true, false);
  M.Reset();
  EXPECT_EQ(M.Freq_0[1], 8 * 40);
  EXPECT_EQ(M.Freq_0[8], 40);
  EXPECT_EQ(M.Freq_Row_2(300)[2], 7 * 10);
  EXPECT_EQ(M.Cum_Row_1(3)[0], 36 * 20);
  EXPECT_EQ(M.Cum_Freq[7], ((20 + 40 + 20) >> 2) + 1);
  M.Set_Block_Flags(false, true);
  M.Reset();
  EXPECT_EQ(M.Cum_Freq[0], 8 * ((((20 >> 1) + 40 + 10) >> 2) + 1));
}

TEST_F(Context_Model, ContextMatchesReferenceUnderRandomUpdates) {
  struct Config {
    int32_t N, I0, I1, I2, Bits, Order;
    bool Level_0;
  };
  const Config Configs[] = {{4, 900, 400, 500, 2, 5, true},   {8, 1000, 500, 150, 3, 2, false},
                            {2, 128, 128, 64, 1, 5, false},   {5, 1400, 400, 200, 3, 3, false},
                            {20, 1300, 300, 80, 5, 2, false}, {8, 40, 20, 10, 3, 3, false}};
  std::mt19937 Rng(11);
  for (const Config& C : Configs) {
    for (int Flags = 0; Flags < 3; ++Flags) {
      const bool Fast = Flags == 1, SIF = Flags == 2;
      // Only the mantissa model is ever reset in fast mode; a ramp over 20
      // symbols with increment 1300 would start far above the coder's limits.
      if (Fast && C.N == 20) continue;
      std::unique_ptr<T_QOR_Context_Model> M =
          C.Level_0 ? std::make_unique<T_QOR_Context_Level_0_Model>(C.N, C.I0, C.I1, C.I2, C.Bits, C.Order)
                    : std::make_unique<T_QOR_Context_Model>(C.N, C.I0, C.I1, C.I2, C.Bits, C.Order);
      M->Set_Block_Flags(Fast, SIF);
      M->Reset();
      Reference_Context R(C.N, C.I0, C.I1, C.I2, C.Bits, C.Order, C.Level_0, Fast, SIF);
      ASSERT_NO_FATAL_FAILURE(Expect_Mix_Matches(*M, R));
      // Long stretches of one symbol drive single rows through many halvings.
      int32_t s = 0;
      for (int32_t Step = 0; Step < 6000; ++Step) {
        if (Rng() % 5 == 0) s = static_cast<int32_t>(Rng() % C.N);
        M->Update(s + 1);
        R.Update(s + 1);
        ASSERT_NO_FATAL_FAILURE(Expect_Mix_Matches(*M, R)) << "N " << C.N << " flags " << Flags << " step " << Step;
      }
      for (int32_t j = 0; j <= C.N; ++j) ASSERT_EQ(M->Freq_0[j], R.F0[j]);
      ASSERT_LT(M->Cum_0[0], 0x8000 + C.I0);
    }
  }
}

// Rows are prepared lazily after Reset: a row worn by one block (past several
// halvings) must look fresh to the next block, whatever its flags, and a row
// first used deep into a block must start from the fresh counts and halve as
// an eagerly reset one would.
TEST_F(Context_Model, ContextRowsStartFreshInEveryBlock) {
  struct Config {
    int32_t N, I0, I1, I2, Bits, Order;
    bool Level_0;
  };
  const Config Configs[] = {
      {4, 900, 400, 500, 2, 5, true}, {8, 40, 20, 10, 3, 3, false}, {5, 1400, 400, 200, 3, 3, false}};
  const int Block_Flags[] = {0, 2, 1, 0, 2};  // 0 plain, 1 fast, 2 SIF
  std::mt19937 Rng(5);
  for (const Config& C : Configs) {
    std::unique_ptr<T_QOR_Context_Model> M =
        C.Level_0 ? std::make_unique<T_QOR_Context_Level_0_Model>(C.N, C.I0, C.I1, C.I2, C.Bits, C.Order)
                  : std::make_unique<T_QOR_Context_Model>(C.N, C.I0, C.I1, C.I2, C.Bits, C.Order);
    for (int Block = 0; Block < 5; ++Block) {
      const bool Fast = Block_Flags[Block] == 1, SIF = Block_Flags[Block] == 2;
      M->Set_Block_Flags(Fast, SIF);
      M->Reset();
      Reference_Context R(C.N, C.I0, C.I1, C.I2, C.Bits, C.Order, C.Level_0, Fast, SIF);
      ASSERT_NO_FATAL_FAILURE(Expect_Mix_Matches(*M, R));
      // Early blocks hammer one symbol (few rows, many halvings); later ones
      // spread over all symbols, so new rows keep appearing late in the block.
      const int32_t Steps = 3000 + 1000 * Block;
      for (int32_t Step = 0; Step < Steps; ++Step) {
        const int32_t s = Block < 2 ? C.N - 1 : static_cast<int32_t>(Rng() % C.N);
        M->Update(s + 1);
        R.Update(s + 1);
        ASSERT_NO_FATAL_FAILURE(Expect_Mix_Matches(*M, R)) << "block " << Block << " step " << Step;
      }
      for (int32_t Row = 0; Row <= R.Mask_1; ++Row) {
        for (int32_t j = 0; j <= C.N; ++j) ASSERT_EQ(M->Freq_Row_1(Row)[j], R.F1[Row][j]) << Row;
      }
      for (int32_t Row = 0; Row <= R.Mask_2; Row += 7) {
        for (int32_t j = 0; j <= C.N; ++j) ASSERT_EQ(M->Freq_Row_2(Row)[j], R.F2[Row][j]) << Row;
      }
    }
  }
}

TEST_F(Context_Model, RowSeenBeforeItsFirstUseIsFresh) {
  T_QOR_Context_Model M(8, 40, 20, 10, 3, 3);
  M.Set_Block_Flags(false, false);
  M.Reset();
  // History 7, 7, 7: rows 7 of the short and 511 of the long context get worn.
  for (int32_t k = 0; k < 400; ++k) M.Update(8);
  EXPECT_GT(M.Freq_Row_1(7)[8], 20);
  EXPECT_GT(M.Freq_Row_2(511)[8], 10);
  M.Set_Block_Flags(true, false);
  M.Reset();
  // Fresh ramps, with their cumulative sums, in rows this block has not used.
  for (int32_t j = 1; j <= 8; ++j) {
    EXPECT_EQ(M.Freq_Row_1(7)[j], (9 - j) * 20) << j;
    EXPECT_EQ(M.Freq_Row_2(511)[j], (9 - j) * 10) << j;
    EXPECT_EQ(M.Cum_Row_1(7)[j - 1], 20 * (8 - j + 1) * (8 - j + 2) / 2) << j;
    EXPECT_EQ(M.Cum_Row_2(511)[j - 1], 10 * (8 - j + 1) * (8 - j + 2) / 2) << j;
  }
  EXPECT_EQ(M.Freq_Row_1(7)[0], 0);
  EXPECT_EQ(M.Cum_Row_2(511)[8], 0);
}

TEST_F(Context_Model, Level0HistoryRemembersOneAsZero) {
  T_QOR_Context_Level_0_Model M(4, 900, 400, 500, 2, 5);
  M.Reset();
  for (int32_t Symbol : {2, 1, 3}) M.Update(Symbol + 1);
  EXPECT_EQ(M.History, 0b100011);
  EXPECT_EQ(M.Context_1, 0b11);
  EXPECT_EQ(M.Context_2, 0b100011);
  T_QOR_Context_Model Plain_History(4, 900, 400, 500, 2, 5);
  Plain_History.Reset();
  for (int32_t Symbol : {2, 1, 3}) Plain_History.Update(Symbol + 1);
  EXPECT_EQ(Plain_History.History, 0b100111);
}

// The model tree of each composite: kind and parameters of every model, as
// {N, increment (order 0 for context models), context increments 1/2, bits, order}.
namespace {

struct Shape {
  int32_t N, I0, I1 = 0, I2 = 0, Bits = 0, Order = 0;
};

void Expect_Shape(const T_QOR_Model& M, const Shape& Want, const char* What) {
  EXPECT_EQ(M.Symbol_Count, Want.N) << What;
  EXPECT_EQ(M.Increment, Want.I0) << What;
  const auto* C = dynamic_cast<const T_QOR_Context_Model*>(&M);
  ASSERT_EQ(C != nullptr, Want.Bits > 0) << What;
  if (C == nullptr) return;
  EXPECT_EQ(C->Increment_1, Want.I1) << What;
  EXPECT_EQ(C->Increment_2, Want.I2) << What;
  EXPECT_EQ(C->Mask_2, (1 << (Want.Bits * Want.Order)) - 1) << What;
}

}  // namespace

TEST(Composite_Models, ModelTrees) {
  T_QOR_Symbol_Model Plain(257);
  T_QOR_Symbol_Model Header(256);
  T_QOR_Symbol_Context_Model Context(257);
  ASSERT_EQ(Plain.Group_Count, 8);
  ASSERT_EQ(Header.Group_Count, 8);
  Expect_Shape(*Plain.Head_Model, {4, 450}, "plain head");
  Expect_Shape(*Plain.Group_Model, {8, 333}, "plain group");
  Expect_Shape(*Context.Head_Model, {4, 900, 400, 500, 2, 5}, "context head");
  EXPECT_NE(dynamic_cast<T_QOR_Context_Level_0_Model*>(Context.Head_Model.get()), nullptr);
  Expect_Shape(*Context.Group_Model, {8, 1000, 500, 150, 3, 2}, "context group");
  EXPECT_EQ(dynamic_cast<T_QOR_Context_Level_0_Model*>(Context.Group_Model.get()), nullptr);
  const Shape Plain_Groups[8] = {{1, 0}, {2, 64}, {4, 16}, {6, 16}, {16, 16}, {38, 8}, {80, 8}, {107, 8}};
  const Shape Context_Groups[2] = {{1, 0, 0, 0, 1, 5}, {2, 128, 128, 64, 1, 5}};
  for (int32_t g = 0; g < 8; ++g) {
    Expect_Shape(*Plain.Group_Models[g], Plain_Groups[g], "plain offsets");
    Expect_Shape(*Context.Group_Models[g], g < 2 ? Context_Groups[g] : Plain_Groups[g], "context offsets");
    Shape Header_Group = Plain_Groups[g];
    if (g == 7) Header_Group.N = 106;
    Expect_Shape(*Header.Group_Models[g], Header_Group, "header offsets");
  }
  T_QOR_Exponent_Model Exponents;
  Expect_Shape(*Exponents.Head_Model, {5, 1400, 400, 200, 3, 3}, "exponent head");
  for (int32_t g = 0; g < 4; ++g) Expect_Shape(*Exponents.Group_Models[g], {1, 0}, "single exponents");
  Expect_Shape(*Exponents.Group_Models[4], {20, 1300, 300, 80, 5, 2}, "exponent offsets");
  Expect_Shape(*T_QOR_Mantissa_Model().Model, {2, 1}, "bit model");
  Expect_Shape(*T_QOR_Mantissa_Model_1().Model, {2, 100}, "mantissa 1");
  Expect_Shape(*T_QOR_Mantissa_Model_2().Model, {4, 40}, "mantissa 2");
  Expect_Shape(*T_QOR_Mantissa_Model_3().Model, {8, 40, 20, 10, 3, 3}, "mantissa 3");
}

TEST(Symbol_Model, DecisionCosts) {
  T_QOR_Symbol_Model M(257);
  for (int32_t s = 0; s <= 256; ++s) {
    const auto Split = qor_test::Symbol_Decisions(M, s);
    const int32_t Expected = s < 3 ? 1 : s == 3 ? 2 : 3;
    ASSERT_EQ(static_cast<int32_t>(Split.size()), Expected) << s;
    EXPECT_EQ(Split[0].Model, M.Head_Model.get());
    EXPECT_EQ(Split[0].Value, s < 3 ? s : 3);
    if (s >= 3) {
      const int32_t g = Split[1].Value;
      EXPECT_EQ(Split[1].Model, M.Group_Model.get());
      EXPECT_GE(s, QOR_Group_Bound[g]);
      EXPECT_LT(s, QOR_Group_Bound[g + 1]);
      const int32_t Offset = Expected == 3 ? Split[2].Value : 0;
      if (Expected == 3) {
        EXPECT_EQ(Split[2].Model, &M.Group_Model_At(g));
      }
      EXPECT_EQ(M.Group_Value(g, Offset), s);
    }
  }
}

TEST(Exponent_Model, DecisionCostsAndGroups) {
  T_QOR_Exponent_Model M;
  for (int32_t e = 0; e < 24; ++e) {
    const auto Split = qor_test::Exponent_Decisions(M, e);
    ASSERT_EQ(Split.size(), e < 4 ? 1u : 2u) << e;
    EXPECT_EQ(Split[0].Model, M.Head_Model.get());
    EXPECT_EQ(Split[0].Value, e < 4 ? e : 4);
    if (e >= 4) {
      EXPECT_EQ(Split[1].Model, M.Group_Models[4].get());
      EXPECT_EQ(Split[1].Value, e - 4);
    }
  }
  EXPECT_EQ(M.Group_Value(4, 19), 23);
}
