// The pipeline's own machinery: memory layout, Side_Info stack, integer stream
// with segments, the bit step of the AWFC path, and the container checks.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "pipeline/QOR_File_Unit.h"
#include "pipeline/QOR_MCP_Unit.h"
#include "pipeline/QOR_Scheduler_Unit.h"
#include "qor_process.h"

namespace {

class Pipeline_Memory : public ::testing::Test {
 protected:
  T_QOR_MCP Pipeline;
  T_QOR_Block_Data& B = Pipeline.Block();
  T_QOR_Code_Streams& S = *B.Code_Streams;

  void Reset_Streams() { Pipeline.Reset_Integer_Streams(); }

  // What the coder leaves on expansion: mantissas grouped by exponent with
  // every cursor at the end of its group, and a terminating 0 segment length.
  void Regroup_As_Decoder() {
    std::vector<int32_t> Grouped;
    int32_t Start[QOR_Exponent_Slots] = {};
    for (int E = 1; E < QOR_Exponent_Slots; ++E) Start[E] = Start[E - 1] + S.Exponent_Counts[E - 1];
    Grouped.resize(S.Mantissa_Count);
    int32_t Cursor[QOR_Exponent_Slots];
    std::copy(std::begin(Start), std::end(Start), Cursor);
    for (int32_t i = 0, j = 0; i < S.Exponent_Count; ++i) {
      const int E = S.Exponents[i];
      if (E > 0) Grouped[Cursor[E]++] = S.Mantissas[j++];
    }
    std::copy(Grouped.begin(), Grouped.end(), S.Mantissas);
    std::copy(std::begin(Cursor), std::end(Cursor), S.Mantissa_Cursors);
    S.Segment_Lengths[S.Segment_Count] = 0;
  }

  std::vector<uint8_t> Output_Bytes() const { return {B.Output->Data, B.Output->Data + B.Output->Length}; }
};

TEST_F(Pipeline_Memory, WorkingMemoryLeavesSpareBytesAroundBothBuffers) {
  // The BWT writes one guard byte before Input and 257 bytes past a full block.
  uint8_t* A = B.Input->Data;
  uint8_t* C = B.Output->Data;
  const auto Gap = C > A ? C - A : A - C;
  EXPECT_GE(Gap, QOR_Buffer_Capacity + 32);
  A[-1] = 1;
  A[QOR_Buffer_Capacity + 15] = 2;
  C[-16] = 3;
  EXPECT_EQ(QOR_MCP, &Pipeline);
}

// A block uses each region from its start: one that began late in a large
// page would cross into a second fresh one early.
TEST_F(Pipeline_Memory, RegionsAfterTheFirstStartOnALargePage) {
  const T_QOR_Code_Streams& Streams = *B.Code_Streams;
  for (const void* Start :
       {static_cast<const void*>(B.Output->Data - QOR_Buffer_Spare), static_cast<const void*>(Streams.Exponents),
        static_cast<const void*>(Streams.Mantissas), static_cast<const void*>(Streams.Runs),
        static_cast<const void*>(B.Int_Work), static_cast<const void*>(B.UInt_Work)}) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Start) % QOR_Large_Page, 0u) << Start;
  }
}

TEST_F(Pipeline_Memory, SwapBuffersExchangesOnlyInputAndOutput) {
  T_QOR_Buffer* In = B.Input;
  T_QOR_Buffer* Out = B.Output;
  int32_t* Work = B.Int_Work;
  T_QOR_MCP::Swap_Buffers(B);
  EXPECT_EQ(B.Input, Out);
  EXPECT_EQ(B.Output, In);
  EXPECT_EQ(B.Int_Work, Work);
}

TEST(Exponent, SplitsEveryIntegerIntoExponentAndMantissa) {
  EXPECT_EQ(T_QOR_MCP::Exponent_Of(0), 0);
  EXPECT_EQ(T_QOR_MCP::Exponent_Of(1), 1);
  EXPECT_EQ(T_QOR_MCP::Exponent_Of(2), 1);
  EXPECT_EQ(T_QOR_MCP::Exponent_Of(3), 2);
  EXPECT_EQ(T_QOR_MCP::Exponent_Of(6), 2);
  EXPECT_EQ(T_QOR_MCP::Exponent_Of(7), 3);
  EXPECT_EQ(T_QOR_MCP::Exponent_Of(16777214), 23);
  for (int E = 1; E < 24; ++E) {
    EXPECT_EQ(T_QOR_MCP::Exponent_Of((1 << E) - 1), E);
    EXPECT_EQ(T_QOR_MCP::Exponent_Of((1 << (E + 1)) - 2), E);
  }
}

TEST_F(Pipeline_Memory, SideInfoPopsInReverseOrderOfPushes) {
  B.Side_Info->Length = 2;
  Pipeline.Push_Side_Info(0x038B67CF, 4);
  Pipeline.Push_Side_Info(4, 3);
  Pipeline.Push_Side_Info(77, 1);
  const std::vector<uint8_t> Header(B.Side_Info->Data + 2, B.Side_Info->Data + B.Side_Info->Length);
  EXPECT_EQ(Header, (std::vector<uint8_t>{0xCF, 0x67, 0x8B, 0x03, 0x04, 0x00, 0x00, 77}));
  EXPECT_EQ(Pipeline.Pop_Side_Info(1), 77u);
  EXPECT_EQ(Pipeline.Pop_Side_Info(3), 4u);
  EXPECT_EQ(Pipeline.Pop_Side_Info(4), 0x038B67CFu);
  EXPECT_EQ(B.Side_Info->Length, 2);
  // The two reserved bytes are never popped: an exhausted header is damage.
  EXPECT_THROW(Pipeline.Pop_Side_Info(1), T_QOR_Damaged_Block);
}

TEST_F(Pipeline_Memory, IntegerStreamKeepsExponentsMantissasAndCounts) {
  Reset_Streams();
  for (int32_t V : {0, 1, 2, 3, 1000, 16777214}) Pipeline.Put_Integer(V);
  EXPECT_EQ(S.Exponent_Count, 6);
  EXPECT_EQ(S.Mantissa_Count, 5);
  EXPECT_EQ(std::vector<int>(S.Exponents, S.Exponents + 6), (std::vector<int>{0, 1, 1, 2, 9, 23}));
  EXPECT_EQ(std::vector<int32_t>(S.Mantissas, S.Mantissas + 5), (std::vector<int32_t>{0, 1, 0, 489, 8388607}));
  EXPECT_EQ(S.Exponent_Counts[0], 0);
  EXPECT_EQ(S.Exponent_Counts[1], 2);
  EXPECT_EQ(S.Exponent_Counts[23], 1);
}

TEST_F(Pipeline_Memory, RewindReturnsToTheStartOfTheLastSegment) {
  Reset_Streams();
  std::mt19937 Random(7);
  std::vector<int32_t> Values;
  for (int i = 0; i < 3000; ++i) Values.push_back(static_cast<int32_t>(Random() >> (Random() % 32)) & 0xFFFFFF);
  for (int i = 0; i < 1000; ++i) Pipeline.Put_Integer(Values[i]);
  Pipeline.Mark_Segment();
  for (int i = 1000; i < 3000; ++i) Pipeline.Put_Integer(Values[i]);
  Pipeline.Mark_Segment();
  EXPECT_EQ(S.Segment_Count, 2);
  EXPECT_EQ(S.Segment_Lengths[0], 1000);
  EXPECT_EQ(S.Segment_Lengths[1], 2000);

  Regroup_As_Decoder();
  Pipeline.Rewind_Segments();
  EXPECT_EQ(S.Exponent_Count, 1000);
  for (int i = 1000; i < 3000; ++i) ASSERT_EQ(Pipeline.Get_Integer(), Values[i]) << i;
}

TEST_F(Pipeline_Memory, RewindRejectsSegmentsLongerThanTheStream) {
  Reset_Streams();
  Pipeline.Put_Integer(5);
  Pipeline.Mark_Segment();
  Regroup_As_Decoder();
  S.Segment_Lengths[0] = 2;
  EXPECT_THROW(Pipeline.Rewind_Segments(), T_QOR_Damaged_Block);
  S.Segment_Count = 0;
  EXPECT_THROW(Pipeline.Rewind_Segments(), T_QOR_Damaged_Block);
}

// The AWFC path's symbols and run counts as one byte stream.
class Bit_Step_Stage : public Pipeline_Memory {
 protected:
  std::vector<uint8_t> Encode(const std::vector<uint8_t>& Symbols, const std::vector<int32_t>& Counts) {
    std::copy(Symbols.begin(), Symbols.end(), B.Input->Data);
    std::copy(Counts.begin(), Counts.end(), B.Int_Work);
    B.Input->Length = static_cast<int32_t>(Symbols.size());
    Pipeline.Encode_Bit_Step();
    return Output_Bytes();
  }

  void Decode(const std::vector<uint8_t>& Stream) {
    std::copy(Stream.begin(), Stream.end(), B.Input->Data);
    B.Input->Length = static_cast<int32_t>(Stream.size());
    Pipeline.Decode_Bit_Step();
  }
};

TEST_F(Bit_Step_Stage, SymbolsMoveUpAndTheTopThreeTakeAnEscape) {
  EXPECT_EQ(Encode({1, 2, 253}, {0, 0, 0}), (std::vector<uint8_t>{2, 3, 254}));
  EXPECT_EQ(Encode({254, 255, 0}, {0, 0, 0}), (std::vector<uint8_t>{255, 0, 255, 1, 255, 2}));
}

TEST_F(Bit_Step_Stage, CountsAreBijectiveBaseTwoLeastSignificantFirst) {
  const std::vector<std::pair<int32_t, std::vector<uint8_t>>> Cases = {{1, {0}},    {2, {1}},    {3, {0, 0}},
                                                                       {4, {1, 0}}, {6, {1, 1}}, {7, {0, 0, 0}}};
  for (const auto& [Count, Bits] : Cases) {
    std::vector<uint8_t> Expected = {6};
    Expected.insert(Expected.end(), Bits.begin(), Bits.end());
    EXPECT_EQ(Encode({5}, {Count}), Expected) << Count;
  }
  EXPECT_EQ(Encode({0}, {1}), (std::vector<uint8_t>{255, 2, 0}));
}

TEST_F(Bit_Step_Stage, RoundTripsEveryCountUpTo2Pow24) {
  std::vector<uint8_t> Symbols;
  std::vector<int32_t> Counts;
  std::mt19937 Random(11);
  for (int32_t R = 0; R <= (1 << 24); R += 1 + (R >> 6)) {
    Symbols.push_back(static_cast<uint8_t>(Random()));
    Counts.push_back(R);
  }
  for (int32_t R = (1 << 24) - 40; R <= (1 << 24); ++R) {
    Symbols.push_back(static_cast<uint8_t>(Random()));
    Counts.push_back(R);
  }
  const std::vector<uint8_t> Stream = Encode(Symbols, Counts);
  std::fill(B.Int_Work, B.Int_Work + Counts.size(), -1);
  Decode(Stream);
  ASSERT_EQ(Output_Bytes(), Symbols);
  EXPECT_EQ(std::vector<int32_t>(B.Int_Work, B.Int_Work + Counts.size()), Counts);
}

TEST_F(Bit_Step_Stage, RejectsStreamsNoEncoderWrites) {
  EXPECT_THROW(Decode({0, 5}), T_QOR_Damaged_Block);       // bits before any symbol
  EXPECT_THROW(Decode({9, 255}), T_QOR_Damaged_Block);     // escape cut off
  EXPECT_THROW(Decode({9, 255, 3}), T_QOR_Damaged_Block);  // escape beyond symbol 0
  std::vector<uint8_t> Long_Count = {9};
  Long_Count.insert(Long_Count.end(), 31, 1);  // a count beyond 31 bits
  EXPECT_THROW(Decode(Long_Count), T_QOR_Damaged_Block);
  Decode({});
  EXPECT_EQ(B.Output->Length, 0);
}

// Container checks on crafted files: each is refused as a damaged block and
// leaves an empty output.
class Container : public Pipeline_Memory {
 protected:
  qor_test::T_Temp_Dir Temp;
  std::string Directory = Temp.Dir() + "/";
  std::string In_Name = Directory + "in.qor";
  std::string Out_Name = Directory + "out.exp";

  void Write_Input(const std::vector<uint8_t>& Bytes) {
    std::ofstream(In_Name, std::ios::binary).write(reinterpret_cast<const char*>(Bytes.data()), Bytes.size());
  }

  std::vector<uint8_t> Read_Output() {
    std::ifstream File(Out_Name, std::ios::binary);
    return {std::istreambuf_iterator<char>(File), {}};
  }
};

TEST_F(Container, EmptyFileExpandsToEmptyFile) {
  Write_Input({});
  QOR_Expand_File(In_Name, Out_Name);
  EXPECT_TRUE(Read_Output().empty());
}

TEST_F(Container, RefusesHeadersNoCompressorWrites) {
  const std::vector<uint8_t> Payload(8, 0);
  auto Block = [&](std::vector<uint8_t> Header, uint32_t P) {
    Header.push_back(P & 0xFF);
    Header.push_back((P >> 8) & 0xFF);
    Header.push_back(P >> 16);
    Header.insert(Header.end(), Payload.begin(), Payload.end());
    return Header;
  };
  const std::vector<uint8_t> Fast = {12, 0x01, 0, 0, 0, 0, 1, 0, 0};
  const std::vector<std::pair<const char*, std::vector<uint8_t>>> Cases = {
      {"header length 11", Block({11, 0x01, 0, 0, 0, 0, 1, 0}, 8)},
      {"header length 14", Block({14, 0x01, 0, 0, 0, 0, 1, 0, 0, 0, 0}, 8)},
      {"13 bytes with fast flags", Block({13, 0x01, 0, 0, 0, 0, 1, 0, 0, 0}, 8)},
      {"12 bytes with AWFC flags", Block({12, 0x00, 0, 0, 0, 0, 1, 0, 0}, 8)},
      {"unknown flag bit", Block({12, 0x05, 0, 0, 0, 0, 1, 0, 0}, 8)},
      {"payload above capacity", Block(Fast, QOR_Buffer_Capacity + 1)},
      {"payload cut short", Block(Fast, 9)},
      {"header cut short", {12, 0x01, 0, 0}},
      {"file ends after a header", {12, 0x01, 0, 0, 0, 0, 1, 0, 0, 8, 0, 0}},
  };
  for (const auto& [Name, Bytes] : Cases) {
    Write_Input(Bytes);
    EXPECT_THROW(QOR_Expand_File(In_Name, Out_Name), T_QOR_Damaged_Block) << Name;
    EXPECT_TRUE(Read_Output().empty()) << Name;
  }
}

TEST_F(Container, MissingInputIsAFileError) {
  EXPECT_THROW(QOR_Expand_File(Directory + "qor_no_such_file", Out_Name), T_QOR_File_Error);
  EXPECT_THROW(QOR_Compress_File(Directory + "qor_no_such_file", Out_Name, true), T_QOR_File_Error);
}

TEST_F(Container, RefusesToOverwriteTheInputThroughALink) {
  Write_Input({1, 2, 3});
  const std::string Link = Directory + "link.qor";
  ASSERT_EQ(::symlink(In_Name.c_str(), Link.c_str()), 0);
  EXPECT_THROW(QOR_Compress_File(In_Name, Link, true), T_QOR_File_Error);
  std::ifstream File(In_Name, std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(File), {}), (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
