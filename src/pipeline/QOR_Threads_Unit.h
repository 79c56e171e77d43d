// Threads: the process's one budget of busy threads, and two pieces of
// independent work run on two of them.
#pragma once

#include <atomic>
#include <exception>
#include <system_error>
#include <thread>

// The CPUs this process may run on (its affinity mask), at least 1.
int QOR_Usable_CPUs();

// How many more threads may be busy at once. Block workers hold one each
// while they work on a block; a stage asks for a helper only for as long as
// the helper runs and does the work alone when none is free. So when as many
// blocks are in flight as there are CPUs the helpers stay off, and with one
// block they are on.
class T_QOR_Thread_Budget {
 public:
  explicit T_QOR_Thread_Budget(int Spare_Threads) : Spare(Spare_Threads) {}
  T_QOR_Thread_Budget(const T_QOR_Thread_Budget&) = delete;
  T_QOR_Thread_Budget& operator=(const T_QOR_Thread_Budget&) = delete;

  // A helper: true when one was free, which the caller must then give back.
  bool Try_Take() {
    int Now = Spare.load(std::memory_order_relaxed);
    while (Now > 0) {
      if (Spare.compare_exchange_weak(Now, Now - 1, std::memory_order_acquire)) return true;
    }
    return false;
  }
  void Give_Back() { Spare.fetch_add(1, std::memory_order_release); }
  // A block worker: taken whether or not one is free (more workers than CPUs
  // may be asked for), so the count can go below 0.
  void Take() { Spare.fetch_sub(1, std::memory_order_acquire); }

 private:
  std::atomic<int> Spare;
};

// Runs First on the calling thread and Second on a new one, and returns when
// both have ended. An exception (a damaged block, say) must not leave the new
// thread: it is caught there and thrown again here once both have ended,
// the calling thread's own first. Without a thread to spare, Second runs
// after First on the calling thread. Returns whether a second thread ran.
template <class T_First, class T_Second>
bool QOR_Run_Both(const T_First& First, const T_Second& Second) {
  std::exception_ptr Second_Failure;
  std::thread Worker;
  try {
    Worker = std::thread([&Second, &Second_Failure] {
      try {
        Second();
      } catch (...) {
        Second_Failure = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    First();
    Second();
    return false;
  }
  std::exception_ptr First_Failure;
  try {
    First();
  } catch (...) {
    First_Failure = std::current_exception();
  }
  Worker.join();
  if (First_Failure) std::rethrow_exception(First_Failure);
  if (Second_Failure) std::rethrow_exception(Second_Failure);
  return true;
}

// The same with a helper from Budget (none when Budget is null): one after
// the other on the calling thread when no helper is free.
template <class T_First, class T_Second>
bool QOR_Run_Both(T_QOR_Thread_Budget* Budget, const T_First& First, const T_Second& Second) {
  if (Budget == nullptr || !Budget->Try_Take()) {
    First();
    Second();
    return false;
  }
  struct T_Return {
    T_QOR_Thread_Budget* Budget;
    ~T_Return() { Budget->Give_Back(); }
  } Return{Budget};
  return QOR_Run_Both(First, Second);
}
