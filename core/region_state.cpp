// The region table's storage: one entry per kind until the first scan sorts and fills it.
#include "core/region_state.h"

FlashRegion RegionTable[kRegionCount + 1] = {
    {REGION_BOOTLOADER, 0, 0, 0}, {REGION_CONFIG_BLOCK, 0, 0, 0}, {REGION_OS_IMAGE, 0, 0, 0},
    {REGION_REGISTRY, 0, 0, 0},   {REGION_FILE_SYSTEM, 0, 0, 0},  {0, 0, 0, 0}};
WCHAR FileSystemStoreName[8] = {};
int FileSystemRegionIndex = 0;
