// How a block goes through a phase:
//
//   claim (under the lock)       work (no lock)               write (under the lock)
//   open the file, cut the       a worker's own pipeline      in file order: the block
//   next block: its offset  -->  compresses or expands it --> whose turn it is goes
//   (expansion: check the        (the retry and the split      straight from the pipeline's
//   record's header)             on refusal stay per block)    buffer; a block finished
//                                                              early waits as a copy
//
// The driver's thread follows the files in list order: it waits for each to
// be whole, renames it into place and reports it. With one worker, that
// worker is the driver's thread, working on each file's blocks in turn. A
// failure (a damaged block, a file error) is kept with its block; when that
// block's turn comes, the blocks before it have been written, nothing after
// it is, and the driver's thread throws it once the workers have stopped.
#include "pipeline/QOR_Scheduler_Unit.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "pipeline/QOR_File_Unit.h"
#include "pipeline/QOR_MCP_Unit.h"
#include "pipeline/QOR_Output_File_Unit.h"
#include "pipeline/QOR_Threads_Unit.h"

int QOR_Requested_Workers() {
  const char* Text = std::getenv("QOR_THREADS");
  if (Text == nullptr) return 0;
  const std::string Value = Text;
  // Digits only, no sign, no spaces; at most what an int holds and far more
  // workers than any machine runs.
  const bool Digits = !Value.empty() && Value.size() <= 6 &&
                      std::all_of(Value.begin(), Value.end(), [](char C) { return C >= '0' && C <= '9'; });
  const int Count = Digits ? std::stoi(Value) : 0;
  if (Count < 1) {
    throw std::runtime_error("QOR_THREADS: \"" + Value + "\" is not a worker count (a positive integer below 1000000)");
  }
  return Count;
}

int QOR_Worker_Count(int Requested, int64_t Work_Items) {
  int64_t Count = Requested > 0 ? Requested : QOR_Usable_CPUs();
  Count = std::min(Count, std::max<int64_t>(Work_Items, 1));
  // Each worker maps its pipeline's working memory and makes its models;
  // together they may take half of the machine's memory at most.
  constexpr int64_t Worker_Bytes = QOR_Working_Memory_Size + (int64_t{8} << 20);
  const long Pages = ::sysconf(_SC_PHYS_PAGES);
  const long Page_Size = ::sysconf(_SC_PAGESIZE);
  if (Pages > 0 && Page_Size > 0) {
    const int64_t Half = static_cast<int64_t>(Pages) * Page_Size / 2;
    Count = std::min<int64_t>(Count, std::max<int64_t>(Half / Worker_Bytes, 1));
  }
  return static_cast<int>(std::max<int64_t>(Count, 1));
}

namespace {

int64_t Milliseconds_Now() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A block's place in the file's order, and what became of it.
struct T_Block_Result {
  bool Done = false;
  // Records that could not be written when they were made, because an
  // earlier block of the file was still being worked on.
  std::vector<uint8_t> Parked;
  bool Has_Record = false;
  bool Fast_Mode = false;
  bool SIF_Path = false;
  std::exception_ptr Failure;
};

struct T_File_Work {
  T_QOR_File_Pair Names;
  bool Opened = false;
  T_QOR_File Input;
  std::unique_ptr<T_QOR_Output_File> Output;
  int64_t Size = 0;
  int64_t Start_Time = 0;
  // Where the next block starts: in the input when compressing, at its
  // record when expanding.
  int64_t Next_Position = 0;
  int64_t Blocks_Claimed = 0;
  bool All_Claimed = false;
  int64_t Next_To_Write = 0;
  std::map<int64_t, T_Block_Result> Blocks;  // claimed and not yet written
  std::exception_ptr Failure;
  bool Finished = false;  // every block written, or a failure whose turn came
  bool Committed = false;
  T_QOR_File_Outcome Outcome;
};

// One block to work on.
struct T_Job {
  size_t File = 0;
  int64_t Index = 0;
  int64_t Position = 0;
  int32_t Count = 0;  // compression: bytes of input
  uint8_t Header[T_QOR_MCP::Max_Header_Length] = {};
  T_QOR_MCP::T_Record_Header Sizes{};
  bool More_Blocks = false;
};

class T_Phase {
 public:
  T_Phase(const std::vector<T_QOR_File_Pair>& Files_, bool Compressing_, bool Fast_, int Workers)
      : Compressing(Compressing_),
        Fast(Fast_),
        Worker_Count(std::max(Workers, 1)),
        Budget(QOR_Usable_CPUs()),
        Files(Files_.size()) {
    for (size_t k = 0; k < Files_.size(); ++k) Files[k].Names = Files_[k];
  }

  void Run(const T_QOR_Phase_Hooks& Hooks);

 private:
  void Work();
  void Work_Alone(const T_File_Work& File, T_QOR_MCP& Pipeline);
  void Work_On(T_QOR_MCP& Pipeline, const T_Job& Job);
  void Note_Worker_Failure();
  bool Claim(T_Job& Job, bool Wait);
  void Open(size_t Index, T_File_Work& File);
  void Do_Job(T_QOR_MCP& Pipeline, const T_Job& Job);
  void Put_Record(const T_Job& Job, const uint8_t* Header, int32_t Header_Length, const uint8_t* Payload,
                  int32_t Payload_Length, bool Fast_Mode, bool SIF_Path);
  void Finish_Job(const T_Job& Job, std::exception_ptr Failure);
  void Write_In_Order(size_t Index, T_File_Work& File);
  void Fail_File(size_t Index, T_File_Work& File, std::exception_ptr Failure);
  void Stop_Workers(std::vector<std::thread>& Threads);

  const bool Compressing;
  const bool Fast;
  const int Worker_Count;
  // Every worker holds one thread of it while it works on a block; the
  // stages take their helpers from what is left.
  T_QOR_Thread_Budget Budget;

  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<T_File_Work> Files;
  size_t Claim_File = 0;              // the file the next block comes from
  size_t Stop_At = SIZE_MAX;          // no block of a later file is claimed
  bool Stopping = false;              // no block is claimed at all
  int64_t Parked_Blocks = 0;          // done, waiting for their turn
  size_t Files_Open = 0;              // opened and not yet committed
  std::exception_ptr Worker_Failure;  // something no block owns
};

void T_Phase::Run(const T_QOR_Phase_Hooks& Hooks) {
  std::vector<std::thread> Threads;
  // A single worker is the driver's thread itself, working between its
  // commits: starting a thread and switching to this one for each file cost
  // as much as expanding a small file (0.15 to 0.3 ms of a 3 ms run on one
  // core here).
  std::unique_ptr<T_QOR_MCP> Own_Pipeline;
  if (Worker_Count == 1) {
    try {
      Own_Pipeline = std::make_unique<T_QOR_MCP>(Budget);
    } catch (...) {
      Note_Worker_Failure();
    }
  } else {
    try {
      for (int k = 0; k < Worker_Count; ++k) Threads.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      // Fewer workers than asked for; with none at all, nothing could run.
      if (Threads.empty()) throw;
    }
  }
  try {
    for (size_t Index = 0; Index < Files.size(); ++Index) {
      if (Hooks.Starting) Hooks.Starting(Index);
      T_File_Work& File = Files[Index];
      if (Own_Pipeline) Work_Alone(File, *Own_Pipeline);
      std::unique_lock<std::mutex> Guard(Lock);
      if (Own_Pipeline && !File.Finished && !Worker_Failure) {
        // No one else could finish the file: waiting would never end.
        throw std::logic_error("scheduler: a file was left unfinished with no block to work on");
      }
      Changed.wait(Guard, [&] { return File.Finished || Worker_Failure; });
      if (Worker_Failure) std::rethrow_exception(Worker_Failure);
      if (File.Failure) {
        bool Damaged = false;
        try {
          std::rethrow_exception(File.Failure);
        } catch (const T_QOR_Damaged_Block&) {
          Damaged = true;
        } catch (...) {
        }
        // The blocks verified before the damage are the user's data: they
        // stay, under the final name. Nothing else is kept.
        if (Damaged && !Compressing && File.Output) {
          Guard.unlock();
          if (Hooks.Check_Output) Hooks.Check_Output(Index);
          File.Output->Commit(File.Input.Descriptor());
        }
        std::rethrow_exception(File.Failure);
      }
      Guard.unlock();
      if (Hooks.Check_Output) Hooks.Check_Output(Index);
      File.Output->Commit(File.Input.Descriptor());
      File.Input.Close();
      const T_QOR_File_Outcome Outcome = File.Outcome;
      {
        const std::lock_guard<std::mutex> Hold(Lock);
        File.Committed = true;
        File.Output.reset();
        Files_Open -= 1;
      }
      Changed.notify_all();
      if (Hooks.Finished) Hooks.Finished(Index, Outcome);
    }
  } catch (...) {
    Stop_Workers(Threads);
    throw;
  }
  Stop_Workers(Threads);
}

void T_Phase::Stop_Workers(std::vector<std::thread>& Threads) {
  {
    const std::lock_guard<std::mutex> Guard(Lock);
    Stopping = true;
  }
  Changed.notify_all();
  for (std::thread& Thread : Threads) Thread.join();
}

// A worker: its own pipeline, made on its own thread so that the stages call
// back to it, then one block after another until none is left.
void T_Phase::Work() {
  try {
    T_QOR_MCP Pipeline(Budget);
    T_Job Job;
    while (Claim(Job, true)) Work_On(Pipeline, Job);
  } catch (...) {
    Note_Worker_Failure();
  }
}

// The only worker, on the driver's thread: blocks in file order until File
// is whole. Its commit is what makes room for files further on, so a claim
// that would wait for room ends the turn instead; by then File is whole,
// since every block claimed before was worked on at once.
void T_Phase::Work_Alone(const T_File_Work& File, T_QOR_MCP& Pipeline) {
  try {
    T_Job Job;
    for (;;) {
      {
        const std::lock_guard<std::mutex> Guard(Lock);
        if (File.Finished || Worker_Failure) return;
      }
      if (!Claim(Job, false)) return;
      Work_On(Pipeline, Job);
    }
  } catch (...) {
    Note_Worker_Failure();
  }
}

void T_Phase::Work_On(T_QOR_MCP& Pipeline, const T_Job& Job) {
  Budget.Take();
  std::exception_ptr Failure;
  try {
    Do_Job(Pipeline, Job);
  } catch (T_QOR_Damaged_Block& Damage) {
    Damage.Locate(Files[Job.File].Names.Input, Job.Index + 1, Job.Position);
    Failure = std::current_exception();
  } catch (...) {
    Failure = std::current_exception();
  }
  Budget.Give_Back();
  Finish_Job(Job, Failure);
}

// The pipeline could not be made (memory), or the bookkeeping failed: the
// driver's thread must not wait for this worker's blocks forever.
void T_Phase::Note_Worker_Failure() {
  {
    const std::lock_guard<std::mutex> Guard(Lock);
    if (!Worker_Failure) Worker_Failure = std::current_exception();
    Stopping = true;
  }
  Changed.notify_all();
}

// The next block in file order, once there is room for it: blocks finished
// out of turn are copies in memory, and files opened ahead hold descriptors
// and temporary files, so neither may run far ahead of the writing. Without
// Wait, no room means no block.
bool T_Phase::Claim(T_Job& Job, bool Wait) {
  std::unique_lock<std::mutex> Guard(Lock);
  for (;;) {
    const auto Ready = [&] {
      if (Stopping || Claim_File >= Files.size() || Claim_File >= Stop_At) return true;
      if (Parked_Blocks >= Worker_Count) return false;
      return Files[Claim_File].Opened || Files_Open < static_cast<size_t>(2 * Worker_Count + 2);
    };
    if (Wait) {
      Changed.wait(Guard, Ready);
    } else if (!Ready()) {
      return false;
    }
    if (Stopping || Claim_File >= Files.size() || Claim_File >= Stop_At) return false;
    const size_t Index = Claim_File;
    T_File_Work& File = Files[Index];
    if (!File.Opened) {
      try {
        Open(Index, File);
      } catch (...) {
        Fail_File(Index, File, std::current_exception());
        continue;
      }
    }
    if (File.All_Claimed) {
      Claim_File += 1;
      continue;
    }
    Job.File = Index;
    Job.Index = File.Blocks_Claimed;
    Job.Position = File.Next_Position;
    if (Compressing && File.Next_Position >= File.Size) {
      // A file that grew while it was read (a log being written) is read to
      // the end it has now, not cut at the size it had when it was opened.
      try {
        File.Size = std::max(File.Size, File.Input.Size());
      } catch (...) {
        Fail_File(Index, File, std::current_exception());
        continue;
      }
    }
    if (File.Next_Position >= File.Size) {
      // No block left; a file without any is whole at once.
      File.All_Claimed = true;
      Write_In_Order(Index, File);
      continue;
    }
    if (Compressing) {
      Job.Count = static_cast<int32_t>(std::min<int64_t>(QOR_Block_Size, File.Size - File.Next_Position));
      File.Next_Position += Job.Count;
    } else {
      // The record's header tells where the next one starts: the reader
      // walks the headers in order, the workers read the payloads.
      // A header that cannot be read or checked ends the file at this block.
      std::exception_ptr Failure;
      try {
        const int64_t Available = std::min<int64_t>(T_QOR_MCP::Max_Header_Length, File.Size - File.Next_Position);
        const int64_t Got = File.Input.Read_At(File.Next_Position, Job.Header, Available);
        Job.Sizes = T_QOR_MCP::Check_Header(Job.Header, Got);
      } catch (T_QOR_Damaged_Block& Damage) {
        Damage.Locate(File.Names.Input, Job.Index + 1, Job.Position);
        Failure = std::current_exception();
      } catch (...) {
        Failure = std::current_exception();
      }
      if (Failure) {
        File.Blocks[Job.Index].Done = true;
        File.Blocks[Job.Index].Failure = Failure;
        File.Blocks_Claimed += 1;
        File.All_Claimed = true;
        Parked_Blocks += 1;
        Write_In_Order(Index, File);
        continue;
      }
      File.Next_Position += Job.Sizes.Header_Length + Job.Sizes.Payload_Length;
      Job.More_Blocks = File.Next_Position < File.Size;
    }
    File.Blocks[Job.Index];
    File.Blocks_Claimed += 1;
    return true;
  }
}

void T_Phase::Open(size_t Index, T_File_Work& File) {
  static_cast<void>(Index);
  File.Opened = true;
  File.Start_Time = Milliseconds_Now();
  File.Input.Open_For_Reading(File.Names.Input);
  File.Size = File.Input.Size();
  // The rename would replace the input: refuse when the output is the input under another name.
  T_QOR_File_Identity Out{};
  T_QOR_File_Identity In{};
  if (QOR_Identity_Of(File.Names.Output, Out) && QOR_Identity_Of(File.Names.Input, In) && Out == In) {
    throw T_QOR_File_Error(File.Names.Output, "is the input file itself; not overwritten");
  }
  File.Output = std::make_unique<T_QOR_Output_File>(File.Names.Output);
  Files_Open += 1;
}

void T_Phase::Do_Job(T_QOR_MCP& Pipeline, const T_Job& Job) {
  const T_File_Work& File = Files[Job.File];
  if (Compressing) {
    const auto Load = [&File, &Job](int32_t Offset, int32_t Count, uint8_t* Into) {
      if (File.Input.Read_At(Job.Position + Offset, Into, Count) != Count) {
        throw T_QOR_File_Error(File.Names.Input, "file changed size while it was read");
      }
    };
    const T_QOR_Block_Data& B = Pipeline.Block();
    Pipeline.Compress_Range(Job.Count, Fast, Load,
                            [&](const uint8_t* Header, int32_t H, const uint8_t* Payload, int32_t P) {
                              Put_Record(Job, Header, H, Payload, P, B.Fast_Mode, B.SIF_Path);
                            });
  } else {
    const int64_t Payload_At = Job.Position + Job.Sizes.Header_Length;
    const auto Load = [&File, Payload_At](uint8_t* Into, int64_t Count) {
      return File.Input.Read_At(Payload_At, Into, Count);
    };
    if (Job.Index == 0) Pipeline.Expect_Expansion(File.Size);
    const T_QOR_Buffer& Block = Pipeline.Expand_Record(Job.Header, Job.Sizes, Load, Job.More_Blocks);
    const T_QOR_Block_Data& B = Pipeline.Block();
    Put_Record(Job, nullptr, 0, Block.Data, Block.Length, B.Fast_Mode, B.SIF_Path);
  }
}

// Writes the record at once when its block has the file's turn and nothing
// of it waits; keeps a copy otherwise.
void T_Phase::Put_Record(const T_Job& Job, const uint8_t* Header, int32_t Header_Length, const uint8_t* Payload,
                         int32_t Payload_Length, bool Fast_Mode, bool SIF_Path) {
  const std::lock_guard<std::mutex> Guard(Lock);
  T_File_Work& File = Files[Job.File];
  // An earlier block of the file failed: nothing after it is written.
  if (File.Failure) return;
  T_Block_Result& Result = File.Blocks[Job.Index];
  Result.Has_Record = true;
  Result.Fast_Mode = Fast_Mode;
  Result.SIF_Path = SIF_Path;
  if (File.Next_To_Write == Job.Index && Result.Parked.empty()) {
    File.Output->Write(Header, Header_Length);
    File.Output->Write(Payload, Payload_Length);
  } else {
    Result.Parked.insert(Result.Parked.end(), Header, Header + Header_Length);
    Result.Parked.insert(Result.Parked.end(), Payload, Payload + Payload_Length);
  }
}

void T_Phase::Finish_Job(const T_Job& Job, std::exception_ptr Failure) {
  {
    const std::lock_guard<std::mutex> Guard(Lock);
    T_File_Work& File = Files[Job.File];
    if (File.Failure) return;
    T_Block_Result& Result = File.Blocks[Job.Index];
    Result.Done = true;
    Result.Failure = Failure;
    Parked_Blocks += 1;
    Write_In_Order(Job.File, File);
  }
  Changed.notify_all();
}

// Under the lock: writes every finished block whose turn has come. A failed
// block ends the file there, and the phase with it.
void T_Phase::Write_In_Order(size_t Index, T_File_Work& File) {
  if (File.Finished) return;
  for (;;) {
    auto Next = File.Blocks.find(File.Next_To_Write);
    if (Next == File.Blocks.end() || !Next->second.Done) break;
    T_Block_Result& Result = Next->second;
    if (Result.Failure) {
      Fail_File(Index, File, Result.Failure);
      return;
    }
    try {
      if (!Result.Parked.empty()) File.Output->Write(Result.Parked.data(), static_cast<int64_t>(Result.Parked.size()));
    } catch (...) {
      Fail_File(Index, File, std::current_exception());
      return;
    }
    if (Result.Has_Record) {
      File.Outcome.Has_Blocks = true;
      File.Outcome.Fast_Mode = Result.Fast_Mode;
      File.Outcome.SIF_Path = Result.SIF_Path;
    }
    File.Blocks.erase(Next);
    Parked_Blocks -= 1;
    File.Next_To_Write += 1;
  }
  if (File.All_Claimed && File.Next_To_Write == File.Blocks_Claimed) {
    File.Finished = true;
    File.Outcome.Elapsed = static_cast<double>(Milliseconds_Now() - File.Start_Time) / 1000.0;
    Changed.notify_all();
  }
}

// Under the lock: the file ends with Failure; no block of it or of a later
// file is claimed any more, and its blocks still waiting are dropped.
void T_Phase::Fail_File(size_t Index, T_File_Work& File, std::exception_ptr Failure) {
  File.Failure = Failure;
  File.Finished = true;
  File.All_Claimed = true;
  for (auto& [Block_Index, Result] : File.Blocks) {
    if (Result.Done) Parked_Blocks -= 1;
  }
  File.Blocks.clear();
  Stop_At = std::min(Stop_At, Index);
  Changed.notify_all();
}

}  // namespace

void QOR_Run_Phase(const std::vector<T_QOR_File_Pair>& Files, bool Compressing, bool Fast, int Workers,
                   const T_QOR_Phase_Hooks& Hooks) {
  T_Phase Phase(Files, Compressing, Fast, Workers);
  Phase.Run(Hooks);
}

void QOR_Compress_File(const std::string& Input_Name, const std::string& Output_Name, bool Fast, int Workers) {
  QOR_Run_Phase({{Input_Name, Output_Name}}, true, Fast, Workers, {});
}

void QOR_Expand_File(const std::string& Input_Name, const std::string& Output_Name, int Workers) {
  QOR_Run_Phase({{Input_Name, Output_Name}}, false, false, Workers, {});
}
