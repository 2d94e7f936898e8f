#pragma once

#include <cstdint>
#include <span>

#include "characterisation/flash_info.h"

namespace corvid {

struct FLASH_INFO;
class WorkerState;
struct StationSettings;

// The system area travels in units of 4 MiB, in one byte of the CFG.
inline constexpr std::uint64_t kSysAreaUnitBytes = 4u * 1024u * 1024u;
inline constexpr int kMaxSysAreaUnits = 255;

// The system area a run gives the firmware files.
struct SystemArea {
    int units = 0;                // in 4-MiB units, as the CFG carries it
    std::uint64_t megabytes = 0;  // as the window's system-area label shows it
    bool tooSmall = false;        // the operator's fixed size is below what the files need
};

// The system area for the firmware files in 'settings' on a flash of 'info''s block size. With the
// fixed size chosen by the operator that size is used even when it is below what the files need.
SystemArea systemAreaSize(const FLASH_INFO& info, const StationSettings& settings);

// The worker's system area: shows its size in the window's system-area label, warns the operator
// of a fixed size that is too small (a modal box that holds only this worker) and sets
// iSysAreaUnits.
void chooseSystemArea(WorkerState& w);

// False when iSysAreaUnits does not fit its CFG byte (more than 1020 MB, e.g. for a large CD-ROM
// image): the device fails with the size in its status text (red, bPass cleared) rather than
// getting a CFG that describes a smaller system area than its files need.
bool systemAreaFits(WorkerState& w);

// The capacity rule, applied before the CFG is built: decides from the block map and the page map
// how much of the flash the disk may use. Sets bDegraded; with "degrade" it trims the block map to
// the capacity. False (status text set, red) when the device must fail.
bool capacityRule(WorkerState& w);

// CFG byte 134: the hidden or encrypted part as a share of 256, 0 for a normal disk.
std::uint8_t splitRatioByte(const StationSettings& settings);

// Writes the layout bytes 133..143 of a CFG: the system area of 'sysAreaUnits', the split of
// 'settings'.
void storeLayoutBytes(std::span<std::uint8_t, cfg::kSize> cfgBytes, int sysAreaUnits,
                      const StationSettings& settings);

// Sends the capacity multiplier when one is chosen (index 1..5); a multiplier of 1 (index 0) or
// no valid choice sends nothing. True when a command was sent and succeeded.
bool sendCapMultiplier(WorkerState& w);

}  // namespace corvid
