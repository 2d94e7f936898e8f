#include "characterisation/page_table.h"

#include <algorithm>
#include <array>
#include <utility>

#include "characterisation/diagnostic_logs.h"
#include "characterisation/flash_info.h"
#include "characterisation/worker_state.h"
#include "station/production_settings.h"
#include "transport/vendor_commands.h"

namespace corvid {

int BuildPageTable(std::span<std::uint8_t> table, int mode) {
    std::fill(table.begin(), table.end(), kUnusable);
    const std::size_t pages = table.size();
    const std::size_t half = pages / 2;
    switch (mode) {
        case 0:
        case 1: {
            const std::size_t start = mode == 0 ? 2 : 0;
            for (std::size_t p = start; p + 1 < pages; p += 4) {
                table[p] = kUsable;
                table[p + 1] = kUsable;
            }
            if (mode == 0 && pages >= 2) {
                table[0] = kUsable;
                table[1] = kUsable;
                table[pages - 2] = kUnusable;
                table[pages - 1] = kUnusable;
            }
            return 1;
        }
        case 2:
        case 3:
            for (std::size_t p = mode == 2 ? 0 : 1; p < pages; p += 2) {
                table[p] = kUsable;
            }
            return 1;
        case 4:
            std::fill_n(table.begin(), half, kUsable);
            return 1;
        case 5:
            std::fill_n(table.begin() + static_cast<std::ptrdiff_t>(half), half, kUsable);
            if (pages > 0) {
                table[0] = kUsable;
                table[pages - 1] = kUnusable;
            }
            return 1;
        case kPageModeAllPages:
            std::fill(table.begin(), table.end(), kUsable);
            return 1;
        default:
            return 0;
    }
}

CMyPage::CMyPage(std::uint32_t blocks, std::uint32_t pagesPerBlock, std::uint32_t permitEcc,
                 std::span<const std::uint8_t> results)
    : blocks_(blocks),
      pagesPerBlock_(std::min(pagesPerBlock, kMaxPagesPerBlock)),
      permitEcc_(permitEcc),
      results_(results.begin(),
               results.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                                     results.size(), std::size_t{blocks_} * pagesPerBlock_))) {
    // A short result table judges the missing rows as failed pages.
    results_.resize(std::size_t{blocks_} * pagesPerBlock_, 0);
}

CMyPage::~CMyPage() = default;

bool CMyPage::passes(std::uint8_t result) const {
    // Unsigned, as the device's ECC figures are: a permitted level above 255 passes nothing.
    return !(std::uint32_t{result} < 255u - permitEcc_);
}

void CMyPage::SelectPages(std::span<const PageEntry> list, std::uint32_t n,
                          std::span<std::uint8_t> table) const {
    std::fill(table.begin(), table.end(), kUnusable);
    for (std::size_t i = 0; i < n && i < list.size(); ++i) {
        if (list[i].page < table.size()) {
            table[list[i].page] = kUsable;
        }
    }
}

void CMyPage::JudgeBlocks(std::span<const std::uint8_t> table,
                          std::span<std::uint8_t> verdicts) const {
    const std::size_t pages = std::min<std::size_t>(table.size(), pagesPerBlock_);
    for (std::size_t b = 0; b < blocks_ && b < verdicts.size(); ++b) {
        const std::uint8_t* row = results_.data() + b * pagesPerBlock_;
        std::uint32_t smallest = 256;
        for (std::size_t p = 0; p < pages; ++p) {
            if (table[p] == kUsable) {
                smallest = std::min<std::uint32_t>(smallest, row[p]);
            }
        }
        if (smallest == 256) {
            smallest = 0;  // a table that uses no page leaves nothing to judge
        }
        verdicts[b] = smallest < 255u - permitEcc_ ? kUnusable : kUsable;
    }
}

std::uint32_t CMyPage::UsableCapacity(std::span<const std::uint8_t> verdicts,
                                      std::uint32_t n) const {
    const auto good = std::count(verdicts.begin(), verdicts.end(), kUsable);
    return static_cast<std::uint32_t>(good) * n;
}

std::vector<CMyPage::PageEntry> CMyPage::orderedList(bool pageOneFirst) const {
    std::vector<PageEntry> list(pagesPerBlock_);
    for (std::uint32_t i = 0; i < pagesPerBlock_; ++i) {
        list[i].page = i;
    }
    if (pageOneFirst && pagesPerBlock_ >= 2) {
        std::swap(list[0], list[1]);
    }
    for (auto& entry : list) {
        for (std::uint32_t b = 0; b < blocks_; ++b) {
            if (passes(results_[std::size_t{b} * pagesPerBlock_ + entry.page])) {
                ++entry.count;
            }
        }
    }
    // The exchange ordering by count, highest first, behind the fixed first position. Not a
    // stable sort: the exchanges decide the order of equal counts.
    for (std::size_t i = 1; i < list.size(); ++i) {
        for (std::size_t j = i; j < list.size(); ++j) {
            if (list[i].count < list[j].count) {
                std::swap(list[i], list[j]);
            }
        }
    }
    return list;
}

void CMyPage::ChoosePages(std::span<std::uint8_t> table) const {
    const std::array<std::vector<PageEntry>, 2> lists{orderedList(false), orderedList(true)};
    std::vector<std::uint8_t> candidate(pagesPerBlock_);
    std::vector<std::uint8_t> verdicts(blocks_);
    std::uint32_t bestScore = 0;
    std::uint32_t bestPages = 0;
    std::size_t bestList = 0;
    std::uint32_t n = pagesPerBlock_;
    for (int step = 0; step < 4; ++step, n /= 2) {
        for (std::size_t l = 0; l < lists.size(); ++l) {
            SelectPages(lists[l], n, candidate);
            JudgeBlocks(candidate, verdicts);
            const std::uint32_t score = UsableCapacity(verdicts, n);
            if (score > bestScore) {
                bestScore = score;
                bestPages = n;
                bestList = l;
            }
        }
    }
    SelectPages(lists[bestList], bestPages, table);
}

namespace {

constexpr int kSampleBlocks = 16;
constexpr std::int32_t kMaxDetectPages = 256;
constexpr int kFixedModes = 6;  // modes 0..5 compete

bool pagesPass(std::span<const std::uint8_t> table, std::span<const std::uint8_t> results,
               std::uint32_t permitEcc) {
    for (std::size_t p = 0; p < table.size(); ++p) {
        if (table[p] == kUsable && std::uint32_t{results[p]} < 255u - permitEcc) {
            return false;
        }
    }
    return true;
}

}  // namespace

int DetectPageMode(WorkerState& w) {
    w.setStatus(w.fixed(FixedText::ModeDetection));
    const std::int64_t blocks = w.totalBlocks();
    const std::int32_t pages = w.FlashInfo.iPagesPerBlock;
    const std::int64_t share = blocks / kSampleBlocks;
    if (share < 1 || pages < 1 || pages > kMaxDetectPages) {
        return -1;
    }
    const auto permitEcc = static_cast<std::uint32_t>(w.FlashInfo.iPermitEcc);

    w.seedRandomFromTime();
    std::array<std::uint32_t, kSampleBlocks> sample{};
    for (int j = 0; j < kSampleBlocks; ++j) {
        sample[static_cast<std::size_t>(j)] =
            static_cast<std::uint32_t>(w.random.next() % share + j * share);
    }

    std::vector<std::uint8_t> table(static_cast<std::size_t>(pages));
    std::vector<std::uint8_t> results(static_cast<std::size_t>(pages));
    bool firstLine = true;
    // Scans every sample block with the table last sent; counts the blocks whose used pages pass.
    auto scanSamples = [&](int mode, int& good) {
        good = 0;
        for (const std::uint32_t block : sample) {
            ScanBlockArgs args;
            args.firstBlock = block;
            args.pattern = static_cast<std::uint16_t>(w.random.next() % 0xFFFF);
            args.mode = 1;
            args.phase = kScanPhaseWriteAndRead;
            args.pageSkip = 0;
            args.eccLevel = static_cast<std::uint8_t>(permitEcc);
            args.resultPerPage = true;
            args.pagesPerBlock = static_cast<std::uint32_t>(pages);
            if (!scanBlock(w.transport, w.hDevice, args, results)) {
                w.setStatus(w.message(MessageKey::RealBlankingCheckStr) +
                            w.message(MessageKey::FailMsg));
                return false;
            }
            if (w.bLogBiTable) {
                WriteModeEccLog(w, firstLine, mode, static_cast<int>(block), results);
                firstLine = false;
            }
            if (pagesPass(table, results, permitEcc)) {
                ++good;
            }
        }
        return true;
    };

    int good = 0;
    BuildPageTable(table, kPageModeAllPages);
    if (!sendPageTable(w.transport, w.hDevice, table) || !scanSamples(kPageModeAllPages, good)) {
        return -1;
    }
    int bestMode = -1;
    int bestScore = 0;
    for (int mode = 0; mode < kFixedModes; ++mode) {
        BuildPageTable(table, mode);
        if (!sendPageTable(w.transport, w.hDevice, table) || !scanSamples(mode, good)) {
            return -1;
        }
        const int score = good * pages / 2;
        if (score > bestScore) {
            bestScore = score;
            bestMode = mode;
        }
    }
    return bestMode;
}

}  // namespace corvid
