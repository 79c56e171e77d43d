#include "transform_test_support.h"
#include "transforms/QOR_MTF_Unit.h"

namespace {

// Plain list-based move-to-front, written independently of the stage.
T_Bytes Reference_MTF(const T_Bytes& Data) {
  std::vector<uint8_t> List(256);
  for (int k = 0; k < 256; ++k) List[k] = static_cast<uint8_t>(k);
  T_Bytes Out;
  for (uint8_t b : Data) {
    const auto It = std::find(List.begin(), List.end(), b);
    Out.push_back(static_cast<uint8_t>(It - List.begin()));
    List.erase(It);
    List.insert(List.begin(), b);
  }
  return Out;
}

class MTF_Stage : public Transform_Stage {
 protected:
  T_Bytes Encode(const T_Bytes& Data) {
    Set_Input(Data);
    MTF.Encode_Block(B);
    return Bytes_Of(*B.Output);
  }
  T_Bytes Decode(const T_Bytes& Data) {
    Set_Input(Data);
    MTF.Decode_Block(B);
    return Bytes_Of(*B.Output);
  }
  void Expect_Round_Trip(const T_Bytes& Data) {
    const T_Bytes Coded = Encode(Data);
    ASSERT_EQ(Coded, Reference_MTF(Data));
    ASSERT_EQ(Decode(Coded), Data);
  }

  T_QOR_MTF MTF;
};

TEST_F(MTF_Stage, WorkedExample) {
  EXPECT_EQ(Encode({1, 1, 0, 2}), (T_Bytes{1, 0, 1, 2}));
  EXPECT_EQ(Decode({1, 0, 1, 2}), (T_Bytes{1, 1, 0, 2}));
}

TEST_F(MTF_Stage, RepeatedValueGivesItThenZeros) {
  T_Bytes Expected(100, 0);
  Expected[0] = 200;
  EXPECT_EQ(Encode(T_Bytes(100, 200)), Expected);
}

TEST_F(MTF_Stage, EveryBlockStartsFromTheIdentity) {
  EXPECT_EQ(Encode({9, 5, 255}), (T_Bytes{9, 6, 255}));
  EXPECT_EQ(Encode({5}), T_Bytes{5});
  EXPECT_EQ(Decode({9, 6, 255}), (T_Bytes{9, 5, 255}));
  EXPECT_EQ(Decode({9}), T_Bytes{9});
}

TEST_F(MTF_Stage, EmptyInputGivesEmptyOutput) {
  T_QOR_Buffer* Out = B.Output;
  B.Output->Length = 1234;
  EXPECT_EQ(Encode({}), T_Bytes{});
  EXPECT_EQ(B.Output, Out);
  B.Output->Length = 1234;
  EXPECT_EQ(Decode({}), T_Bytes{});
}

TEST_F(MTF_Stage, RoundTrips) {
  std::mt19937 Rng(5);
  Expect_Round_Trip(All_Values(1));
  Expect_Round_Trip(All_Values(20));
  T_Bytes Falling;
  for (int v = 255; v >= 0; --v) Falling.push_back(static_cast<uint8_t>(v));
  Expect_Round_Trip(Falling);
  Expect_Round_Trip(Random_Bytes(Rng, 40000, 256));
  Expect_Round_Trip(Random_Bytes(Rng, 40000, 3));
  Expect_Round_Trip(Skewed_Bytes(Rng, 40000));
  Expect_Round_Trip(Run_Bytes(Rng, 40000, 256, 4));
}

}  // namespace
