#include "transforms/QOR_RLE_EXP_Unit.h"

#include "pipeline/QOR_MCP_Unit.h"

void T_QOR_RLE_EXP::Encode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: RLE_EXP not built yet"); }
void T_QOR_RLE_EXP::Decode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: RLE_EXP not built yet"); }
