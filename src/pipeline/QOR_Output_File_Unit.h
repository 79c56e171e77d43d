// Output files that never lie. The compressed format has no end marker, so a
// file cut short at a block boundary would expand "successfully": no output
// may therefore appear under its final name before it is whole. Every output
// is written to a temporary file beside it and renamed into place when done;
// an error, a thrown exception or a fatal signal removes the temporary file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "pipeline/QOR_File_Unit.h"

// What the same-file and clash guards compare: a file's device and inode.
struct T_QOR_File_Identity {
  dev_t Device = 0;
  ino_t Inode = 0;
  bool operator<(const T_QOR_File_Identity& Other) const {
    return Device != Other.Device ? Device < Other.Device : Inode < Other.Inode;
  }
  bool operator==(const T_QOR_File_Identity& Other) const { return Device == Other.Device && Inode == Other.Inode; }
};

// The identity of the file Name leads to (links followed); false if there is none.
bool QOR_Identity_Of(const std::string& Name, T_QOR_File_Identity& Identity);

class T_QOR_Output_File {
 public:
  // Creates the temporary file in Final_Name's directory, mode 600 so that
  // nothing can read it while it is written, and registers it for removal
  // on a fatal signal. Errors name Final_Name: the temporary name means
  // nothing to the user.
  explicit T_QOR_Output_File(const std::string& Final_Name);
  // Removes the temporary file unless it was committed.
  ~T_QOR_Output_File();
  T_QOR_Output_File(const T_QOR_Output_File&) = delete;
  T_QOR_Output_File& operator=(const T_QOR_Output_File&) = delete;

  void Write(const uint8_t* Data, int64_t Count) { File.Write(Data, Count); }
  // Gives the output the permission bits (masked to 0777), the access and
  // modification times and, when run as root, the owner of the file open on
  // Source_Descriptor; closes it, so that a delayed write error still shows;
  // and renames it over the final name. A link at the final name is
  // replaced, never written through.
  void Commit(int Source_Descriptor);

 private:
  std::string Final_Name;
  std::string Temporary_Name;
  T_QOR_File File;
  bool Committed = false;
};

// From here on SIGINT, SIGTERM and SIGHUP remove every temporary output and
// then end the process as the signal would have (shells see 128 + n).
// Call once, before any other thread starts: the signals are blocked in
// every thread and taken by one thread of their own, so that the removal
// runs as ordinary code and never races a file being created or renamed.
// Signals that were ignored when the program started stay ignored.
void QOR_Remove_Outputs_On_Signals();
