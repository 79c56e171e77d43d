#include "main/QOR_IO_Unit.h"

#include <dirent.h>
#include <sys/stat.h>

#include <charconv>
#include <clocale>
#include <cstdlib>
#include <memory>

namespace {

constexpr size_t Arguments_Read = 6;
constexpr int Option_Rounds = 6;
// After a letter is taken, the group keeps "-" and at most this many following characters.
constexpr size_t Option_Group_Tail = 6;

char Lower(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }

std::string Lower_Case(std::string Text) {
  for (char& C : Text) C = Lower(C);
  return Text;
}

// Takes the option letters of one group in the fixed test order; a letter that is
// none of them stops the group, as every later test looks at the same character.
void Parse_Option_Group(T_QOR_Settings& Settings, std::string Group) {
  for (int Round = 0; Round < Option_Rounds; ++Round) {
    auto Take = [&Group](char Letter) {
      if (Group.size() < 2 || Group[1] != Letter) return false;
      Group = "-" + Group.substr(2, Option_Group_Tail);
      return true;
    };
    if (Take('h')) Settings.Help = true;
    if (Take('c')) {
      Settings.Compress = true;
      Settings.Extension = "qor";
    }
    if (Take('e')) {
      Settings.Expand = true;
      Settings.Extension = "exp";
    }
    if (Take('v')) Settings.Verbose = true;
    if (Take('1')) Settings.Fast = true;
    if (Take('t')) Settings.Test = true;
  }
}

// Position after the UTF-8 character that starts at Position: ? takes one
// character, whatever its length in bytes.
size_t Next_Character(std::string_view Text, size_t Position) {
  ++Position;
  while (Position < Text.size() && (static_cast<unsigned char>(Text[Position]) & 0xC0) == 0x80) ++Position;
  return Position;
}

bool Plain_Wildcard_Matches(std::string_view Pattern, std::string_view Name) {
  size_t P = 0;
  size_t N = 0;
  // Where the last * stood and how much of the name it has swallowed so far.
  size_t Star = std::string_view::npos;
  size_t Star_Name = 0;
  while (N < Name.size()) {
    if (P < Pattern.size() && Pattern[P] == '*') {
      Star = P++;
      Star_Name = N;
    } else if (P < Pattern.size() && Pattern[P] == '?') {
      ++P;
      N = Next_Character(Name, N);
    } else if (P < Pattern.size() && Lower(Pattern[P]) == Lower(Name[N])) {
      ++P;
      ++N;
    } else if (Star != std::string_view::npos) {
      // A * may stop inside a multi-byte character: no literal of a valid pattern
      // matches the rest of it, and a ? takes the rest whole.
      P = Star + 1;
      N = ++Star_Name;
    } else {
      return false;
    }
  }
  while (P < Pattern.size() && Pattern[P] == '*') ++P;
  return P == Pattern.size();
}

size_t Display_Width(std::string_view Text) {
  size_t Width = 0;
  for (const char C : Text) Width += (static_cast<unsigned char>(C) & 0xC0) != 0x80;
  return Width;
}

std::string Right_Aligned(std::string Text, int Width) {
  const size_t Shown = Display_Width(Text);
  if (Shown >= static_cast<size_t>(Width)) return Text;
  return std::string(static_cast<size_t>(Width) - Shown, ' ') + Text;
}

// Locale-independent fixed-point digits: "-1234.500", "inf", "nan".
std::string Fixed_Digits(double Value, int Decimals) {
  char Text[512];
  const auto Result = std::to_chars(Text, Text + sizeof Text, Value, std::chars_format::fixed, Decimals);
  if (Result.ec != std::errc()) return "?";
  return std::string(Text, Result.ptr);
}

std::string Format_Point_Number(double Value, int Width, int Decimals, bool Grouped,
                                const T_QOR_Number_Format& Format) {
  const std::string Digits = Fixed_Digits(Value, Decimals);
  const size_t Sign = Digits[0] == '-' ? 1 : 0;
  if (Digits.size() == Sign || Digits[Sign] < '0' || Digits[Sign] > '9') return Right_Aligned(Digits, Width);
  const size_t Point = Digits.find('.');
  const std::string Whole = Digits.substr(Sign, Point == std::string::npos ? std::string::npos : Point - Sign);
  std::string Text = Digits.substr(0, Sign);
  for (size_t I = 0; I < Whole.size(); ++I) {
    if (Grouped && I > 0 && (Whole.size() - I) % 3 == 0) Text += Format.Thousands_Separator;
    Text += Whole[I];
  }
  if (Point != std::string::npos) Text += Format.Decimal_Separator + Digits.substr(Point + 1);
  return Right_Aligned(Text, Width);
}

}  // namespace

void T_QOR_IO::Parse_Command_Line(T_QOR_Settings& Settings, const std::vector<std::string>& Arguments) const {
  Settings = T_QOR_Settings{};
  for (size_t I = 0; I < Arguments.size() && I < Arguments_Read; ++I) {
    const std::string& Argument = Arguments[I];
    if (Argument.empty()) continue;
    // "-" alone names the standard streams, not an option group.
    if (Argument[0] == '-' && Argument != "-") {
      Parse_Option_Group(Settings, Lower_Case(Argument));
    } else if (Settings.Input_Name.empty()) {
      // Kept as typed: on a case-sensitive file system a lower-cased name may name no file.
      Settings.Input_Name = Argument;
    } else {
      Settings.Extension = Lower_Case(Argument);
    }
  }
  if (!Settings.Help && !Settings.Compress && !Settings.Expand && !Settings.Test) Settings.Help = true;
}

void T_QOR_IO::Find_Files(const std::string& Pattern, std::vector<std::string>& List) const {
  const size_t Separator = Pattern.rfind('/');
  const std::string Directory = Separator == std::string::npos ? "" : Pattern.substr(0, Separator + 1);
  const std::string Name_Pattern = Pattern.substr(Directory.size());
  if (Name_Pattern.empty()) return;
  const std::unique_ptr<DIR, int (*)(DIR*)> Listing(::opendir(Directory.empty() ? "." : Directory.c_str()), ::closedir);
  if (!Listing) return;
  while (const dirent* Entry = ::readdir(Listing.get())) {
    if (!Wildcard_Matches(Name_Pattern, Entry->d_name)) continue;
    const std::string Path = Directory + Entry->d_name;
    struct stat Info {};
    // stat, not lstat: a link counts as the file it leads to.
    if (::stat(Path.c_str(), &Info) == 0 && S_ISREG(Info.st_mode)) List.push_back(Path);
  }
}

int64_t T_QOR_IO::File_Size(const std::string& Name) const {
  struct stat Info {};
  if (::stat(Name.c_str(), &Info) != 0) return -1;
  return static_cast<int64_t>(Info.st_size);
}

bool Wildcard_Matches(std::string_view Pattern, std::string_view Name) {
  if (Plain_Wildcard_Matches(Pattern, Name)) return true;
  return Pattern.ends_with(".*") && Plain_Wildcard_Matches(Pattern.substr(0, Pattern.size() - 2), Name);
}

std::string Output_Name(const std::string& Input_Name, const std::string& Extension) {
  const size_t Separator = Input_Name.rfind('/');
  const size_t Component = Separator == std::string::npos ? 0 : Separator + 1;
  const size_t Dot = Input_Name.rfind('.');
  std::string Name = (Dot != std::string::npos && Dot >= Component) ? Input_Name.substr(0, Dot + 1) + Extension
                                                                    : Input_Name + "." + Extension;
  // a.qor compressed with the extension qor must not overwrite itself.
  if (Name == Input_Name) Name += "." + Extension;
  return Name;
}

namespace {

// The C locale and its variants (C.UTF-8) write numbers alike.
bool Is_C_Locale(std::string_view Name) { return Name == "C" || Name == "POSIX" || Name.starts_with("C."); }

}  // namespace

void Adopt_Environment_Numbers() {
  // The variable the system's lookup would read: the first one set.
  const char* Name = nullptr;
  for (const char* Variable : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
    const char* Value = std::getenv(Variable);
    if (Value != nullptr && Value[0] != '\0') {
      Name = Value;
      break;
    }
  }
  // The lookup opens and maps locale files, a fifth of a millisecond here:
  // as much as expanding a few kilobytes. A process starts in the C locale,
  // so for C and its variants the outcome is already there.
  if (Name == nullptr || Is_C_Locale(Name)) return;
  std::setlocale(LC_NUMERIC, "");
}

T_QOR_Number_Format Locale_Number_Format() {
  const char* Name = std::setlocale(LC_NUMERIC, nullptr);
  // The C locale groups nothing; its reports still group by thousands, in the
  // fixed "1,234.5" form.
  if (Name == nullptr || Is_C_Locale(Name)) return T_QOR_Number_Format{};
  const std::lconv* Conventions = std::localeconv();
  if (Conventions == nullptr || Conventions->decimal_point == nullptr || Conventions->decimal_point[0] == '\0') {
    return T_QOR_Number_Format{};
  }
  // A locale with a decimal mark but no thousands separator (bg_BG, pt_PT) groups nothing.
  return T_QOR_Number_Format{Conventions->thousands_sep == nullptr ? "" : Conventions->thousands_sep,
                             Conventions->decimal_point};
}

std::string Format_Number(double Value, int Width, int Decimals, const T_QOR_Number_Format& Format) {
  return Format_Point_Number(Value, Width, Decimals, true, Format);
}

std::string Format_Fixed(double Value, int Width, int Decimals, const T_QOR_Number_Format& Format) {
  return Format_Point_Number(Value, Width, Decimals, false, Format);
}
