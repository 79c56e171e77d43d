#include "pipeline/QOR_File_Unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string System_Reason() { return std::strerror(errno); }

}  // namespace

T_QOR_File_Error::T_QOR_File_Error(const std::string& File_Name, const std::string& Reason)
    : std::runtime_error(File_Name + ": " + Reason), Reason(Reason) {}

T_QOR_File::~T_QOR_File() {
  if (Descriptor_ >= 0) ::close(Descriptor_);
}

void T_QOR_File::Open_For_Reading(const std::string& Name) {
  Close();
  Name_ = Name;
  Descriptor_ = ::open(Name.c_str(), O_RDONLY | O_CLOEXEC);
  if (Descriptor_ < 0) throw T_QOR_File_Error(Name, System_Reason());
}

void T_QOR_File::Adopt(int Descriptor, const std::string& Name) {
  Close();
  Descriptor_ = Descriptor;
  Name_ = Name;
}

int64_t T_QOR_File::Read_At(int64_t Offset, uint8_t* Data, int64_t Count) const {
  int64_t Done = 0;
  while (Done < Count) {
    const ssize_t Got = ::pread(Descriptor_, Data + Done, static_cast<size_t>(Count - Done), Offset + Done);
    if (Got < 0 && errno == EINTR) continue;
    if (Got < 0) throw T_QOR_File_Error(Name_, System_Reason());
    if (Got == 0) break;
    Done += Got;
  }
  return Done;
}

void QOR_Write_All(int Descriptor, const uint8_t* Data, int64_t Count, const std::string& Name) {
  while (Count > 0) {
    const ssize_t Put = ::write(Descriptor, Data, static_cast<size_t>(Count));
    if (Put < 0 && errno == EINTR) continue;
    if (Put < 0) throw T_QOR_File_Error(Name, System_Reason());
    Data += Put;
    Count -= Put;
  }
}

void T_QOR_File::Write(const uint8_t* Data, int64_t Count) { QOR_Write_All(Descriptor_, Data, Count, Name_); }

void T_QOR_File::Close() {
  if (Descriptor_ < 0) return;
  const int Result = ::close(Descriptor_);
  Descriptor_ = -1;
  // A delayed write error (disk full on some file systems) shows only here.
  if (Result != 0 && errno != EINTR) throw T_QOR_File_Error(Name_, System_Reason());
}

int64_t T_QOR_File::Size() const {
  struct stat Info {};
  if (::fstat(Descriptor_, &Info) != 0) throw T_QOR_File_Error(Name_, System_Reason());
  return static_cast<int64_t>(Info.st_size);
}
