// Two pieces of independent work on the machine's two cores.
#pragma once

#include <exception>
#include <system_error>
#include <thread>

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
