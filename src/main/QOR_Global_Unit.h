// Every text the program writes to the console.
#pragma once

#include <array>
#include <string_view>

// Report lines: a label padded with spaces to 26 characters, then ": ", then the value.
extern const std::array<std::string_view, 8> Banner;
extern const std::array<std::string_view, 15> Usage;
// What --version prints; the number is the banner's.
extern const std::string_view Version_Text;
// Backspace then the next spinner character: each one replaces the previous one
// (the first replaces the last of the two spaces that end the "files" line).
extern const std::array<std::string_view, 4> Spinner;
// Lines 0 and 1 open the verbose totals; line 2 closes the totals in every mode.
extern const std::array<std::string_view, 3> Bottom_Rule;

// The phase words open both the non-verbose count line (word, "%4.0n", " files  ",
// left open for the spinner) and the verbose message (word, input name, " to ",
// output name).
extern const std::string_view Compressing_Word;
extern const std::string_view Expanding_Word;
extern const std::string_view To_Word;
extern const std::string_view Files_Count_Suffix;

// Per-file report labels, each followed by a number and the unit.
extern const std::string_view Input_Size_Label;
extern const std::string_view Output_Size_Label;
extern const std::string_view Compression_Rate_Label;
extern const std::string_view Compression_Time_Label;
extern const std::string_view Expansion_Time_Label;
extern const std::string_view CRC_Valid_Text;

// Totals labels.
extern const std::string_view Number_Of_Files_Label;
extern const std::string_view Total_Input_Size_Label;
extern const std::string_view Total_Output_Size_Label;
extern const std::string_view Average_Rate_Label;
extern const std::string_view Total_Rate_Label;
extern const std::string_view Total_Time_Label;

extern const std::string_view Bytes_Unit;    // " bytes"
extern const std::string_view Rate_Unit;     // " bps"
extern const std::string_view Seconds_Unit;  // " s"

extern const std::string_view File_Not_Found_Text;
extern const std::string_view CRC_Not_Valid_Text;

// The stages line of a file, from the flags of its last block.
std::string_view Stages_Line(bool Compressing, bool Fast_Mode, bool SIF_Path);
