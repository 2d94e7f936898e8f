#pragma once

#include <cstdint>

namespace corvid {

class WorkerState;
struct StationSettings;

// The system area travels in units of 4 MiB, in one byte of the CFG.
inline constexpr std::uint64_t kSysAreaUnitBytes = 4u * 1024u * 1024u;
inline constexpr int kMaxSysAreaUnits = 255;

// The system area for the worker's firmware files and flash geometry, in 4-MiB units. Shows the
// size in the window's system-area label. With the fixed size chosen by the operator that size is
// used even when it is below what the files need; the operator is then warned (a modal box that
// holds only this worker). Sets iSysAreaUnits and returns it.
int systemAreaSize(WorkerState& w);

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

// Writes the layout bytes 133..143 into the worker's CFG.
void storeLayoutBytes(WorkerState& w);

// Sends the capacity multiplier when one is chosen (index 1..5); a multiplier of 1 (index 0) or
// no valid choice sends nothing. True when a command was sent and succeeded.
bool sendCapMultiplier(WorkerState& w);

}  // namespace corvid
