#include "transforms/QOR_RLE_BIT_Unit.h"

#include "pipeline/QOR_MCP_Unit.h"

void T_QOR_RLE_BIT::Encode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: RLE_BIT not built yet"); }
void T_QOR_RLE_BIT::Decode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: RLE_BIT not built yet"); }
