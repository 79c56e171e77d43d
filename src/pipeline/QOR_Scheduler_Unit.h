// The files of one phase, cut into blocks and shared by a set of workers,
// each with its own pipeline; records and reports come out in file order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The worker count asked for in the environment variable QOR_THREADS: 0
// when it is unset. Anything but a positive integer there throws
// std::runtime_error("QOR_THREADS: ...").
int QOR_Requested_Workers();

// How many workers to run: Requested (from QOR_Requested_Workers) or, when
// 0, the CPUs this process may run on; then no more than Work_Items (the
// blocks, or files, in hand) and no more than half the machine's memory holds.
int QOR_Worker_Count(int Requested, int64_t Work_Items);

// What the driver reports of a finished file.
struct T_QOR_File_Outcome {
  bool Has_Blocks = false;  // no record was made or read when false (an empty file)
  bool Fast_Mode = false;   // the last block's flags
  bool SIF_Path = false;
  double Elapsed = 0;  // seconds from the file's opening to its last block written
};

struct T_QOR_File_Pair {
  std::string Input;
  std::string Output;
};

// The driver's part, called on the calling thread, file after file in list
// order: Starting before it waits for the file; Check_Output when the file is
// whole, before it is renamed into place (it may throw to refuse it);
// Finished once it is in place.
struct T_QOR_Phase_Hooks {
  std::function<void(size_t Index)> Starting;
  std::function<void(size_t Index)> Check_Output;
  std::function<void(size_t Index, const T_QOR_File_Outcome& Outcome)> Finished;
};

// Compresses (or expands) Files with Workers workers. Blocks of one file
// are worked on by several workers at once and written in file order; the
// output never depends on the worker count. The first failure in list order
// ends the phase: every file and block before it is finished and written,
// nothing after it is, and the failure is thrown here. A damaged block in an
// expansion leaves the blocks verified before it under the output's name.
void QOR_Run_Phase(const std::vector<T_QOR_File_Pair>& Files, bool Compressing, bool Fast, int Workers,
                   const T_QOR_Phase_Hooks& Hooks);

// One file, without a report: for tests and tools.
void QOR_Compress_File(const std::string& Input_Name, const std::string& Output_Name, bool Fast, int Workers = 1);
void QOR_Expand_File(const std::string& Input_Name, const std::string& Output_Name, int Workers = 1);
