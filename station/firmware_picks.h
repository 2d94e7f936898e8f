#pragma once

#include <string>

#include "station/production_settings.h"
#include "station/station_folder.h"

namespace corvid {

// Finds the firmware file, prefer.dat and image.iso in the pre-copy list (a later entry wins;
// one entry may be more than one pick) and measures them; a file that cannot be opened counts 0.
void recomputeFirmwarePicks(StationSettings& settings, const StationFolder& folder);

// The system area the picked files need, in MiB: each file rounded up to 512 KiB (image.iso
// only while chkISOupgrade is set), plus 1 MiB, doubled, rounded up to 4 MiB.
int systemAreaEstimateMB(const StationSettings& settings);

// The text of the system-area label: "%s: %dMB" with the SystemAreaSizeStr message.
std::string systemAreaEstimateText(const std::string& systemAreaSizeStr, int estimateMB);

}  // namespace corvid
