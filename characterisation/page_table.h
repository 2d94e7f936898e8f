#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corvid {

class WorkerState;

// Page modes of the special (page) scan.
inline constexpr int kPageModeAllPages = 6;
inline constexpr int kPageModeAutoDetection = 7;

// Fills 'table' (its size is the pages per block) with the fixed page table of 'mode' 0..6:
// 0xFF for a used page, 0x00 for a skipped one. Returns 1, or 0 with an all-skipped table for
// any other mode.
int BuildPageTable(std::span<std::uint8_t> table, int mode);

// Judges blocks against page tables from the per-page results of a blanking check and picks the
// page table that leaves the disk the most usable pages.
class CMyPage {
  public:
    struct PageEntry {
        std::uint32_t page = 0;
        std::uint32_t count = 0;  // blocks in which the page passes
    };
    static constexpr std::uint32_t kMaxPagesPerBlock = 1024;

    // Copies blocks x pagesPerBlock result bytes; row b holds the results of block b.
    CMyPage(std::uint32_t blocks, std::uint32_t pagesPerBlock, std::uint32_t permitEcc,
            std::span<const std::uint8_t> results);
    virtual ~CMyPage();
    CMyPage(const CMyPage&) = delete;
    CMyPage& operator=(const CMyPage&) = delete;

    // table := 0x00 everywhere, then 0xFF for the pages of the first n list entries.
    void SelectPages(std::span<const PageEntry> list, std::uint32_t n,
                     std::span<std::uint8_t> table) const;
    // verdicts[b] := 0xFF when every page the table uses passes in block b, else 0x00.
    void JudgeBlocks(std::span<const std::uint8_t> table, std::span<std::uint8_t> verdicts) const;
    // The blocks with verdict 0xFF, times n.
    std::uint32_t UsableCapacity(std::span<const std::uint8_t> verdicts, std::uint32_t n) const;
    // Fills the table with the best of eight candidate page choices; all 0x00 when none scores.
    void ChoosePages(std::span<std::uint8_t> table) const;

    bool passes(std::uint8_t result) const;

  private:
    std::vector<PageEntry> orderedList(bool pageOneFirst) const;

    std::uint32_t blocks_;
    std::uint32_t pagesPerBlock_;
    std::uint32_t permitEcc_;
    std::vector<std::uint8_t> results_;
};

// "Auto Detection": samples 16 blocks with every fixed table and returns the page mode 0..5 that
// keeps the most good blocks, or -1 when a command fails, the flash has fewer than 16 blocks or
// more than 256 pages per block, or no mode scores.
int DetectPageMode(WorkerState& w);

}  // namespace corvid
