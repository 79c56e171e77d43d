#include "transforms/QOR_MTF_Unit.h"

#include "pipeline/QOR_MCP_Unit.h"

void T_QOR_MTF::Encode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: MTF not built yet"); }
void T_QOR_MTF::Decode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: MTF not built yet"); }
