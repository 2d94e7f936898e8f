#include "characterisation/flash_database.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

#include "characterisation/worker_state.h"
#include "platform/ascii_text.h"
#include "platform/ini_file.h"
#include "platform/registry_store.h"
#include "station/station_registry.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

// The geometry a stored CFG must give to be trusted, as powers of two: pages of 512..8192 bytes,
// 32..256 pages per block.
constexpr int kLog2MinStoredPageSize = 9;
constexpr int kLog2MaxStoredPageSize = 13;
constexpr int kLog2MinStoredPagesPerBlock = 5;
constexpr int kLog2MaxStoredPagesPerBlock = 8;

// Reads up to buffer.size() bytes from 'offset'; the count read, 0 when the file cannot be read.
std::size_t readFilePrefix(const std::filesystem::path& file, std::span<std::uint8_t> buffer,
                           std::size_t offset = 0) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return 0;
    }
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in) {
        return 0;
    }
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    return static_cast<std::size_t>(in.gcount());
}

// Description files in name order, so the choice between partial matches never depends on the
// order in which the file system lists them.
std::vector<std::filesystem::path> descriptionFiles(const std::filesystem::path& flashDir) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    std::filesystem::directory_iterator it(flashDir, error);
    if (error) {
        return files;
    }
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.front() == '.') {
            continue;  // hidden, "." and ".."
        }
        std::error_code statError;
        if (!entry.is_regular_file(statError)) {
            continue;
        }
        if (asciiLower(entry.path().extension().string()) != ".txt") {
            continue;
        }
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.filename() < b.filename(); });
    return files;
}

// Sizes from a CFG's log2 fields; 0 for an exponent that no flash has.
std::int64_t powerOfTwo(int exponent) {
    return exponent < 0 || exponent > 30 ? 0 : (std::int64_t{1} << exponent);
}

// The geometry and type fields common to both parsing routes. False when the CFG gives a page
// size, pages per block or blocks per chip the work areas cannot hold, or a flash type outside
// the ECC table.
bool parseGeometry(WorkerState& w) {
    const auto& b = w.Cfg.cfg;
    const std::int64_t blocksPerChip = powerOfTwo(b[cfg::kLog2BlocksPerChip]);
    const std::int64_t pageSize = powerOfTwo(b[cfg::kLog2PageSize]);
    const std::int64_t pagesPerBlock =
        powerOfTwo(int{b[cfg::kLog2BlockSize]} - int{b[cfg::kLog2PageSize]});
    if (blocksPerChip == 0 || blocksPerChip > kMaxBlocks || pageSize == 0 ||
        pageSize > kMaxPageSize || pagesPerBlock == 0 || pagesPerBlock > kMaxPagesPerBlock ||
        b[cfg::kFlashType] >= kEccTable.size()) {
        return false;
    }
    auto& info = w.FlashInfo;
    info.iBlocksPerChip = static_cast<std::int32_t>(blocksPerChip);
    info.iPageSize = static_cast<std::int32_t>(pageSize);
    info.iSectorSize = (b[cfg::kSectorFlags] & 0x01) != 0 ? 1024 : 512;
    info.iPagesPerBlock = static_cast<std::int32_t>(pagesPerBlock);
    w.iFlashType = b[cfg::kFlashType];
    info.iTypeEcc = kEccTable[w.iFlashType];
    return true;
}

struct DeviceCode {
    std::uint8_t deviceCode;
    std::uint8_t sizeCode;
    std::uint8_t blockCode;
    std::uint8_t pageCode;
};
// A block or page code of 0xFF: the code comes from the flash ID.
constexpr std::uint8_t kCodeFromId = 0xFF;
constexpr std::array<DeviceCode, 23> kDeviceCodes{{
    {0x35, 0x40, 0x00, 0x00}, {0x75, 0x40, 0x00, 0x00}, {0x36, 0x81, 0x00, 0x00},
    {0x76, 0x81, 0x00, 0x00}, {0x39, 0x82, 0x00, 0x00}, {0x79, 0x82, 0x00, 0x00},
    {0x78, 0x82, 0x00, 0x00}, {0x71, 0x83, 0x00, 0x00}, {0xA1, 0x52, 0x01, 0x01},
    {0xF1, 0x52, 0x01, 0x01}, {0xAA, 0x93, 0xFF, 0xFF}, {0xDA, 0x93, 0xFF, 0xFF},
    {0xAC, 0x94, 0xFF, 0xFF}, {0xDC, 0x94, 0xFF, 0xFF}, {0xA3, 0x95, 0xFF, 0xFF},
    {0xD3, 0x95, 0xFF, 0xFF}, {0xA5, 0x96, 0xFF, 0xFF}, {0xD5, 0x96, 0xFF, 0xFF},
    {0xA7, 0x97, 0xFF, 0xFF}, {0xD7, 0x97, 0xFF, 0xFF}, {0xA9, 0x98, 0xFF, 0xFF},
    {0xD9, 0x98, 0xFF, 0xFF}, {0x68, 0x97, 0xFF, 0xFF},
}};

constexpr std::array<std::uint8_t, cfg::kFixedTableLength> kFixedTable1{0x11, 0x01, 0x02, 0x04,
                                                                        0x04, 0x01, 0x00};
constexpr std::array<std::uint8_t, cfg::kFixedTableLength> kFixedTable2{0x33, 0x03, 0x06, 0x0C,
                                                                        0x0C, 0x03, 0x00};
constexpr char kCreatedSignature[] = "5V16";
constexpr std::uint8_t kCreatedSectorFlags = 0xA0;
constexpr std::uint8_t kMakerMicron = 0x2C;

void putBigEndian(std::span<std::uint8_t> bytes, std::size_t offset, std::uint64_t value,
                  std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
    }
}

}  // namespace

std::string findFlashFile(const std::filesystem::path& flashDir, const FlashIdBytes& id) {
    std::string partial;
    for (const auto& file : descriptionFiles(flashDir)) {
        std::array<std::uint8_t, 256> head{};
        if (readFilePrefix(file, head) < cfg::kMinimumFileSize) {
            continue;  // names no flash
        }
        const std::uint8_t* fileId = head.data() + cfg::kFlashId;
        const bool allZero = std::all_of(fileId, fileId + 5, [](std::uint8_t v) { return v == 0; });
        if (!allZero && std::equal(fileId, fileId + 5, id.begin())) {
            return file.filename().string();
        }
        const bool firstFourZero =
            std::all_of(fileId, fileId + 4, [](std::uint8_t v) { return v == 0; });
        if (partial.empty() && !firstFourZero && fileId[0] == id[0] && fileId[1] == id[1] &&
            fileId[2] == id[2] && (fileId[3] & 0x7F) == (id[3] & 0x7F)) {
            partial = file.filename().string();
        }
    }
    return partial.empty() ? std::string(kNoFlashFile) : partial;
}

std::string flashDisplayName(const std::filesystem::path& flashDir, const std::string& fileName,
                             int chips) {
    const IniFile ini(flashDir / "flash.ini");
    const std::string section = fileName.empty() ? std::string(kDefaultFlashName) : fileName;
    std::string name = ini.readString(section, std::to_string(chips));
    if (!name.empty()) {
        return name;
    }
    name = ini.readString(section, "1");
    if (!name.empty()) {
        return name + " x " + std::to_string(chips);
    }
    return kDefaultFlashName;
}

std::string lookUpFlashFile(WorkerState& w) {
    const std::string name = findFlashFile(w.flashDir(), flashIdBytes(w.FlashInfo));
    w.FlashInfo.sFlashName = flashDisplayName(w.flashDir(), name, w.FlashInfo.iChips);
    return name;
}

std::string readEmbeddedName(const std::filesystem::path& file) {
    std::array<std::uint8_t, cfg::kFlashNameLength> raw{};
    const std::size_t got = readFilePrefix(file, raw, cfg::kFlashName);
    const auto end = std::find(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(got), 0);
    std::string name(raw.begin(), end);
    return name.empty() ? std::string(kDefaultFlashName) : name;
}

bool parseFlashFile(WorkerState& w, const std::filesystem::path& file) {
    auto head = std::span(w.Cfg.cfg).first(cfg::kSize);
    std::fill(head.begin(), head.end(), 0);
    if (readFilePrefix(file, head) < cfg::kMinimumFileSize) {
        return false;
    }
    if (!parseGeometry(w)) {
        return false;
    }
    const int eccLevel = w.seams.settings.record.iEccLevel;
    w.FlashInfo.iPermitEcc = eccLevel != 0 ? eccLevel - 1 : 2;
    applyBlocksPerChipOverride(w);
    return true;
}

bool createCfg(WorkerState& w) {
    return buildCfgFromId(flashIdBytes(w.FlashInfo), w.FlashInfo.iChips, w.Cfg.cfg);
}

bool buildCfgFromId(const FlashIdBytes& id, int chips, std::span<std::uint8_t> area) {
    if (area.size() < cfg::kSize) {
        return false;
    }
    const auto row = std::find_if(kDeviceCodes.begin(), kDeviceCodes.end(),
                                  [&](const DeviceCode& c) { return c.deviceCode == id[1]; });
    if (row == kDeviceCodes.end()) {
        return false;
    }
    const auto pageCode =
        static_cast<std::uint8_t>(row->pageCode == kCodeFromId ? (id[3] & 3) : row->pageCode);
    const auto blockCode = static_cast<std::uint8_t>(
        row->blockCode == kCodeFromId ? ((id[3] >> 4) & 3) + 1 - pageCode : row->blockCode);
    const int log2Chip = (row->sizeCode & 0x0F) + 25;
    const int log2Page = pageCode == 0 ? 9 : pageCode + 10;
    const int log2Block = log2Page + blockCode + 5;
    // A block code that wrapped below zero, or a chip smaller than a block, describes no flash.
    if (log2Block > log2Chip) {
        return false;
    }
    const int log2PagesPerBlock = log2Block - log2Page;
    const int log2BlocksPerChip = log2Chip - log2Block;

    const std::span<std::uint8_t> b = area;
    std::fill(area.begin(), area.end(), std::uint8_t{0});
    for (std::size_t i = 0; i < cfg::kSignatureLength; i += 4) {
        std::memcpy(&b[cfg::kSignature + i], kCreatedSignature, 4);
    }
    std::fill_n(&b[cfg::kSectorFlags], cfg::kSectorFlagsLength, kCreatedSectorFlags);
    b[cfg::kChips] = static_cast<std::uint8_t>(chips);
    b[cfg::kLog2SectorSize] = 9;
    b[cfg::kLog2PageSize] = static_cast<std::uint8_t>(log2Page);
    b[cfg::kLog2BlockSize] = static_cast<std::uint8_t>(log2Block);
    b[cfg::kLog2ChipSize] = static_cast<std::uint8_t>(log2Chip);
    b[cfg::kLog2PagesPerBlock] = static_cast<std::uint8_t>(log2PagesPerBlock);
    putBigEndian(b, cfg::kBlocksPerChipMinus1, (std::uint64_t{1} << log2BlocksPerChip) - 1, 2);
    b[cfg::kLog2BlocksPerChip] = static_cast<std::uint8_t>(log2BlocksPerChip);
    putBigEndian(b, cfg::kPagesPerChipMinus1, (std::uint64_t{1} << (log2Chip - log2Page)) - 1, 4);
    b[cfg::kLargePage] = log2Page >= 13 ? 1 : 0;
    b[cfg::kFlashType] = 0;
    b[cfg::kFixed97] = 0x60;
    b[cfg::kFixed98] = 6;
    const int e = log2Page == 12 ? 2 : log2Page == 13 ? 3 : 1;
    b[cfg::kPageBlockCode] = static_cast<std::uint8_t>(log2PagesPerBlock > 5 ? e - 4 : e + 124);
    b[cfg::kPageGroupsMinus1] =
        static_cast<std::uint8_t>((1u << std::max(log2PagesPerBlock - 6, 0)) - 1);
    b[cfg::kSectorsPerPage] = static_cast<std::uint8_t>(1u << (log2Page - 9));
    std::copy(kFixedTable1.begin(), kFixedTable1.end(), &b[cfg::kFixedTable1]);
    std::copy(kFixedTable2.begin(), kFixedTable2.end(), &b[cfg::kFixedTable2]);
    const bool multiLevelCells = (id[2] & 0x0C) != 0;
    b[cfg::kCellCode] = multiLevelCells ? (id[0] == kMakerMicron && log2Page == 12 ? 0 : 3) : 2;
    b[cfg::kFixed117] = 2;
    b[cfg::kFixed126] = 1;
    std::copy(id.begin(), id.end(), &b[cfg::kFlashId]);
    b[cfg::kPageMapPresent] = 0;
    cfg::storeChecksum(b);
    return true;
}

bool checkAndParseCfg(WorkerState& w) {
    const auto& b = w.Cfg.cfg;
    if (!cfg::hasSignature(b)) {
        return false;
    }
    if (!parseGeometry(w)) {
        return false;
    }
    auto& info = w.FlashInfo;
    const int eccLevel = w.seams.settings.record.iEccLevel;
    info.iPermitEcc = eccLevel != 0 ? eccLevel - 1 : info.iTypeEcc;
    if (info.iPageSize < 512 || info.iPageSize > 8192 || info.iPagesPerBlock < 32 ||
        info.iPagesPerBlock > 128) {
        return false;
    }
    if (b[cfg::kPageMapPresent] != 0) {
        w.bPageMapValid = 1;
        const auto bits = std::span(b).subspan(cfg::kPageMapBits, cfg::kPageMapBitsLength);
        for (int p = 0; p < info.iPagesPerBlock; ++p) {
            w.PageMap[static_cast<std::size_t>(p)] =
                bitmapBit(bits, static_cast<std::size_t>(p)) ? kUnusable : kUsable;
        }
    } else {
        w.bPageMapValid = 0;
    }
    applyBlocksPerChipOverride(w);
    return true;
}

bool takeStoredCfg(WorkerState& w, bool read) {
    const auto& stored = w.StoredCfg;
    const int log2Page = stored[cfg::kLog2PageSize];
    const int log2PagesPerBlock = stored[cfg::kLog2BlockSize] - log2Page;
    const bool valid = read && cfg::hasStoredSignature(stored) &&
                       log2Page >= kLog2MinStoredPageSize && log2Page <= kLog2MaxStoredPageSize &&
                       log2PagesPerBlock >= kLog2MinStoredPagesPerBlock &&
                       log2PagesPerBlock <= kLog2MaxStoredPagesPerBlock;
    w.bStoredCfgValid = valid ? 1 : 0;
    w.bStoredPageMap = 0;
    if (valid) {
        w.iStoredFlashType = stored[cfg::kFlashType];
        if (stored[cfg::kPageMapPresent] != 0) {
            w.bStoredPageMap = 1;
            const auto bits = std::span(stored).subspan(cfg::kPageMapBits, cfg::kPageMapBitsLength);
            const auto pages =
                std::min(static_cast<std::size_t>(std::max(w.FlashInfo.iPagesPerBlock, 0)),
                         cfg::kPageMapBitsLength * 8);
            for (std::size_t p = 0; p < pages; ++p) {
                w.PageMap[p] = bitmapBit(bits, p) ? kUnusable : kUsable;
            }
        }
    }
    w.bPageMapValid = w.bStoredPageMap;
    return valid;
}

bool takeStoredBlockMap(WorkerState& w, std::size_t& bad) {
    const auto total = w.pBlockMap.size();
    if (!readBlockMap(w.transport, w.hDevice, std::span(w.Cfg.bitmap.data(), total / 8))) {
        return false;
    }
    bad = 0;
    for (std::size_t block = 0; block < total; ++block) {
        w.pBlockMap[block] = bitmapBit(w.Cfg.bitmap, block) ? kUsable : kUnusable;
        bad += w.pBlockMap[block] == kUnusable ? 1 : 0;
    }
    return true;
}

void applyBlocksPerChipOverride(WorkerState& w) {
    const int blocks = w.seams.registry.readInt(kToolRegistryKey, "BlocksPerChip", 0);
    // Values the block map and the CFG cannot carry are not an override.
    if (blocks > 0 && blocks <= kMaxBlocks) {
        w.bFixedBlocks = 1;
        w.FlashInfo.iBlocksPerChip = blocks;
    } else {
        w.bFixedBlocks = 0;
    }
}

}  // namespace corvid
