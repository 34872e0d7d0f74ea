// Placeholder bodies; the helpers follow.
#include "Misc.h"

#include "vomu_result.h"

int GetFileSize_Ex(FILE*, uint64_t*) { return VOMU_E_FAIL; }
int ConvertBinaryDataToString(const unsigned char*, int, char**, bool) { return VOMU_E_FAIL; }
int SplitString(const char*, const char*, std::vector<char*>&) { return VOMU_E_FAIL; }
void CleanupStringVector(std::vector<char*>& vetStr) { vetStr.clear(); }
