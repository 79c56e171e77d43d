// The qor program: banner, command line, the compression and expansion phases
// over every matching file, per-file reports and totals.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "main/QOR_Global_Unit.h"
#include "main/QOR_IO_Unit.h"
#include "pipeline/QOR_File_Unit.h"
#include "pipeline/QOR_MCP_Unit.h"
#include "pipeline/QOR_Output_File_Unit.h"
#include "pipeline/QOR_Scheduler_Unit.h"
#include "pipeline/QOR_Stream_Unit.h"

namespace {

constexpr int Exit_Success = 0;
constexpr int Exit_File_Error = 1;  // no matching file, or a file that cannot be opened, read or written
constexpr int Exit_Damaged = 2;     // a block failed its checks

// Milliseconds on a clock that never jumps, so intervals stay right across midnight or clock changes.
int64_t Milliseconds_Now() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

double Seconds_Since(int64_t Start) { return static_cast<double>(Milliseconds_Now() - Start) / 1000.0; }

// A fresh page costs a fault, and on virtual machines a fault costs about
// 13 us, as much as coding a kilobyte; mapping many pages in one request
// costs 0.5 us each. The workers' models are a few hundred kilobytes of
// small allocations, one fault each page: most of the start-up of a small
// file. So the process keeps one heap for all its threads (they allocate
// little: their models when they start, a copy of a record finished out of
// turn; the working memory is mapped apart), maps the heap's first
// Warm_Heap_Bytes in one request, and keeps them when freed.
// Without the request (kernels before 5.14) the pages fault in as before.
void Warm_Heap() {
#if defined(__GLIBC__) && defined(MADV_POPULATE_WRITE)
  constexpr size_t Warm_Heap_Bytes = size_t{256} << 10;
  constexpr uintptr_t Page = 4096;
  mallopt(M_ARENA_MAX, 1);
  // Setting these stops glibc from raising its mapping threshold as large
  // blocks come and go, so it is set to its ceiling here: a record parked
  // for its turn (up to a block long) reuses the heap's pages rather than
  // mapping fresh ones each time, and the warm block comes from the heap.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  void* Warm = std::malloc(Warm_Heap_Bytes);
  if (Warm == nullptr) return;
  const uintptr_t Begin = (reinterpret_cast<uintptr_t>(Warm) + Page - 1) & ~(Page - 1);
  const uintptr_t End = (reinterpret_cast<uintptr_t>(Warm) + Warm_Heap_Bytes) & ~(Page - 1);
  ::madvise(reinterpret_cast<void*>(Begin), End - Begin, MADV_POPULATE_WRITE);
  std::free(Warm);
#endif
}

// Where the console texts go: standard output, or standard error when
// standard output carries the data of a pipe.
FILE* Console = stdout;

// The names of the standard streams in reports and messages.
const std::string Standard_Input_Name = "(standard input)";
const std::string Standard_Output_Name = "(standard output)";

void Print_Line(std::string_view Text) {
  std::fwrite(Text.data(), 1, Text.size(), Console);
  std::fputc('\n', Console);
}

// Writes without a line end and shows it at once: the progress line stays open.
void Write_Text(std::string_view Text) {
  std::fwrite(Text.data(), 1, Text.size(), Console);
  std::fflush(Console);
}

// One line on standard error, after whatever the console holds so far; an
// open progress line is ended first.
void Print_Error(bool Progress_Line_Open, std::string_view Reason) {
  if (Progress_Line_Open) Print_Line("");
  std::fflush(Console);
  std::fprintf(stderr, "qor: %.*s\n", static_cast<int>(Reason.size()), Reason.data());
}

std::string Concat(std::initializer_list<std::string_view> Parts) {
  std::string Text;
  for (const std::string_view Part : Parts) Text += Part;
  return Text;
}

class T_QOR_Driver {
 public:
  explicit T_QOR_Driver(std::vector<std::string> Command_Line) : Arguments(std::move(Command_Line)) {}

  int Run();
  // True while the non-verbose progress line is open: an error message must start a new line.
  bool Progress_Line_Open() const { return Line_Open; }

 private:
  void Run_Phase(const T_QOR_IO& IO, bool Compressing);
  // "-" as the input name: standard input to standard output, one block at a time.
  void Run_Stream_Phase(bool Compressing);
  // -t: expands every matching file in memory, checks it and writes nothing.
  void Run_Test_Phase(const T_QOR_IO& IO);
  // "File not found", the pattern on standard error, and no later phase or totals.
  void Report_No_Match();
  void Start_File(bool Compressing, size_t Index, const T_QOR_File_Pair& File);
  void Finish_File(const T_QOR_IO& IO, bool Compressing, const T_QOR_File_Pair& File,
                   const T_QOR_File_Outcome& Outcome);
  void Report_File(double Input_Size, double Output_Size, bool Fast_Mode, bool SIF_Path, bool Compressing,
                   double Elapsed);
  void Print_Totals();
  // Adds the files a phase will read to the inputs of this run.
  void Note_Inputs(const std::vector<std::string>& Files);
  // The files the pattern matches as a phase starts.
  std::vector<std::string> Matching_Files(const T_QOR_IO& IO);
  // Refuses an output name that leads to an input of this run or to an output
  // it already wrote: a batch must never destroy what it has still to read,
  // nor what it made.
  void Check_Clash(const std::string& Input, const std::string& Output) const;
  std::string Count(double Value) const { return Format_Number(Value, 13, 0, Number_Format); }
  std::string Figure(double Value) const { return Format_Fixed(Value, 17, 3, Number_Format); }

  const std::vector<std::string> Arguments;
  const T_QOR_Number_Format Number_Format = Locale_Number_Format();
  T_QOR_Settings Settings;
  int64_t Program_Start = Milliseconds_Now();
  double Number_Of_Files = 0;
  double Sum_Of_Rates = 0;
  double Total_Input_Size = 0;
  double Total_Output_Size = 0;
  bool File_Not_Found = false;
  bool Test_Found_Damage = false;
  bool Test_Found_File_Error = false;
  bool Line_Open = false;
  // The signals that would end the run remove its temporary outputs.
  bool Outputs_Guarded = false;
  std::set<T_QOR_File_Identity> Run_Inputs;
  std::set<T_QOR_File_Identity> Run_Outputs;
  // The search made before the first phase, which that phase takes rather
  // than listing the directory again; a later phase searches anew, since the
  // phase before it may have made files that match.
  std::optional<std::vector<std::string>> First_Listing;
  // QOR_THREADS, read before the first phase; 0 when unset.
  int Requested_Workers = 0;
  // The flags the stages line shows: the last block's. A file without blocks
  // shows those of the file before it (and, compressing, the fast setting),
  // as one pipeline per phase left them.
  bool Shown_Fast_Mode = false;
  bool Shown_SIF_Path = false;
};

int T_QOR_Driver::Run() {
  const T_QOR_IO IO;
  IO.Parse_Command_Line(Settings, Arguments);
  const bool Streams = Settings.Input_Name == "-" && (Settings.Compress || Settings.Expand);
  if (Streams) Console = stderr;
  for (const std::string_view Line : Banner) Print_Line(Line);
  if (Settings.Help) {
    for (const std::string_view Line : Usage) Print_Line(Line);
  }
  if (Streams) {
    if (Settings.Compress && Settings.Expand) {
      throw T_QOR_File_Error(Standard_Input_Name, "can be read by one phase only; give -c or -e");
    }
    Run_Stream_Phase(Settings.Compress);
    Print_Totals();
    return Exit_Success;
  }
  if (Settings.Compress || Settings.Expand || Settings.Test) {
    Requested_Workers = QOR_Requested_Workers();
    // Both phases search the same pattern: what matches now is also what
    // the expansion phase will read, even if the compression phase runs first.
    std::vector<std::string> Files;
    IO.Find_Files(Settings.Input_Name, Files);
    Note_Inputs(Files);
    First_Listing = std::move(Files);
  }
  if (Settings.Compress) Run_Phase(IO, true);
  if (Settings.Expand) Run_Phase(IO, false);
  if (Settings.Test && !File_Not_Found) Run_Test_Phase(IO);
  if (Settings.Compress || Settings.Expand || Settings.Test) Print_Totals();
  if (File_Not_Found) return Exit_File_Error;
  if (Test_Found_Damage) return Exit_Damaged;
  return Test_Found_File_Error ? Exit_File_Error : Exit_Success;
}

void T_QOR_Driver::Run_Stream_Phase(bool Compressing) {
  // Compressed bytes on a terminal help nobody and can upset it.
  if (Compressing && ::isatty(STDOUT_FILENO)) {
    throw T_QOR_File_Error(Standard_Output_Name, "is a terminal; compressed data is not written to it");
  }
  Number_Of_Files = 1;
  if (Settings.Verbose) {
    Print_Line(
        Concat({Compressing ? Compressing_Word : Expanding_Word, Standard_Input_Name, To_Word, Standard_Output_Name}));
  } else {
    Write_Text(Concat({Compressing ? Compressing_Word : Expanding_Word, Format_Number(1, 4, 0, Number_Format),
                       Files_Count_Suffix, Spinner[0]}));
    Line_Open = true;
  }
  const int64_t Start = Milliseconds_Now();
  T_QOR_MCP Pipeline;
  const T_QOR_Stream_Outcome Outcome =
      Compressing ? QOR_Compress_Stream(Pipeline, STDIN_FILENO, STDOUT_FILENO, Settings.Fast, Standard_Input_Name,
                                        Standard_Output_Name)
                  : QOR_Expand_Stream(Pipeline, STDIN_FILENO, STDOUT_FILENO, Standard_Input_Name, Standard_Output_Name);
  const double Elapsed = Seconds_Since(Start);
  const bool Fast_Mode = Outcome.Has_Blocks ? Outcome.Fast_Mode : Compressing && Settings.Fast;
  Report_File(static_cast<double>(Outcome.Bytes_Read), static_cast<double>(Outcome.Bytes_Written), Fast_Mode,
              Outcome.SIF_Path, Compressing, Elapsed);
}

void T_QOR_Driver::Run_Test_Phase(const T_QOR_IO& IO) {
  const std::vector<std::string> Files = Matching_Files(IO);
  Number_Of_Files = static_cast<double>(Files.size());
  if (Files.empty()) {
    Report_No_Match();
    return;
  }
  T_QOR_MCP Pipeline;
  for (const std::string& Name : Files) {
    std::string Verdict = "ok";
    try {
      T_QOR_File Input;
      Input.Open_For_Reading(Name);
      const T_QOR_Stream_Outcome Outcome = QOR_Expand_Stream(Pipeline, Input.Descriptor(), -1, Name, Name);
      Total_Input_Size += static_cast<double>(Outcome.Bytes_Read);
      Total_Output_Size += static_cast<double>(Outcome.Bytes_Written);
      if (Outcome.Bytes_Read != 0) {
        Sum_Of_Rates += static_cast<double>(Outcome.Bytes_Read) / static_cast<double>(Outcome.Bytes_Written) * 8;
      }
    } catch (const T_QOR_Damaged_Block& Damage) {
      Verdict = QOR_Damage_Text(Damage.Block_Number, Damage.Block_Offset, Damage.what());
      Test_Found_Damage = true;
    } catch (const T_QOR_File_Error& Error) {
      Verdict = Error.Reason;
      Test_Found_File_Error = true;
    }
    Print_Line(Concat({Name, ": ", Verdict}));
  }
}

void T_QOR_Driver::Report_No_Match() {
  Print_Line(File_Not_Found_Text);
  Print_Error(false, Settings.Input_Name.empty() ? std::string("no file name or wildcard given")
                                                 : Settings.Input_Name + ": no file matches");
  // No later phase and no totals.
  Settings.Compress = false;
  Settings.Expand = false;
  Settings.Test = false;
  File_Not_Found = true;
}

std::vector<std::string> T_QOR_Driver::Matching_Files(const T_QOR_IO& IO) {
  std::vector<std::string> Files;
  if (First_Listing) {
    Files = std::move(*First_Listing);
    First_Listing.reset();
  } else {
    IO.Find_Files(Settings.Input_Name, Files);
  }
  return Files;
}

void T_QOR_Driver::Run_Phase(const T_QOR_IO& IO, bool Compressing) {
  // The listing made before the first phase had its inputs noted then.
  const bool Searched_Anew = !First_Listing;
  const std::vector<std::string> Files = Matching_Files(IO);
  Number_Of_Files = static_cast<double>(Files.size());
  if (Searched_Anew) Note_Inputs(Files);
  if (Files.empty()) {
    Report_No_Match();
    return;
  }
  if (!Settings.Verbose) {
    Write_Text(Concat({Compressing ? Compressing_Word : Expanding_Word,
                       Format_Number(Number_Of_Files, 4, 0, Number_Format), Files_Count_Suffix}));
    Line_Open = true;
  }
  std::vector<T_QOR_File_Pair> Pairs;
  int64_t Work_Items = 0;
  for (const std::string& Input : Files) {
    Pairs.push_back({Input, Output_Name(Input, Settings.Extension)});
    // Blocks in hand: a compressed file's are guessed at a ratio of 4.
    const int64_t Per_Block = Compressing ? QOR_Block_Size : QOR_Block_Size / 4;
    Work_Items += std::max<int64_t>(1, (IO.File_Size(Input) + Per_Block - 1) / Per_Block);
  }
  // Each phase starts as a fresh pipeline would.
  Shown_Fast_Mode = false;
  Shown_SIF_Path = false;
  T_QOR_Phase_Hooks Hooks;
  Hooks.Starting = [&](size_t Index) { Start_File(Compressing, Index, Pairs[Index]); };
  Hooks.Check_Output = [&](size_t Index) { Check_Clash(Pairs[Index].Input, Pairs[Index].Output); };
  Hooks.Finished = [&](size_t Index, const T_QOR_File_Outcome& Outcome) {
    Finish_File(IO, Compressing, Pairs[Index], Outcome);
  };
  // Only a phase that writes files leaves temporaries a signal must remove,
  // and the thread that removes them costs a tenth of a millisecond to
  // start: pipes, test runs and help go without it. No thread has started
  // before the first such phase, so every later one inherits the blocked
  // signals.
  if (!Outputs_Guarded) {
    QOR_Remove_Outputs_On_Signals();
    Outputs_Guarded = true;
  }
  QOR_Run_Phase(Pairs, Compressing, Settings.Fast, QOR_Worker_Count(Requested_Workers, Work_Items), Hooks);
}

void T_QOR_Driver::Start_File(bool Compressing, size_t Index, const T_QOR_File_Pair& File) {
  if (Settings.Verbose) {
    Print_Line(Concat({Compressing ? Compressing_Word : Expanding_Word, File.Input, To_Word, File.Output}));
  } else {
    Write_Text(Spinner[Index % Spinner.size()]);
  }
}

void T_QOR_Driver::Finish_File(const T_QOR_IO& IO, bool Compressing, const T_QOR_File_Pair& File,
                               const T_QOR_File_Outcome& Outcome) {
  T_QOR_File_Identity Written{};
  if (QOR_Identity_Of(File.Output, Written)) Run_Outputs.insert(Written);
  if (Outcome.Has_Blocks) {
    Shown_Fast_Mode = Outcome.Fast_Mode;
    Shown_SIF_Path = Outcome.SIF_Path;
  } else if (Compressing) {
    Shown_Fast_Mode = Settings.Fast;
  }
  Report_File(static_cast<double>(IO.File_Size(File.Input)), static_cast<double>(IO.File_Size(File.Output)),
              Shown_Fast_Mode, Shown_SIF_Path, Compressing, Outcome.Elapsed);
}

// Adds the file to the totals and, in verbose mode, prints its report.
void T_QOR_Driver::Report_File(double Input_Size, double Output_Size, bool Fast_Mode, bool SIF_Path, bool Compressing,
                               double Elapsed) {
  Total_Input_Size += Input_Size;
  Total_Output_Size += Output_Size;
  if (Settings.Verbose) {
    Print_Line(Stages_Line(Compressing, Fast_Mode, SIF_Path));
    Print_Line(Concat({Input_Size_Label, Count(Input_Size), Bytes_Unit}));
    Print_Line(Concat({Output_Size_Label, Count(Output_Size), Bytes_Unit}));
  }
  if (Input_Size != 0) {
    // Compressed bytes per uncompressed byte, in bits, whichever way the file went.
    const double Rate = (Compressing ? Output_Size / Input_Size : Input_Size / Output_Size) * 8;
    Sum_Of_Rates += Rate;
    if (Settings.Verbose) Print_Line(Concat({Compression_Rate_Label, Figure(Rate), Rate_Unit}));
  }
  if (Settings.Verbose) {
    Print_Line(Concat({Compressing ? Compression_Time_Label : Expansion_Time_Label, Figure(Elapsed), Seconds_Unit}));
    if (!Compressing) Print_Line(CRC_Valid_Text);
    Print_Line("");
  }
}

void T_QOR_Driver::Note_Inputs(const std::vector<std::string>& Files) {
  for (const std::string& Name : Files) {
    T_QOR_File_Identity Identity{};
    if (QOR_Identity_Of(Name, Identity)) Run_Inputs.insert(Identity);
  }
}

void T_QOR_Driver::Check_Clash(const std::string& Input, const std::string& Output) const {
  T_QOR_File_Identity Existing{};
  if (!QOR_Identity_Of(Output, Existing)) return;
  // The input itself is the pipeline's own guard, with its own message.
  T_QOR_File_Identity Own{};
  if (QOR_Identity_Of(Input, Own) && Own == Existing) return;
  if (Run_Inputs.count(Existing) != 0 || Run_Outputs.count(Existing) != 0) {
    throw T_QOR_File_Error(Output, "output would overwrite a file of this run");
  }
}

void T_QOR_Driver::Print_Totals() {
  const double Elapsed = Seconds_Since(Program_Start);
  if (Settings.Verbose) {
    Print_Line(Bottom_Rule[0]);
    Print_Line(Bottom_Rule[1]);
  } else {
    // Back to the start of the progress line, which the totals overwrite.
    Write_Text("\r");
    Line_Open = false;
  }
  Print_Line(Concat({Number_Of_Files_Label, Count(Number_Of_Files)}));
  Print_Line(Concat({Total_Input_Size_Label, Count(Total_Input_Size), Bytes_Unit}));
  Print_Line(Concat({Total_Output_Size_Label, Count(Total_Output_Size), Bytes_Unit}));
  Print_Line(Concat({Average_Rate_Label, Figure(Sum_Of_Rates / Number_Of_Files), Rate_Unit}));
  if (Total_Input_Size != 0) {
    const double Total_Rate =
        (Settings.Compress ? Total_Output_Size / Total_Input_Size : Total_Input_Size / Total_Output_Size) * 8;
    Print_Line(Concat({Total_Rate_Label, Figure(Total_Rate), Rate_Unit}));
  }
  Print_Line(Concat({Total_Time_Label, Figure(Elapsed), Seconds_Unit}));
  Print_Line(Bottom_Rule[2]);
}

std::string Damage_Report(const T_QOR_Damaged_Block& Damage) {
  if (Damage.File_Name.empty()) return Concat({"damaged block: ", Damage.what()});
  return Concat({Damage.File_Name, ": ", QOR_Damage_Text(Damage.Block_Number, Damage.Block_Offset, Damage.what())});
}

}  // namespace

int main(int Argument_Count, char** Argument_Values) {
  Warm_Heap();
  Adopt_Environment_Numbers();
  std::vector<std::string> Arguments(Argument_Values + 1, Argument_Values + Argument_Count);
  // The long options of every Unix tool, beside the letters: a first argument
  // of exactly this form names no file and no option group of its own.
  if (!Arguments.empty() && Arguments[0] == "--help") {
    for (const std::string_view Line : Usage) Print_Line(Line);
    return std::fflush(stdout) == 0 ? Exit_Success : Exit_File_Error;
  }
  if (!Arguments.empty() && Arguments[0] == "--version") {
    Print_Line(Version_Text);
    return std::fflush(stdout) == 0 ? Exit_Success : Exit_File_Error;
  }
  T_QOR_Driver Driver(std::move(Arguments));
  try {
    return Driver.Run();
  } catch (const T_QOR_Damaged_Block& Damage) {
    // The empty line also ends an open progress line.
    Print_Line("");
    Print_Line(CRC_Not_Valid_Text);
    Print_Error(false, Damage_Report(Damage));
    return Exit_Damaged;
  } catch (const std::bad_alloc&) {
    Print_Error(Driver.Progress_Line_Open(), "not enough memory");
    return Exit_File_Error;
  } catch (const std::exception& Error) {
    // T_QOR_File_Error: "name: the system's reason".
    Print_Error(Driver.Progress_Line_Open(), Error.what());
    return Exit_File_Error;
  }
}
