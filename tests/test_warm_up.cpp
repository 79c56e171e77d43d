#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "pipeline/QOR_Threads_Unit.h"
#include "pipeline/QOR_Warm_Up_Unit.h"

namespace {

constexpr size_t Region_Bytes = size_t{12} << 20;

struct T_Mapped_Region {
  T_Mapped_Region() {
    void* Memory = ::mmap(nullptr, Region_Bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    Data = Memory == MAP_FAILED ? nullptr : static_cast<uint8_t*>(Memory);
  }
  ~T_Mapped_Region() {
    if (Data != nullptr) ::munmap(Data, Region_Bytes);
  }
  uint8_t* Data;
};

// Mapping ahead must keep what the stages write meanwhile and what they
// wrote before, and leave fresh memory zero; ranges need not be page-aligned.
TEST(Warm_Up, KeepsWhatIsWrittenWhileItRuns) {
  T_Mapped_Region Region;
  ASSERT_NE(Region.Data, nullptr);
  uint8_t* const Data = Region.Data;
  std::memset(Data, 0x5A, 4096);
  T_QOR_Thread_Budget Budget(1);
  T_QOR_Warm_Up Warm_Up;
  Warm_Up.Start(&Budget, {{Data + 100, 5 << 20}, {Data + (6 << 20) + 7, 5 << 20}});
  for (size_t i = 4096; i < Region_Bytes; i += 4093) Data[i] = static_cast<uint8_t>(i % 251 + 1);
  Warm_Up.Finish();
  for (size_t i = 0; i < 4096; ++i) ASSERT_EQ(Data[i], 0x5A) << i;
  for (size_t i = 4096; i < Region_Bytes; ++i) {
    const uint8_t Expected = (i - 4096) % 4093 == 0 ? static_cast<uint8_t>(i % 251 + 1) : 0;
    ASSERT_EQ(Data[i], Expected) << i;
  }
  // A second start after the first has ended, and a start that finds one running.
  Warm_Up.Start(&Budget, {{Data, 1 << 20}});
  Warm_Up.Start(&Budget, {{Data + (1 << 20), 1 << 20}});
  Warm_Up.Finish();
  EXPECT_EQ(Data[0], 0x5A);
  // The thread was given back: a helper is free again, and none beyond it.
  EXPECT_TRUE(Budget.Try_Take());
  EXPECT_FALSE(Budget.Try_Take());
}

}  // namespace
