#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace corvid {

class WorkerState;

// Names of the diagnostic logs of a slot, under log/ of the station folder.
std::string badBlockLogName(int slot);     // "<slot>_bi_tab.txt", after the bad-block step
std::string cfgBadBlockLogName(int slot);  // "<slot>_bi_tab_cfg.txt", after a degraded CFG write
std::string pageTableLogName(int slot);    // "<slot>_page_tab.txt", after a page-mode check
std::string pageEccLogName(int slot);      // "<slot>_Ecc_Tab.txt", after a page-mode check
std::string modeEccLogName(int slot);      // "<slot>_ModeEcc.txt", during the mode detection

// Each writer creates log/ when missing, replaces the file and writes it in one call. A file that
// cannot be written gives no log and no message: the run goes on.

// The bad blocks of pBlockMap with their map bytes. 1 when written, 0 when the file cannot be
// opened.
int WriteBadBlockLog(WorkerState& w, const std::string& fileName);
// PageMap over one block.
int WritePageTableLog(WorkerState& w, const std::string& fileName);
// The per-page results of the first chip's blocks (pPageResults).
int WritePageEccLog(WorkerState& w, const std::string& fileName);
// One line of the mode detection: the per-page results of one sample block under a page mode
// (0..6). The first line of a detection starts the file afresh; a change of mode writes a header.
// 1 when written, 0 when the file cannot be opened.
int WriteModeEccLog(WorkerState& w, bool first, int mode, int block,
                    std::span<const std::uint8_t> results);

}  // namespace corvid
