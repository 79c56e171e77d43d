#include "transforms/QOR_SIF_Unit.h"

#include "pipeline/QOR_MCP_Unit.h"

void T_QOR_SIF::Encode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: SIF not built yet"); }
void T_QOR_SIF::Decode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: SIF not built yet"); }
