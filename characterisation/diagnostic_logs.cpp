#include "characterisation/diagnostic_logs.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "characterisation/flash_info.h"
#include "characterisation/worker_state.h"

namespace corvid {
namespace {

// printf-style formatting into a string; the formats below are the logs' own.
[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, pattern, copy);
    va_end(copy);
    std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), pattern, args);
    va_end(args);
    text.pop_back();
    return text;
}

std::string slotName(int slot, const char* suffix) {
    return std::to_string(slot) + suffix;
}

// Opens a log file of the station's log folder, creating the folder when missing. Lines end in a
// line feed on every platform, so the files are opened in binary mode.
bool openLog(WorkerState& w, const std::string& fileName, bool append, std::ofstream& out) {
    std::error_code ignored;  // a failure shows as the failure to open the file
    std::filesystem::create_directories(w.logDir(), ignored);
    out.open(w.logDir() / fileName,
             std::ios::binary | (append ? std::ios::app : std::ios::trunc | std::ios::out));
    return static_cast<bool>(out);
}

int finish(std::ofstream& out) {
    out.close();
    return out ? 1 : 0;
}

}  // namespace

std::string badBlockLogName(int slot) {
    return slotName(slot, "_bi_tab.txt");
}
std::string cfgBadBlockLogName(int slot) {
    return slotName(slot, "_bi_tab_cfg.txt");
}
std::string pageTableLogName(int slot) {
    return slotName(slot, "_page_tab.txt");
}
std::string pageEccLogName(int slot) {
    return slotName(slot, "_Ecc_Tab.txt");
}
std::string modeEccLogName(int slot) {
    return slotName(slot, "_ModeEcc.txt");
}

int WriteBadBlockLog(WorkerState& w, const std::string& fileName) {
    std::ofstream out;
    if (!openLog(w, fileName, false, out)) {
        return 0;
    }
    const std::int64_t blocks = w.totalBlocks();
    out << format("======================Flash Type: %s========================\n",
                  w.FlashInfo.sFlashName.c_str());
    out << "==================bad block list ecc detail==========================\n";
    const auto mapped =
        std::min<std::int64_t>(blocks, static_cast<std::int64_t>(w.pBlockMap.size()));
    int entries = 0;
    for (std::int64_t i = 0; i < mapped; ++i) {
        const std::uint8_t value = w.pBlockMap[static_cast<std::size_t>(i)];
        if (value == kUsable) {
            continue;
        }
        out << format("%04d(%X)  ", static_cast<int>(i), static_cast<unsigned>(value));
        if (++entries % 8 == 0) {
            out << "\n";
        }
    }
    out << "\n\n=====================================================================\n";
    out << format("Total blocks: %d \n", static_cast<int>(blocks));
    out << format("Total bad bind blocks: %d \n", entries);
    return finish(out);
}

int WritePageTableLog(WorkerState& w, const std::string& fileName) {
    std::ofstream out;
    if (!openLog(w, fileName, false, out)) {
        return 0;
    }
    out << format("====Flash Type: %s==========================\n", w.FlashInfo.sFlashName.c_str());
    out << "=========page table ========\n";
    const int pages = std::clamp(w.FlashInfo.iPagesPerBlock, 0, kMaxPagesPerBlock);
    int valid = 0;
    for (int p = 0; p < pages; ++p) {
        if (p > 0 && p % 8 == 0) {
            out << "\n";
        }
        const std::uint8_t value = w.PageMap[static_cast<std::size_t>(p)];
        out << format("0x%02X ", static_cast<unsigned>(value));
        if (value == kUsable) {
            ++valid;
        }
    }
    out << format("\nValid Page  %d\n", valid);
    return finish(out);
}

int WritePageEccLog(WorkerState& w, const std::string& fileName) {
    std::ofstream out;
    if (!openLog(w, fileName, false, out)) {
        return 0;
    }
    out << format("====Flash Type: %s==========================\n", w.FlashInfo.sFlashName.c_str());
    out << "=========page ECC table ========\n";
    const auto pages = static_cast<std::size_t>(std::max(w.FlashInfo.iPagesPerBlock, 0));
    const auto blocks = static_cast<std::size_t>(std::max(w.FlashInfo.iBlocksPerChip, 0));
    for (std::size_t b = 0; b < blocks; ++b) {
        out << format("%04d: ", static_cast<int>(b));
        for (std::size_t p = 0; p < pages; ++p) {
            const std::size_t at = b * pages + p;
            const unsigned value = at < w.pPageResults.size() ? w.pPageResults[at] : 0;
            out << format("%02X ", value);
        }
        out << "\n";
    }
    return finish(out);
}

int WriteModeEccLog(WorkerState& w, bool first, int mode, int block,
                    std::span<const std::uint8_t> results) {
    std::ofstream out;
    if (!openLog(w, modeEccLogName(w.iSlot), !first, out)) {
        return 0;
    }
    if (first) {
        w.iLastLogMode = -1;  // a fresh file starts with a header
    }
    if (mode != w.iLastLogMode) {
        out << format("Mode %s\n", w.pageModeName(mode).c_str());
        out << "============================================\n";
        w.iLastLogMode = mode;
    }
    out << format("%04d:", block);
    for (const std::uint8_t value : results) {
        out << format(" %02X", static_cast<unsigned>(value));
    }
    out << "\n";
    return finish(out);
}

}  // namespace corvid
