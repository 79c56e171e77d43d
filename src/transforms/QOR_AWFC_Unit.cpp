#include "transforms/QOR_AWFC_Unit.h"

#include "pipeline/QOR_MCP_Unit.h"

void T_QOR_AWFC::Encode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: AWFC not built yet"); }
void T_QOR_AWFC::Decode_Block(T_QOR_Block_Data&) { Report_Damaged_Block("SCAFFOLD: AWFC not built yet"); }
