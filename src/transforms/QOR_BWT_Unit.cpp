#include "transforms/QOR_BWT_Unit.h"

#include "pipeline/QOR_MCP_Unit.h"

void T_QOR_BWT::Encode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: BWT not built yet"); }
void T_QOR_BWT::Decode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: BWT not built yet"); }
