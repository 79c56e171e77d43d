#include "pipeline/QOR_Output_File_Unit.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace {

// The temporary outputs that exist now. Created, renamed and removed only
// while Registry_Lock is held; the signal thread takes the lock and never
// gives it back, so that no file is created or renamed after it removed them.
std::mutex Registry_Lock;
std::set<std::string> Registry;

constexpr int Handled_Signals[] = {SIGINT, SIGTERM, SIGHUP};

std::string System_Reason() { return std::strerror(errno); }

// "dir/name" -> "dir/.qor-XXXXXX"; a fixed short name, so that a long final
// name cannot push it past the file system's name limit.
std::string Temporary_Template(const std::string& Final_Name) {
  const size_t Separator = Final_Name.rfind('/');
  const std::string Directory = Separator == std::string::npos ? "" : Final_Name.substr(0, Separator + 1);
  return Directory + ".qor-XXXXXX";
}

[[noreturn]] void Remove_Outputs_And_Die(int Signal) {
  Registry_Lock.lock();
  for (const std::string& Name : Registry) ::unlink(Name.c_str());
  ::signal(Signal, SIG_DFL);
  sigset_t Only{};
  sigemptyset(&Only);
  sigaddset(&Only, Signal);
  ::pthread_sigmask(SIG_UNBLOCK, &Only, nullptr);
  ::raise(Signal);
  // Only if the signal could not end the process.
  ::_exit(128 + Signal);
}

}  // namespace

bool QOR_Identity_Of(const std::string& Name, T_QOR_File_Identity& Identity) {
  struct stat Info {};
  if (::stat(Name.c_str(), &Info) != 0) return false;
  Identity = T_QOR_File_Identity{Info.st_dev, Info.st_ino};
  return true;
}

T_QOR_Output_File::T_QOR_Output_File(const std::string& Final_Name_) : Final_Name(Final_Name_) {
  std::string Name = Temporary_Template(Final_Name_);
  const std::lock_guard<std::mutex> Guard(Registry_Lock);
  // mkostemp creates the file with mode 600 and never opens an existing one.
  const int Descriptor = ::mkostemp(Name.data(), O_CLOEXEC);
  if (Descriptor < 0) throw T_QOR_File_Error(Final_Name_, System_Reason());
  Registry.insert(Name);
  Temporary_Name = Name;
  File.Adopt(Descriptor, Final_Name_);
}

T_QOR_Output_File::~T_QOR_Output_File() {
  if (Committed) return;
  const std::lock_guard<std::mutex> Guard(Registry_Lock);
  ::unlink(Temporary_Name.c_str());
  Registry.erase(Temporary_Name);
}

void T_QOR_Output_File::Commit(int Source_Descriptor) {
  struct stat Source {};
  if (::fstat(Source_Descriptor, &Source) != 0) throw T_QOR_File_Error(Final_Name, System_Reason());
  // Ownership first: changing it may clear mode bits. Only root may give a
  // file away, and failing to is no reason to lose the output.
  if (::geteuid() == 0) {
    const int Ignored = ::fchown(File.Descriptor(), Source.st_uid, Source.st_gid);
    static_cast<void>(Ignored);
  }
  // The mode must hold: a private input must not give a readable output.
  if (::fchmod(File.Descriptor(), Source.st_mode & 0777) != 0) throw T_QOR_File_Error(Final_Name, System_Reason());
  // Times are a courtesy some file systems refuse.
  const struct timespec Times[2] = {Source.st_atim, Source.st_mtim};
  static_cast<void>(::futimens(File.Descriptor(), Times));
  File.Close();
  const std::lock_guard<std::mutex> Guard(Registry_Lock);
  if (::rename(Temporary_Name.c_str(), Final_Name.c_str()) != 0) throw T_QOR_File_Error(Final_Name, System_Reason());
  Registry.erase(Temporary_Name);
  Committed = true;
}

void QOR_Remove_Outputs_On_Signals() {
  sigset_t Signals{};
  sigemptyset(&Signals);
  for (const int Signal : Handled_Signals) {
    struct sigaction Current {};
    // A signal ignored by whoever started us (nohup, a background job) stays ignored.
    if (::sigaction(Signal, nullptr, &Current) == 0 && Current.sa_handler == SIG_IGN) continue;
    sigaddset(&Signals, Signal);
  }
  ::pthread_sigmask(SIG_BLOCK, &Signals, nullptr);
  std::thread([Signals] {
    int Signal = 0;
    while (::sigwait(&Signals, &Signal) != 0) {
    }
    Remove_Outputs_And_Die(Signal);
  }).detach();
}
