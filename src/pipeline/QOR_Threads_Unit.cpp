#include "pipeline/QOR_Threads_Unit.h"

#include <sched.h>

int QOR_Usable_CPUs() {
  cpu_set_t Set;
  CPU_ZERO(&Set);
  if (::sched_getaffinity(0, sizeof Set, &Set) != 0) {
    const unsigned Known = std::thread::hardware_concurrency();
    return Known > 0 ? static_cast<int>(Known) : 1;
  }
  const int Count = CPU_COUNT(&Set);
  return Count > 0 ? Count : 1;
}
