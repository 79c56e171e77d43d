// Scratch files for the fuzz targets: the pipeline works on named files and
// renames each output into place, so they live in a private directory of a
// real file system (memory-backed where /dev/shm exists), never on a memfd.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

class Memory_File {
 public:
  Memory_File() {
    // Built before the first file is and so destroyed after the last one.
    static const Scratch_Directory Directory;
    static int Count = 0;
    Path = Directory.Path + "/file" + std::to_string(Count++);
  }
  ~Memory_File() { unlink(Path.c_str()); }
  Memory_File(const Memory_File&) = delete;
  Memory_File& operator=(const Memory_File&) = delete;

  const std::string& Name() const { return Path; }

  void Fill(const uint8_t* Data, size_t Size) {
    const int Descriptor = open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (Descriptor < 0 || write(Descriptor, Data, Size) != static_cast<ssize_t>(Size)) std::abort();
    close(Descriptor);
  }

  std::vector<uint8_t> Contents() const {
    const int Descriptor = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Descriptor < 0) std::abort();
    std::vector<uint8_t> Bytes(static_cast<size_t>(lseek(Descriptor, 0, SEEK_END)));
    if (pread(Descriptor, Bytes.data(), Bytes.size(), 0) != static_cast<ssize_t>(Bytes.size())) std::abort();
    close(Descriptor);
    return Bytes;
  }

 private:
  struct Scratch_Directory {
    Scratch_Directory() {
      Path = access("/dev/shm", W_OK) == 0 ? "/dev/shm/qor_fuzz_XXXXXX" : "/tmp/qor_fuzz_XXXXXX";
      if (mkdtemp(Path.data()) == nullptr) std::abort();
    }
    ~Scratch_Directory() { rmdir(Path.c_str()); }
    std::string Path;
  };
  std::string Path;
};
