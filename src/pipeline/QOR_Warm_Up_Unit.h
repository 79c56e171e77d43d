// Maps working memory on the second core ahead of the stages that will
// write it.
#pragma once

#include <cstdint>
#include <thread>
#include <vector>

class T_QOR_Thread_Budget;

// The kernel clears every fresh page on first touch, and on this kind of
// machine that can cost a third of an expansion: a 5 MB block writes about
// 45 MB of working memory. While the block is read and the coder decodes
// (one thread, most of the time), a background thread asks the kernel to map
// what the coder and the later stages will write. Mapping a page does not change its contents, so the
// thread never races with the stages' writes; a page a stage reaches first
// is simply mapped by that stage.
class T_QOR_Warm_Up {
 public:
  struct T_Range {
    uint8_t* Data;
    int64_t Length;
  };

  T_QOR_Warm_Up() = default;
  T_QOR_Warm_Up(const T_QOR_Warm_Up&) = delete;
  T_QOR_Warm_Up& operator=(const T_QOR_Warm_Up&) = delete;
  ~T_QOR_Warm_Up() { Finish(); }

  // Maps the ranges, in the order given, on a background thread taken from
  // Budget and given back when it ends; a run still going is finished first.
  // Without a thread free (or without a budget) nothing is mapped ahead.
  void Start(T_QOR_Thread_Budget* Budget, std::vector<T_Range> Ranges);
  // Waits for the background thread; the memory must not be unmapped before.
  void Finish();

 private:
  std::thread Worker;
};
