#include "pipeline/QOR_File_Unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string System_Reason() { return std::strerror(errno); }

}  // namespace

T_QOR_File_Error::T_QOR_File_Error(const std::string& File_Name, const std::string& Reason_)
    : std::runtime_error(File_Name + ": " + Reason_), Reason(Reason_) {}

T_QOR_File::~T_QOR_File() {
  if (Open_Descriptor >= 0) ::close(Open_Descriptor);
}

void T_QOR_File::Open_For_Reading(const std::string& Name_) {
  Close();
  Name = Name_;
  Open_Descriptor = ::open(Name_.c_str(), O_RDONLY | O_CLOEXEC);
  if (Open_Descriptor < 0) throw T_QOR_File_Error(Name_, System_Reason());
}

void T_QOR_File::Adopt(int Descriptor, const std::string& Name_) {
  Close();
  Open_Descriptor = Descriptor;
  Name = Name_;
}

int64_t T_QOR_File::Read_At(int64_t Offset, uint8_t* Data, int64_t Count) const {
  int64_t Done = 0;
  while (Done < Count) {
    const ssize_t Got = ::pread(Open_Descriptor, Data + Done, static_cast<size_t>(Count - Done), Offset + Done);
    if (Got < 0 && errno == EINTR) continue;
    if (Got < 0) throw T_QOR_File_Error(Name, System_Reason());
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

void T_QOR_File::Write(const uint8_t* Data, int64_t Count) { QOR_Write_All(Open_Descriptor, Data, Count, Name); }

void T_QOR_File::Close() {
  if (Open_Descriptor < 0) return;
  const int Result = ::close(Open_Descriptor);
  Open_Descriptor = -1;
  // A delayed write error (disk full on some file systems) shows only here.
  if (Result != 0 && errno != EINTR) throw T_QOR_File_Error(Name, System_Reason());
}

int64_t T_QOR_File::Size() const {
  struct stat Info {};
  if (::fstat(Open_Descriptor, &Info) != 0) throw T_QOR_File_Error(Name, System_Reason());
  return static_cast<int64_t>(Info.st_size);
}
