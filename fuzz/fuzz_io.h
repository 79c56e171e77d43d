// In-memory files for the fuzz targets: the pipeline works on named files, and
// a memfd's /proc path names one without touching the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

class Memory_File {
 public:
  Memory_File() : Descriptor(memfd_create("qor_fuzz", 0)) {
    if (Descriptor < 0) std::abort();
  }
  ~Memory_File() { close(Descriptor); }
  Memory_File(const Memory_File&) = delete;
  Memory_File& operator=(const Memory_File&) = delete;

  std::string Name() const { return "/proc/self/fd/" + std::to_string(Descriptor); }

  void Fill(const uint8_t* Data, size_t Size) {
    if (ftruncate(Descriptor, 0) != 0 || pwrite(Descriptor, Data, Size, 0) != static_cast<ssize_t>(Size)) std::abort();
  }

  std::vector<uint8_t> Contents() const {
    std::vector<uint8_t> Bytes(static_cast<size_t>(lseek(Descriptor, 0, SEEK_END)));
    if (pread(Descriptor, Bytes.data(), Bytes.size(), 0) != static_cast<ssize_t>(Bytes.size())) std::abort();
    return Bytes;
  }

 private:
  int Descriptor;
};
