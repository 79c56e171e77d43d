#include "pipeline/QOR_Warm_Up_Unit.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "pipeline/QOR_Threads_Unit.h"

namespace {

// Steps of one large page, so that a stage that catches up with the thread
// waits for little.
constexpr uintptr_t Step_Bytes = uintptr_t{2} << 20;

// Kernels before 5.14 lack the request: the stages then map their pages
// themselves, as they would anyway.
void Map_Range(const T_QOR_Warm_Up::T_Range& Range) {
#ifdef MADV_POPULATE_WRITE
  const auto Page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t Begin = reinterpret_cast<uintptr_t>(Range.Data) & ~(Page - 1);
  const uintptr_t End = reinterpret_cast<uintptr_t>(Range.Data) + static_cast<uintptr_t>(Range.Length);
  for (uintptr_t At = Begin; At < End; At += Step_Bytes) {
    const size_t Length = std::min(Step_Bytes, End - At);
    if (::madvise(reinterpret_cast<void*>(At), Length, MADV_POPULATE_WRITE) != 0) return;
  }
#else
  (void)Range;
#endif
}

}  // namespace

void T_QOR_Warm_Up::Start(T_QOR_Thread_Budget* Budget, std::vector<T_Range> Ranges) {
  Finish();
  if (Budget == nullptr || !Budget->Try_Take()) return;
  try {
    Worker = std::thread([Budget, Ranges = std::move(Ranges)] {
      for (const T_Range& Range : Ranges) Map_Range(Range);
      Budget->Give_Back();
    });
  } catch (const std::system_error&) {
    // No thread to spare: the stages map their pages as they go.
    Budget->Give_Back();
  }
}

void T_QOR_Warm_Up::Finish() {
  if (Worker.joinable()) Worker.join();
}
