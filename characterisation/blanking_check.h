#pragma once

namespace corvid {

class WorkerState;

// The bad-block scan of all blocks of all chips at the scan level of the settings, per block or,
// with the special scan, per page (the page map is then chosen at its end). Fills pBlockMap with a
// verdict per block and moves the progress from progressStart to progressEnd. Returns 1 on
// success; 0 on failure with the status text set and bPass cleared.
int BlankingCheck(WorkerState& w, int progressStart, int progressEnd);

// Completes the CFG in the work area (chips, signature, first usable blocks, page map, layout
// bytes, checksum) after the capacity rule (a system area too large for the CFG fails first), and
// writes it with the block bitmap and zero pages into the first two usable blocks; a failed erase
// or write is retried once on the next usable block. Sets iBadBlocks. 'firmwareUpgrade' is the
// firmware-upgrade setting: without it the signature is marked with X. Returns 1 on success; 0 on
// failure with the status text set and bPass cleared.
int WriteCfg(WorkerState& w, bool firmwareUpgrade);

}  // namespace corvid
