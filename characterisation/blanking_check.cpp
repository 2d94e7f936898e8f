#include "characterisation/blanking_check.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "characterisation/diagnostic_logs.h"
#include "characterisation/disk_layout.h"
#include "characterisation/flash_info.h"
#include "characterisation/page_table.h"
#include "characterisation/worker_state.h"
#include "station/production_settings.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

// Scan levels (iScanLevel): "Level 1" .. "Level 5".
constexpr int kLevel1 = 0;
constexpr int kLevel2 = 1;
constexpr int kLevel3 = 2;
constexpr int kLevel4 = 3;
constexpr int kLevel5 = 4;

// A pass without any good block fails once this many pages have been scanned.
constexpr std::int64_t kTooManyPagesLevel1 = 49024;
constexpr std::int64_t kTooManyPagesOther = 16000;

// The local page table of the special scan holds at most this many pages.
constexpr std::int32_t kMaxScanTablePages = 256;

enum class Pass { OnePass, Write, ReadBack, Erase, ReadBackAgain };

class Scan {
  public:
    Scan(WorkerState& w, int start, int end)
        : w_(w),
          start_(start),
          end_(end),
          blocks_(w.totalBlocks()),
          pages_(w.FlashInfo.iPagesPerBlock),
          level_(w.seams.settings.record.iScanLevel),
          pageMode_(w.seams.settings.record.PageMode) {}

    int run();

  private:
    // The step is the check's, not the progress text it showed last.
    void runFailed() { w_.runFailed(w_.message(MessageKey::RealBlankingCheckStr)); }
    int fail(const std::string& text, bool red) {
        runFailed();
        w_.setStatus(text);
        if (red) {
            w_.setStatusColour(StatusColour::Red);
        }
        return 0;
    }
    int failScan() {
        return fail(w_.message(MessageKey::RealBlankingCheckStr) + w_.message(MessageKey::FailMsg),
                    false);
    }
    int failSilently() {
        runFailed();  // the last progress text stays
        return 0;
    }
    void releasePageResults() { std::vector<std::uint8_t>().swap(w_.pPageResults); }

    bool scan(std::int64_t block, std::uint16_t pattern, std::uint8_t mode, std::uint8_t phase,
              bool perPage);
    bool pagesPass(std::int64_t block) const;
    void alternateColour() {
        red_ = !red_;
        w_.setStatusColour(red_ ? StatusColour::Red : StatusColour::WindowText);
    }
    std::string progressText(Pass pass, std::int64_t i) const;
    void report(Pass pass, std::int64_t i, int passStart, int share);
    bool tooMany(std::int64_t i) const;
    bool countVerdict(std::int64_t i, bool countBad);

    // Level 4 writes the blocks in a shuffled order, each with a seed of its own.
    struct Write {
        std::uint32_t block;
        std::uint16_t seed;  // the low 16 bits are what the device gets
    };
    std::vector<Write> shuffledWrites();
    int onePassLevel();
    int level4();
    int writePass(const std::vector<Write>& writes, int share);
    int readBackPass(const std::vector<std::uint16_t>& seedOfBlock, int share);
    void erasePass(int share);
    int readBackAgainPass(const std::vector<std::uint16_t>& seedOfBlock, int share);
    int finish();

    WorkerState& w_;
    const int start_;
    const int end_;
    const std::int64_t blocks_;
    const std::int32_t pages_;
    const int level_;
    const bool pageMode_;
    int pageModeSel_ = -1;
    std::vector<std::uint8_t> table_;  // local page table of the special scan
    std::int64_t bad_ = 0;
    bool goodInPass_ = false;
    bool red_ = false;
};

bool Scan::scan(std::int64_t block, std::uint16_t pattern, std::uint8_t mode, std::uint8_t phase,
                bool perPage) {
    ScanBlockArgs args;
    args.firstBlock = static_cast<std::uint32_t>(block);
    args.blockCount = 1;
    args.pattern = pattern;
    args.mode = mode;
    args.phase = phase;
    args.pageSkip = static_cast<std::uint8_t>(w_.seams.settings.record.iPageSkip);
    args.eccLevel = static_cast<std::uint8_t>(w_.FlashInfo.iPermitEcc);
    args.resultPerPage = perPage;
    args.pagesPerBlock = static_cast<std::uint32_t>(pages_);
    std::uint8_t unused = 0;
    std::span<std::uint8_t> results =
        perPage ? std::span(w_.pPageResults)
                      .subspan(static_cast<std::size_t>(block * pages_),
                               static_cast<std::size_t>(pages_))
        : phase == kScanPhaseWriteOnly
            ? std::span(&unused, 1)
            : std::span(&w_.pBlockMap[static_cast<std::size_t>(block)], 1);
    return scanBlock(w_.transport, w_.hDevice, args, results);
}

bool Scan::pagesPass(std::int64_t block) const {
    const auto permit = static_cast<std::uint32_t>(w_.FlashInfo.iPermitEcc);
    const std::uint8_t* row = w_.pPageResults.data() + block * pages_;
    for (std::int32_t p = 0; p < pages_; ++p) {
        if (table_[static_cast<std::size_t>(p)] == kUsable &&
            std::uint32_t{row[p]} < 255u - permit) {
            return false;
        }
    }
    return true;
}

std::string Scan::progressText(Pass pass, std::int64_t i) const {
    const std::string n = std::to_string(blocks_);
    const std::string bad = w_.fixed(FixedText::Bad) + ": ";
    if (pageMode_ && pass != Pass::Erase && pass != Pass::ReadBackAgain) {
        return w_.pageModeName(pageModeSel_) + " " + std::to_string(i) + "/" + n + " " + bad +
               (pageModeSel_ == kPageModeAllPages ? "?" : std::to_string(bad_));
    }
    const std::string head = w_.message(MessageKey::RealBlankingCheckStr);
    switch (pass) {
        case Pass::OnePass:
            return head + " " + std::to_string(i) + "/" + n + " " + bad + std::to_string(bad_);
        case Pass::Write:
            return head + "(1) " + std::to_string(i) + "/" + n + " " + bad + std::to_string(bad_);
        case Pass::ReadBack:
            return head + "(2)" + std::to_string(i) + "/" + n + " " + bad + std::to_string(bad_);
        case Pass::Erase:
            return head + "(3)" + std::to_string(bad_) + "/" + n;
        case Pass::ReadBackAgain:
            return head + "(4)" + std::to_string(bad_) + "/" + n;
    }
    return head;
}

// Every fifth block: the text, the colour alternation and the progress within the pass's share.
void Scan::report(Pass pass, std::int64_t i, int passStart, int share) {
    if (i % 5 == 0) {
        w_.setStatus(progressText(pass, i));
        alternateColour();
        w_.setProgress(passStart + static_cast<int>(i * share / blocks_));
    }
    if ((level_ == kLevel3 || pass == Pass::Erase) && i % 3 == 0) {
        alternateColour();
    }
}

bool Scan::tooMany(std::int64_t i) const {
    const std::int64_t limit = level_ == kLevel1 ? kTooManyPagesLevel1 : kTooManyPagesOther;
    return !w_.bFixedBlocks && !goodInPass_ && i * pages_ > limit;
}

// Counts the verdict block i got in this pass: in page mode by its pages, else by its map byte,
// where a good block keeps the pass going and a bad one is counted when 'countBad' says so (not
// when an earlier pass counted it). False when the pass has gone too far without a good block.
bool Scan::countVerdict(std::int64_t i, bool countBad) {
    if (pageMode_) {
        // Level 1 choosing among all pages leaves the count to the choice of pages at the end.
        const bool uncounted = level_ == kLevel1 && pageModeSel_ == kPageModeAllPages;
        if (!pagesPass(i) && !uncounted) {
            ++bad_;
        }
        return true;
    }
    if (w_.pBlockMap[static_cast<std::size_t>(i)] == kUsable) {
        goodInPass_ = true;
    } else if (countBad) {
        ++bad_;
    }
    return !tooMany(i);
}

int Scan::onePassLevel() {
    if (level_ == kLevel1) {
        w_.seedRandomFromTime();
    }
    goodInPass_ = false;
    for (std::int64_t i = 0; i < blocks_; ++i) {
        bool ok = false;
        switch (level_) {
            case kLevel1:
                ok = scan(i, static_cast<std::uint16_t>(w_.random.next() % 0xFFFF), 1,
                          kScanPhaseWriteAndRead, pageMode_);
                break;
            case kLevel2:
                ok = scan(i, kScanPattern55AA, 2, kScanPhaseWriteAndRead, pageMode_);
                break;
            case kLevel3:
                ok = scan(i, kScanPattern55AA, 3, kScanPhaseWriteAndRead, pageMode_);
                break;
            default:  // Level 5: the second pattern only on a block the first one left good
                ok = scan(i, kScanPattern55AA, 2, kScanPhaseWriteAndRead, pageMode_);
                if (ok && (pageMode_ ? pagesPass(i)
                                     : w_.pBlockMap[static_cast<std::size_t>(i)] == kUsable)) {
                    ok = scan(i, kScanPatternAA55, 2, kScanPhaseWriteAndRead, pageMode_);
                }
                break;
        }
        if (!ok) {
            if (pageMode_) {
                releasePageResults();
            }
            return failScan();
        }
        if (!countVerdict(i, true)) {
            return fail(w_.fixed(FixedText::TooManyBadBlock), true);
        }
        report(Pass::OnePass, i, start_, end_ - start_);
    }
    return 1;
}

// The blocks in a shuffled order, each with its own seed from the worker's generator.
std::vector<Scan::Write> Scan::shuffledWrites() {
    w_.seedRandomFromTime();
    std::vector<Write> writes(static_cast<std::size_t>(blocks_));
    for (std::size_t q = 0; q < writes.size(); ++q) {
        writes[q] = {static_cast<std::uint32_t>(q), static_cast<std::uint16_t>(w_.random.next())};
    }
    for (std::size_t q = 0; q < writes.size(); ++q) {
        std::swap(writes[q], writes[static_cast<std::size_t>(w_.random.next()) % writes.size()]);
    }
    return writes;
}

int Scan::level4() {
    // The blocks are written in a shuffled order and read back in block order with the seed each
    // was written with; without the special scan, what failed is erased and read back again.
    const std::vector<Write> writes = shuffledWrites();
    std::vector<std::uint16_t> seedOfBlock(writes.size());
    for (const Write& e : writes) {
        seedOfBlock[e.block] = e.seed;
    }
    const int share = (end_ - start_) / (pageMode_ ? 2 : 4);
    if (writePass(writes, share) == 0 || readBackPass(seedOfBlock, share) == 0) {
        return 0;
    }
    if (pageMode_) {
        return 1;
    }
    erasePass(share);
    return readBackAgainPass(seedOfBlock, share);
}

// Pass (1): write.
int Scan::writePass(const std::vector<Write>& writes, int share) {
    const int passStart = w_.iProgress;
    for (std::int64_t q = 0; q < blocks_; ++q) {
        const Write& e = writes[static_cast<std::size_t>(q)];
        if (!scan(e.block, e.seed, 1, kScanPhaseWriteOnly, false)) {
            return failSilently();
        }
        report(Pass::Write, q, passStart, share);
    }
    return 1;
}

// Pass (2): read back.
int Scan::readBackPass(const std::vector<std::uint16_t>& seedOfBlock, int share) {
    const int passStart = w_.iProgress;
    goodInPass_ = false;
    for (std::int64_t q = 0; q < blocks_; ++q) {
        if (!scan(q, seedOfBlock[static_cast<std::size_t>(q)], 1, kScanPhaseReadCompare,
                  pageMode_)) {
            if (pageMode_) {
                releasePageResults();
                return failScan();
            }
            return failSilently();
        }
        if (!countVerdict(q, true)) {
            return fail(w_.fixed(FixedText::TooManyBadBlock), false);
        }
        report(Pass::ReadBack, q, passStart, share);
    }
    return 1;
}

// Pass (3): erase what failed; the result of an erase does not count.
void Scan::erasePass(int share) {
    const int passStart = w_.iProgress;
    for (std::int64_t q = 0; q < blocks_; ++q) {
        if (w_.pBlockMap[static_cast<std::size_t>(q)] != kUsable) {
            eraseBlock(w_.transport, w_.hDevice, static_cast<std::uint32_t>(q), 1);
        }
        report(Pass::Erase, q, passStart, share);
    }
}

// Pass (4): read back again; the map keeps the new verdicts, and a block counts as bad once.
int Scan::readBackAgainPass(const std::vector<std::uint16_t>& seedOfBlock, int share) {
    const int passStart = w_.iProgress;
    goodInPass_ = false;
    for (std::int64_t q = 0; q < blocks_; ++q) {
        const bool wasUsable = w_.pBlockMap[static_cast<std::size_t>(q)] == kUsable;
        if (!scan(q, seedOfBlock[static_cast<std::size_t>(q)], 1, kScanPhaseReadCompare, false)) {
            return failSilently();
        }
        if (!countVerdict(q, wasUsable)) {
            return fail(w_.fixed(FixedText::TooManyBadBlock), true);
        }
        report(Pass::ReadBackAgain, q, passStart, share);
    }
    return 1;
}

int Scan::finish() {
    if (pageMode_) {
        const auto pageMap = std::span(w_.PageMap).first(static_cast<std::size_t>(pages_));
        w_.pMyPage = std::make_unique<CMyPage>(
            static_cast<std::uint32_t>(blocks_), static_cast<std::uint32_t>(pages_),
            static_cast<std::uint32_t>(w_.FlashInfo.iPermitEcc), w_.pPageResults);
        if (pageModeSel_ == kPageModeAllPages) {
            w_.pMyPage->ChoosePages(pageMap);
        } else {
            BuildPageTable(pageMap, pageModeSel_);
        }
        w_.pMyPage->JudgeBlocks(pageMap, w_.pBlockMap);
        if (w_.bLogBiTable) {
            WritePageTableLog(w_, pageTableLogName(w_.iSlot));
            WritePageEccLog(w_, pageEccLogName(w_.iSlot));
        }
        w_.pMyPage.reset();
        releasePageResults();
        if (pageModeSel_ == kPageModeAllPages &&
            std::none_of(pageMap.begin(), pageMap.end(),
                         [](std::uint8_t v) { return v == kUsable; })) {
            return fail(w_.fixed(FixedText::PageModeError), false);
        }
    }
    w_.setProgress(end_);
    return 1;
}

int Scan::run() {
    // The block map, the CFG bitmap and its 16-bit block numbers hold at most 65536 blocks.
    if (blocks_ < 1 || blocks_ > kMaxBlocks || pages_ < 1 || pages_ > kMaxPagesPerBlock) {
        return failScan();
    }
    w_.pBlockMap.resize(static_cast<std::size_t>(blocks_), kUsable);

    if (pageMode_) {
        pageModeSel_ = w_.seams.settings.record.PageModeSel;
        if (pageModeSel_ == kPageModeAutoDetection) {
            pageModeSel_ = DetectPageMode(w_);
        }
        if (pageModeSel_ < 0 || pageModeSel_ > kPageModeAllPages) {
            return fail(w_.fixed(FixedText::ModeDetection) + w_.message(MessageKey::FailMsg),
                        false);
        }
        if (pages_ > kMaxScanTablePages) {
            return fail("Send Pagetable fail", false);
        }
        w_.pPageResults.assign(static_cast<std::size_t>(blocks_ * pages_), 0);
        table_.assign(static_cast<std::size_t>(pages_), kUnusable);
        BuildPageTable(table_, pageModeSel_);
        if (!sendPageTable(w_.transport, w_.hDevice, table_)) {
            return fail("Send Pagetable fail", false);
        }
    }

    w_.setStatus(w_.message(MessageKey::BlankingSetupMsg) + "...");
    w_.setStatusColour(StatusColour::WindowText);
    w_.setProgress(start_);

    int ok = 1;
    switch (level_) {
        case kLevel1:
        case kLevel2:
        case kLevel3:
        case kLevel5:
            ok = onePassLevel();
            break;
        case kLevel4:
            ok = level4();
            break;
        default:
            break;  // no such level: nothing to scan
    }
    return ok ? finish() : 0;
}

// Result of writing one system block.
enum class BlockWrite { Done, EraseFailed, WriteFailed, NoGoodPage };

// The next page after 'page' (or the first page when 'page' is -1) that the page map uses.
int nextUsedPage(const WorkerState& w, int page) {
    for (int p = page + 1; p < w.FlashInfo.iPagesPerBlock; ++p) {
        if (w.PageMap[static_cast<std::size_t>(p)] == kUsable) {
            return p;
        }
    }
    return -1;
}

BlockWrite writeSystemBlock(WorkerState& w, std::uint32_t block,
                            std::span<const std::uint8_t> zeroPage) {
    const auto pageSize = static_cast<std::size_t>(w.FlashInfo.iPageSize);
    const auto firstPage = block * static_cast<std::uint32_t>(w.FlashInfo.iPagesPerBlock);
    auto writeAt = [&](int page, std::span<const std::uint8_t> data) {
        return writePage(w.transport, w.hDevice, firstPage + static_cast<std::uint32_t>(page), 1,
                         w.iFlashType, data);
    };
    if (!eraseBlock(w.transport, w.hDevice, block, 1)) {
        return BlockWrite::EraseFailed;
    }
    int page = nextUsedPage(w, -1);
    if (page < 0) {
        return BlockWrite::NoGoodPage;
    }
    if (!writeAt(page, std::span(w.Cfg.cfg).first(pageSize))) {
        return BlockWrite::WriteFailed;
    }
    const std::size_t mapBytes = static_cast<std::size_t>(w.totalBlocks()) / 8;
    const std::size_t bitmapPages = (mapBytes + pageSize - 1) / pageSize;
    for (std::size_t m = 0; m < bitmapPages; ++m) {
        page = nextUsedPage(w, page);
        if (page < 0) {
            return BlockWrite::NoGoodPage;
        }
        if (!writeAt(page, std::span(w.Cfg.bitmap).subspan(m * pageSize, pageSize))) {
            return BlockWrite::WriteFailed;
        }
    }
    while ((page = nextUsedPage(w, page)) >= 0) {
        if (!writeAt(page, zeroPage.first(pageSize))) {
            return BlockWrite::WriteFailed;
        }
    }
    return BlockWrite::Done;
}

// Fills the CFG fields that depend on the block map and the settings, and the block bitmap.
void completeCfg(WorkerState& w, bool firmwareUpgrade, std::size_t blocks) {
    auto& b = w.Cfg.cfg;
    b[cfg::kChips] = static_cast<std::uint8_t>(w.FlashInfo.iChips);
    if (!firmwareUpgrade) {
        for (std::size_t k = 0; k < cfg::kSignatureLength / 4; ++k) {
            b[cfg::kSignature + 4 * k + 1] = 'X';
        }
    }
    w.Cfg.bitmap.fill(0);
    // Slots left over when fewer than four blocks are usable must not name a block from before.
    std::fill_n(&b[cfg::kFirstUsableBlocks], 2 * cfg::kFirstUsableBlockCount, 0);
    std::size_t listed = 0;
    for (std::size_t k = 0; k < blocks; ++k) {
        if (w.pBlockMap[k] != kUsable) {
            continue;
        }
        if (listed < cfg::kFirstUsableBlockCount) {
            b[cfg::kFirstUsableBlocks + 2 * listed] = static_cast<std::uint8_t>(k >> 8);
            b[cfg::kFirstUsableBlocks + 2 * listed + 1] = static_cast<std::uint8_t>(k);
            ++listed;
        }
        setBitmapBit(w.Cfg.bitmap, k, true);
    }
    const auto pageBits = std::span(b).subspan(cfg::kPageMapBits, cfg::kPageMapBitsLength);
    if (w.bPageMapValid) {
        b[cfg::kPageMapPresent] = 1;
        std::fill(pageBits.begin(), pageBits.end(), 0xFF);
        const auto pages = std::min<std::size_t>(
            static_cast<std::size_t>(w.FlashInfo.iPagesPerBlock), cfg::kPageMapBitsLength * 8);
        for (std::size_t p = 0; p < pages; ++p) {
            if (w.PageMap[p] == kUsable) {
                setBitmapBit(pageBits, p, false);
            }
        }
    } else {
        b[cfg::kPageMapPresent] = 0;
        std::fill(pageBits.begin(), pageBits.end(), 0);
    }
    storeLayoutBytes(std::span(w.Cfg.cfg).first<cfg::kSize>(), w.iSysAreaUnits, w.seams.settings);
    cfg::storeChecksum(b);
    std::fill_n(&b[cfg::kFlashName], cfg::kFlashNameLength, 0);
}

int failCfg(WorkerState& w, const std::string& text, bool red) {
    w.runFailed(w.fixed(FixedText::WriteCfg));  // a retry's status carries its count
    w.setStatus(text);
    if (red) {
        w.setStatusColour(StatusColour::Red);
    }
    return 0;
}

}  // namespace

int BlankingCheck(WorkerState& w, int progressStart, int progressEnd) {
    return Scan(w, progressStart, progressEnd).run();
}

int WriteCfg(WorkerState& w, bool firmwareUpgrade) {
    const std::string writeCfgText = w.fixed(FixedText::WriteCfg);
    const std::string failText = w.message(MessageKey::FailMsg);
    const std::int64_t total = w.totalBlocks();
    const auto& info = w.FlashInfo;
    // What the work areas, the CFG's block numbers and the page map can carry.
    if (total < 1 || total > kMaxBlocks || w.pBlockMap.size() < static_cast<std::size_t>(total) ||
        info.iPageSize < 1 || info.iPageSize > kMaxPageSize || info.iPagesPerBlock < 1 ||
        info.iPagesPerBlock > kMaxPagesPerBlock) {
        return failCfg(w, writeCfgText + failText, false);
    }
    const auto blocks = static_cast<std::size_t>(total);
    const std::vector<std::uint8_t> zeroPage(CfgWorkArea::kCfgAreaSize, 0);
    if (!systemAreaFits(w)) {
        return 0;
    }
    if (!capacityRule(w)) {
        w.runFailed();
        return 0;
    }

    int retries = 0;
    for (;;) {
        if (retries > 0) {
            w.setStatus(writeCfgText + std::to_string(retries));
        }
        completeCfg(w, firmwareUpgrade, blocks);

        int written = 0;
        bool retry = false;
        for (std::size_t k = 0; k < blocks && written < 2; ++k) {
            if (w.pBlockMap[k] != kUsable) {
                continue;
            }
            const BlockWrite result = writeSystemBlock(w, static_cast<std::uint32_t>(k), zeroPage);
            if (result == BlockWrite::NoGoodPage) {
                return failCfg(w, "No good page" + failText, false);
            }
            if (result != BlockWrite::Done) {
                if (++retries >= 2) {
                    return failCfg(w, writeCfgText + failText, false);
                }
                // The block is given up; the next usable one takes its place.
                w.pBlockMap[k] = kUnusable;
                if (result == BlockWrite::WriteFailed) {
                    eraseBlock(w.transport, w.hDevice, static_cast<std::uint32_t>(k), 1);
                }
                retry = true;
                break;
            }
            ++written;
        }
        if (retry) {
            continue;
        }
        w.FlashInfo.iBadBlocks = static_cast<std::int32_t>(
            blocks - static_cast<std::size_t>(std::count(
                         w.pBlockMap.begin(),
                         w.pBlockMap.begin() + static_cast<std::ptrdiff_t>(blocks), kUsable)));
        if (w.bLogBiTable && w.bDegraded) {
            WriteBadBlockLog(w, cfgBadBlockLogName(w.iSlot));
        }
        if (written < 2) {
            return failCfg(w, "No Good block", true);
        }
        return 1;
    }
}

}  // namespace corvid
