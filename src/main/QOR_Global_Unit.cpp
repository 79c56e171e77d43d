#include "main/QOR_Global_Unit.h"

namespace {

constexpr std::string_view Rule_Line = "____________________________________________________________________";
static_assert(Rule_Line.size() == 68);

}  // namespace

const std::array<std::string_view, 8> Banner = {
    Rule_Line,
    "",
    "QOR - Tessaline",
    "Version                   : 2.4",
    "Block size                : 5 MiB",
    "Chains                    : fast, SIF path, AWFC path",
    Rule_Line,
    "",
};

const std::string_view Version_Text = "qor 2.4";

const std::array<std::string_view, 15> Usage = {
    "Usage: qor.exe [-hcev1] [input filename/wildcard] [output extension]",
    "  -h : print this help message",
    "  -c : compress files",
    "  -e : expand files",
    "  -v : verbose",
    "  -1 : fast",
    "",
    "If no output extension is given:",
    " \"qor\" is default for compression",
    " \"exp\" is default for expansion",
    "",
    "Examples:",
    "  qor.exe -c1 autoexec.bat qor",
    "  qor.exe -e  autoexec.qor bat",
    "  qor.exe -cv *.exe        qor",
};

const std::array<std::string_view, 4> Spinner = {"\b-", "\b\\", "\b|", "\b/"};

const std::array<std::string_view, 3> Bottom_Rule = {Rule_Line, "", Rule_Line};

const std::string_view Compressing_Word = "Compressing ";
const std::string_view Expanding_Word = "Expanding ";
const std::string_view To_Word = " to ";
const std::string_view Files_Count_Suffix = " files  ";

const std::string_view Input_Size_Label = "Input size                : ";
const std::string_view Output_Size_Label = "Output size               : ";
const std::string_view Compression_Rate_Label = "Compression rate          : ";
const std::string_view Compression_Time_Label = "Compression time          : ";
const std::string_view Expansion_Time_Label = "Expansion time            : ";
const std::string_view CRC_Valid_Text = "CRC is valid";

const std::string_view Number_Of_Files_Label = "Number of files           : ";
const std::string_view Total_Input_Size_Label = "Total input size          : ";
const std::string_view Total_Output_Size_Label = "Total output size         : ";
const std::string_view Average_Rate_Label = "Average compression rate  : ";
const std::string_view Total_Rate_Label = "Total compression rate    : ";
const std::string_view Total_Time_Label = "Total time                : ";

const std::string_view Bytes_Unit = " bytes";
const std::string_view Rate_Unit = " bps";
const std::string_view Seconds_Unit = " s";

const std::string_view File_Not_Found_Text = "File not found. Program execution terminated!";
const std::string_view CRC_Not_Valid_Text = "CRC is not valid. Program execution terminated!";

std::string_view Stages_Line(bool Compressing, bool Fast_Mode, bool SIF_Path) {
  if (Compressing) {
    if (Fast_Mode) return "stages                    : BWT - RLE_EXP - MTF - AC";
    if (SIF_Path) return "stages                    : BWT - RLE_EXP - SIF - AC";
    return "stages                    : BWT - RLE_BIT0 - AWFC - RLE_BIT1 - AC";
  }
  if (Fast_Mode) return "stages                    : AC - MTF - RLE_EXP BWT";
  if (SIF_Path) return "stages                    : AC - SIF - RLE_EXP BWT";
  return "stages                    : AC - RLE_BIT1 - AWFC - RLE_BIT0 - BWT";
}
