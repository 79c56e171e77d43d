// Command line, file search and the formatting of the console reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct T_QOR_Settings {
  bool Help = false;
  bool Compress = false;
  bool Expand = false;
  bool Verbose = false;
  bool Fast = false;
  bool Test = false;       // check compressed files, write nothing
  std::string Input_Name;  // file name or wildcard, possibly with a directory part
  std::string Extension;   // output extension, without the dot
};

class T_QOR_IO {
 public:
  // Arguments: the command line without the program name. Only the first six count.
  void Parse_Command_Line(T_QOR_Settings& Settings, const std::vector<std::string>& Arguments) const;
  // Appends the regular files (links to them included) whose names match the last
  // path component of Pattern, each prefixed with Pattern's directory part as typed,
  // in directory order.
  void Find_Files(const std::string& Pattern, std::vector<std::string>& List) const;
  // Size in bytes of the named file, -1 if there is none.
  int64_t File_Size(const std::string& Name) const;
};

// Case-insensitive match of a file name against * and ?; a pattern ending in ".*"
// also matches the name without that ending, so "*.*" matches names without a dot.
bool Wildcard_Matches(std::string_view Pattern, std::string_view Name);

// The input name with the extension of its last path component replaced by Extension;
// never the input name itself.
std::string Output_Name(const std::string& Input_Name, const std::string& Extension);

struct T_QOR_Number_Format {
  std::string Thousands_Separator = ",";
  std::string Decimal_Separator = ".";
};

// Sets LC_NUMERIC from the environment, as setlocale(LC_NUMERIC, "") does,
// without looking the locale up where the environment names C or a variant.
void Adopt_Environment_Numbers();

// The separators of the current LC_NUMERIC locale, an empty thousands separator
// meaning no grouping; "," and "." in the C/POSIX locale.
T_QOR_Number_Format Locale_Number_Format();

// "%<Width>.<Decimals>n": grouped in thousands, right-aligned, the field widening as needed.
std::string Format_Number(double Value, int Width, int Decimals, const T_QOR_Number_Format& Format);
// "%<Width>.<Decimals>f": fixed point without grouping, right-aligned.
std::string Format_Fixed(double Value, int Width, int Decimals, const T_QOR_Number_Format& Format);
