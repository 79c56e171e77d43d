// Test helpers: run a program (by default the built qor) as a child process in a
// chosen directory, capturing its standard output, standard error and exit code;
// make fresh temporary directories and read and write whole files.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace qor_test {

struct T_Process_Result {
  std::string Out;         // standard output, byte for byte
  std::string Err;         // standard error
  int Exit_Code = -1;      // -1 unless the process exited normally
  int Signal = 0;          // the signal that ended it, 0 if none
  bool Timed_Out = false;  // killed after the time limit
};

struct T_Process_Options {
  std::string Working_Directory;         // empty: the test's own
  std::vector<std::string> Environment;  // "NAME=value" entries set or replaced in the inherited environment
  int Time_Limit_Seconds = 300;          // then the child is killed and Timed_Out set
};

namespace detail {

inline std::vector<std::string> Merged_Environment(const std::vector<std::string>& Changes) {
  std::vector<std::string> Result;
  auto Name_Of = [](const std::string& Entry) { return Entry.substr(0, Entry.find('=')); };
  for (char** Entry = environ; *Entry != nullptr; ++Entry) {
    const std::string Text = *Entry;
    bool Replaced = false;
    for (const std::string& Change : Changes) Replaced = Replaced || Name_Of(Change) == Name_Of(Text);
    if (!Replaced) Result.push_back(Text);
  }
  Result.insert(Result.end(), Changes.begin(), Changes.end());
  return Result;
}

inline std::vector<char*> Pointers_To(std::vector<std::string>& Texts) {
  std::vector<char*> Pointers;
  for (std::string& Text : Texts) Pointers.push_back(Text.data());
  Pointers.push_back(nullptr);
  return Pointers;
}

class T_Pipe {
 public:
  T_Pipe() {
    if (::pipe2(Ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  }
  ~T_Pipe() {
    Close_Read();
    Close_Write();
  }
  T_Pipe(const T_Pipe&) = delete;
  T_Pipe& operator=(const T_Pipe&) = delete;
  int Read_End() const { return Ends[0]; }
  int Write_End() const { return Ends[1]; }
  void Close_Read() { Close(Ends[0]); }
  void Close_Write() { Close(Ends[1]); }

 private:
  static void Close(int& Descriptor) {
    if (Descriptor >= 0) ::close(Descriptor);
    Descriptor = -1;
  }
  int Ends[2] = {-1, -1};
};

// Reads both pipes until both are closed, so that neither can fill up and block the child.
inline bool Drain(int Out_Descriptor, int Err_Descriptor, T_Process_Result& Result, int Time_Limit_Seconds) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(Time_Limit_Seconds);
  pollfd Watched[2] = {{Out_Descriptor, POLLIN, 0}, {Err_Descriptor, POLLIN, 0}};
  std::string* Targets[2] = {&Result.Out, &Result.Err};
  int Open = 2;
  while (Open > 0) {
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0) return false;
    const int Ready = ::poll(Watched, 2, static_cast<int>(Left.count()));
    if (Ready < 0 && errno == EINTR) continue;
    if (Ready < 0) throw std::runtime_error("poll failed");
    for (int I = 0; I < 2; ++I) {
      if (Watched[I].fd < 0 || Watched[I].revents == 0) continue;
      char Chunk[65536];
      const ssize_t Got = ::read(Watched[I].fd, Chunk, sizeof Chunk);
      if (Got < 0 && errno == EINTR) continue;
      if (Got <= 0) {
        Watched[I].fd = -1;
        --Open;
      } else {
        Targets[I]->append(Chunk, static_cast<size_t>(Got));
      }
    }
  }
  return true;
}

}  // namespace detail

// Runs Program with Arguments (no shell: every argument reaches the program as
// given). Standard input is /dev/null.
inline T_Process_Result Run_Process(const std::string& Program, const std::vector<std::string>& Arguments,
                                    const T_Process_Options& Options = {}) {
  std::vector<std::string> Argument_Texts{Program};
  Argument_Texts.insert(Argument_Texts.end(), Arguments.begin(), Arguments.end());
  std::vector<std::string> Environment_Texts = detail::Merged_Environment(Options.Environment);
  // Everything the child needs is prepared before fork: after it, only async-signal-safe calls.
  std::vector<char*> Argument_Pointers = detail::Pointers_To(Argument_Texts);
  std::vector<char*> Environment_Pointers = detail::Pointers_To(Environment_Texts);
  const char* Directory = Options.Working_Directory.empty() ? nullptr : Options.Working_Directory.c_str();

  detail::T_Pipe Out_Pipe;
  detail::T_Pipe Err_Pipe;
  const int Null_Input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (Null_Input < 0) throw std::runtime_error("cannot open /dev/null");
  const pid_t Child = ::fork();
  if (Child < 0) {
    ::close(Null_Input);
    throw std::runtime_error("fork failed");
  }
  if (Child == 0) {
    // dup2 clears close-on-exec on the copies, so only these three survive exec.
    if (::dup2(Null_Input, 0) < 0 || ::dup2(Out_Pipe.Write_End(), 1) < 0 || ::dup2(Err_Pipe.Write_End(), 2) < 0) {
      ::_exit(126);
    }
    if (Directory != nullptr && ::chdir(Directory) != 0) ::_exit(126);
    ::execve(Argument_Pointers[0], Argument_Pointers.data(), Environment_Pointers.data());
    ::_exit(127);
  }
  ::close(Null_Input);
  Out_Pipe.Close_Write();
  Err_Pipe.Close_Write();

  T_Process_Result Result;
  if (!detail::Drain(Out_Pipe.Read_End(), Err_Pipe.Read_End(), Result, Options.Time_Limit_Seconds)) {
    ::kill(Child, SIGKILL);
    Result.Timed_Out = true;
  }
  int Status = 0;
  while (::waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(Status)) Result.Exit_Code = WEXITSTATUS(Status);
  if (WIFSIGNALED(Status)) Result.Signal = WTERMSIG(Status);
  return Result;
}

#ifdef QOR_BINARY
// Runs the built qor in Working_Directory. The C locale is forced so that reports
// read "1,234" and "2.500" whatever the tester's own locale is.
inline T_Process_Result Run_QOR(const std::vector<std::string>& Arguments, const std::string& Working_Directory,
                                T_Process_Options Options = {}) {
  Options.Working_Directory = Working_Directory;
  Options.Environment.insert(Options.Environment.begin(), "LC_ALL=C");
  return Run_Process(QOR_BINARY, Arguments, Options);
}
#endif

inline void Write_File(const std::filesystem::path& Path, const std::string& Bytes) {
  std::ofstream File(Path, std::ios::binary | std::ios::trunc);
  File.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
  if (!File) throw std::runtime_error("cannot write " + Path.string());
}

inline std::string Read_File(const std::filesystem::path& Path) {
  std::ifstream File(Path, std::ios::binary);
  if (!File) throw std::runtime_error("cannot read " + Path.string());
  return std::string(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
}

// A fresh empty directory under the system's temporary directory, removed with
// everything in it when the object goes.
class T_Temp_Dir {
 public:
  T_Temp_Dir() {
    std::string Template = (std::filesystem::temp_directory_path() / "qor_test_XXXXXX").string();
    if (::mkdtemp(Template.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    Root = Template;
  }
  ~T_Temp_Dir() {
    std::error_code Ignored;
    // Restore permissions a test may have taken away, so that removal can enter every directory.
    std::filesystem::permissions(Root, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, Ignored);
    for (auto It = std::filesystem::recursive_directory_iterator(Root, Ignored);
         It != std::filesystem::recursive_directory_iterator(); It.increment(Ignored)) {
      if (It->is_directory(Ignored) && !It->is_symlink(Ignored)) {
        std::filesystem::permissions(It->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                     Ignored);
      }
    }
    std::filesystem::remove_all(Root, Ignored);
  }
  T_Temp_Dir(const T_Temp_Dir&) = delete;
  T_Temp_Dir& operator=(const T_Temp_Dir&) = delete;

  const std::filesystem::path& Path() const { return Root; }
  std::string Dir() const { return Root.string(); }
  std::filesystem::path operator/(const std::string& Name) const { return Root / Name; }
  void Write(const std::string& Name, const std::string& Bytes) const { Write_File(Root / Name, Bytes); }
  std::string Read(const std::string& Name) const { return Read_File(Root / Name); }
  bool Exists(const std::string& Name) const {
    return std::filesystem::exists(std::filesystem::symlink_status(Root / Name));
  }

 private:
  std::filesystem::path Root;
};

}  // namespace qor_test
