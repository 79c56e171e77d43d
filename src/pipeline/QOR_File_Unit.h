// Input files: a descriptor that reads at any offset, from any thread, and
// the error every file operation reports.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// A file that cannot be opened, created, read or written.
class T_QOR_File_Error : public std::runtime_error {
 public:
  T_QOR_File_Error(const std::string& File_Name, const std::string& Reason);
  // what() is "name: reason"; this is the reason alone.
  const std::string Reason;
};

// Writes all Count bytes to Descriptor, which stays open; errors name Name.
void QOR_Write_All(int Descriptor, const uint8_t* Data, int64_t Count, const std::string& Name);

// An open file descriptor, closed when it goes out of scope. Read_At may be
// called by several threads at once.
class T_QOR_File {
 public:
  T_QOR_File() = default;
  T_QOR_File(const T_QOR_File&) = delete;
  T_QOR_File& operator=(const T_QOR_File&) = delete;
  ~T_QOR_File();

  void Open_For_Reading(const std::string& Name);
  // Takes over an open descriptor; errors will name Name.
  void Adopt(int Descriptor, const std::string& Name);
  // Reads up to Count bytes at Offset; returns the count read (short only at the end).
  int64_t Read_At(int64_t Offset, uint8_t* Data, int64_t Count) const;
  void Write(const uint8_t* Data, int64_t Count);
  void Close();
  int Descriptor() const { return Open_Descriptor; }
  // The size of the open file.
  int64_t Size() const;

 private:
  int Open_Descriptor = -1;
  std::string Name;
};
