#include "coding/QOR_Coder_Unit.h"

#include "pipeline/QOR_MCP_Unit.h"

bool T_QOR_Coder::Encode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: coder not built yet"); }
void T_QOR_Coder::Decode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: coder not built yet"); }
