#include "devsim/profile.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <iterator>
#include <random>
#include <sstream>
#include <string_view>
#include <type_traits>

#include "platform/ascii_text.h"
#include "platform/ini_file.h"

namespace corvid::devsim {

namespace {

// Device codes of NAND flash: chip size as log2 of bytes, and whether the chip has small
// (512-byte) pages; large-page chips give page and block size in ID byte 3.
struct DeviceCode {
    std::uint8_t code;
    std::uint8_t log2ChipBytes;
    bool smallPage;
};

constexpr DeviceCode kDeviceCodes[] = {
    {0x35, 25, true},  {0x75, 25, true},  {0x36, 26, true},  {0x76, 26, true},  {0x39, 27, true},
    {0x79, 27, true},  {0x78, 27, true},  {0x71, 28, true},  {0xA1, 27, false}, {0xF1, 27, false},
    {0xAA, 28, false}, {0xDA, 28, false}, {0xAC, 29, false}, {0xDC, 29, false}, {0xA3, 30, false},
    {0xD3, 30, false}, {0xA5, 31, false}, {0xD5, 31, false}, {0xA7, 32, false}, {0xD7, 32, false},
    {0xA9, 33, false}, {0xD9, 33, false}, {0x68, 32, false},
};

constexpr std::uint32_t kMaxTotalBlocks = 65536;      // 16-bit block numbers in the CFG
constexpr std::uint32_t kMaxSerialFlash = 16u << 20;  // 16-bit unit numbers of 256 bytes

const char* variantName(InquiryVariant variant) {
    switch (variant) {
        case InquiryVariant::G:
            return "G";
        case InquiryVariant::V16_1:
            return "16.1";
        case InquiryVariant::V16_2:
            return "16.2";
        case InquiryVariant::Foreign:
            return "foreign";
    }
    return "G";
}

DeviceProfile nandProfile(std::string name, std::string description, FlashIdBytes id,
                          std::uint32_t chips) {
    DeviceProfile profile;
    profile.name = std::move(name);
    profile.description = std::move(description);
    profile.flashId = id;
    profile.chips = chips;
    profile.geometry = *geometryFromFlashId(id);
    profile.badBlocks.resize(chips);
    profile.vendor = "Generic";
    profile.product = "USB Flash Disk";
    profile.revision = "1.00";
    return profile;
}

std::vector<DeviceProfile> makeBuiltins() {
    const FlashIdBytes k2k{0xEC, 0xDA, 0x10, 0x95, 0x44};
    std::vector<DeviceProfile> list;

    auto p = nandProfile("nand-2k", "one 256 MiB NAND chip, 2 KiB pages, 3 bad blocks", k2k, 1);
    p.badBlocks[0].blocks = {5, 700, 1500};
    list.push_back(p);

    p = nandProfile("nand-512", "one 32 MiB small-page NAND chip (512-byte pages), 2 bad blocks",
                    {0xEC, 0x75, 0x00, 0x00, 0x00}, 1);
    p.badBlocks[0].blocks = {3, 1000};
    p.inquiry = InquiryVariant::V16_1;
    list.push_back(p);

    p = nandProfile("nand-2chip", "two 256 MiB NAND chips, 2 KiB pages, 3 bad blocks", k2k, 2);
    p.badBlocks[0].blocks = {9};
    p.badBlocks[1].blocks = {1, 2047};
    p.inquiry = InquiryVariant::V16_2;
    list.push_back(p);

    p = nandProfile("nand-bad", "one 256 MiB NAND chip with about a quarter of its blocks bad", k2k,
                    1);
    p.badBlocks[0].ratePercent = 25;
    p.seed = 7;
    list.push_back(p);

    p = nandProfile("nand-weak",
                    "one 256 MiB NAND chip whose odd pages fail ECC: needs the page mode (even "
                    "pages)",
                    k2k, 1);
    p.weakPages = {{0, 2047, 0, 63, WeakPages::Parity::Odd, 0xF0},
                   {100, 109, 0, 63, WeakPages::Parity::Even, 0xFC}};
    p.badBlocks[0].blocks = {12};
    list.push_back(p);

    p = nandProfile("nand-4k", "one 4 GiB NAND chip, 4 KiB pages, 128 pages per block, 1% bad",
                    {0xEC, 0xD7, 0x94, 0xB6, 0x74}, 1);
    p.badBlocks[0].ratePercent = 1;
    p.seed = 3;
    list.push_back(p);

    p = nandProfile("needs-reset",
                    "nand-2k that answers the chip name 5V16 until it is reset, then leaves and "
                    "comes back",
                    k2k, 1);
    p.badBlocks[0].blocks = {5, 700, 1500};
    p.needsReset = true;
    list.push_back(p);

    DeviceProfile spi;
    spi.name = "spi";
    spi.description = "an MP3 player with 2 MiB of serial (SPI) flash and no NAND flash";
    spi.flashId = kSerialFlashId;
    spi.chips = 1;
    spi.serialFlashSize = 2u << 20;
    spi.vendor = "Generic";
    spi.product = "MP3 Player";
    spi.revision = "1.00";
    list.push_back(spi);

    DeviceProfile foreign;
    foreign.name = "foreign";
    foreign.description = "an ordinary 64 MiB USB disk of another make: fails the inquiry";
    foreign.inquiry = InquiryVariant::Foreign;
    foreign.vendor = "OtherCo";
    foreign.product = "Pocket Drive";
    foreign.revision = "2.10";
    foreign.foreignDiskMiB = 64;
    list.push_back(foreign);
    return list;
}

const std::vector<DeviceProfile>& builtins() {
    static const std::vector<DeviceProfile> list = makeBuiltins();
    return list;
}

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream stream(text);
    while (std::getline(stream, part, separator)) {
        parts.push_back(trim(part));
    }
    return parts;
}

// Reads one profile file; every error names the file and the key.
class ProfileReader {
  public:
    explicit ProfileReader(const std::filesystem::path& path) : path_(path), ini_(path) {}

    [[noreturn]] void fail(const std::string& key, const std::string& why) const {
        throw ProfileError("Profile file " + path_.string() + ": " + key + " " + why + ".");
    }

    bool has(const std::string& section, const std::string& key) const {
        return !ini_.readString(section, key).empty();
    }
    std::string text(const std::string& section, const std::string& key) const {
        return trim(ini_.readString(section, key));
    }

    std::uint64_t number(const std::string& section, const std::string& key,
                         std::uint64_t max) const {
        return parseNumber(text(section, key), section + "/" + key, max);
    }

    std::uint64_t parseNumber(const std::string& value, const std::string& what, std::uint64_t max,
                              int base = 10) const {
        std::string digits = value;
        std::uint64_t scale = 1;
        if (digits.size() > 2 && (digits.starts_with("0x") || digits.starts_with("0X"))) {
            digits = digits.substr(2);
            base = 16;
        } else if (base == 10 && !digits.empty()) {
            const char last = asciiUpper(digits.back());
            if (last == 'K' || last == 'M' || last == 'G') {
                scale = last == 'K' ? 1024u : last == 'M' ? 1024u * 1024u : 1024u * 1024u * 1024u;
                digits.pop_back();
            }
        }
        std::uint64_t result = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), result, base);
        if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() ||
            result > max / scale) {
            fail(what, "has the value \"" + value + "\", which is not a number from 0 to " +
                           std::to_string(max));
        }
        return result * scale;
    }

    const IniFile& ini() const { return ini_; }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    IniFile ini_;
};

// "5, 700, 1000-1003"
std::vector<std::uint32_t> parseBlockList(const ProfileReader& reader, const std::string& value,
                                          const std::string& what) {
    std::vector<std::uint32_t> blocks;
    for (const std::string& item : split(value, ',')) {
        if (item.empty()) {
            continue;
        }
        const auto dash = item.find('-');
        const auto first = reader.parseNumber(trim(item.substr(0, dash)), what, kMaxTotalBlocks);
        const auto last =
            dash == std::string::npos
                ? first
                : reader.parseNumber(trim(item.substr(dash + 1)), what, kMaxTotalBlocks);
        if (last < first) {
            reader.fail(what, "has the range \"" + item + "\", which runs backwards");
        }
        for (auto b = first; b <= last; ++b) {
            blocks.push_back(static_cast<std::uint32_t>(b));
        }
    }
    return blocks;
}

// "BLOCKS:PAGES:RESULT, ..." with BLOCKS "*", "n" or "n-m", PAGES also "even" or "odd", and
// RESULT a hexadecimal byte.
std::vector<WeakPages> parseWeakPages(const ProfileReader& reader, const std::string& value,
                                      const DeviceProfile& profile) {
    const std::string what = "device/weak-pages";
    std::vector<WeakPages> list;
    for (const std::string& item : split(value, ',')) {
        if (item.empty()) {
            continue;
        }
        const auto fields = split(item, ':');
        if (fields.size() != 3) {
            reader.fail(what, "has the item \"" + item + "\", which is not BLOCKS:PAGES:RESULT");
        }
        WeakPages weak;
        auto range = [&](const std::string& field, std::uint32_t count, std::uint32_t& first,
                         std::uint32_t& last) {
            if (field == "*") {
                first = 0;
                last = count - 1;
                return;
            }
            const auto dash = field.find('-');
            first = static_cast<std::uint32_t>(
                reader.parseNumber(trim(field.substr(0, dash)), what, count - 1));
            last = dash == std::string::npos ? first
                                             : static_cast<std::uint32_t>(reader.parseNumber(
                                                   trim(field.substr(dash + 1)), what, count - 1));
            if (last < first) {
                reader.fail(what, "has the range \"" + field + "\", which runs backwards");
            }
        };
        range(fields[0], profile.totalBlocks(), weak.firstBlock, weak.lastBlock);
        const std::string pages = asciiLower(fields[1]);
        if (pages == "even" || pages == "odd") {
            weak.parity = pages == "even" ? WeakPages::Parity::Even : WeakPages::Parity::Odd;
            weak.firstPage = 0;
            weak.lastPage = profile.geometry.pagesPerBlock - 1;
        } else {
            range(pages, profile.geometry.pagesPerBlock, weak.firstPage, weak.lastPage);
        }
        weak.result = static_cast<std::uint8_t>(reader.parseNumber(fields[2], what, 0xFF, 16));
        list.push_back(weak);
    }
    return list;
}

std::string blockListText(const std::vector<std::uint32_t>& blocks) {
    std::string text;
    for (const auto b : blocks) {
        text += (text.empty() ? "" : ", ") + std::to_string(b);
    }
    return text;
}

std::string hexByte(std::uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof(text), "%02X", value);
    return text;
}

// --- The profile keys ----------------------------------------------------------------------

using P = DeviceProfile;

// The [device] section, or each [chipN] section of a NAND device.
enum class ProfileSection { Device, Chip };

// The devices a key describes: only their profiles write the key and are checked against its
// limits. Read-only keys are never written: the base, and the device-wide bad-block keys, which
// a written profile gives per chip.
enum class KeyFor { Every, NotForeign, Nand, Serial, Foreign, ReadOnly };

// Keys that name blocks and pages are read once the keys that make the geometry have been.
enum class ProfileStage { Geometry, Flaws };

enum class NumberRule { Range, PowerOfTwo, Multiple };

struct NumberLimits {
    std::uint64_t min = 0;
    std::uint64_t max = 0;
    NumberRule rule = NumberRule::Range;
    std::uint64_t step = 1;  // NumberRule::Multiple
    bool bytes = false;      // limits shown as 64K, 16M
    bool fraction = false;   // a percentage such as 0.5
};

// One key being read from a profile file.
struct ProfileLoad {
    const ProfileReader& reader;
    DeviceProfile& profile;
    std::string where;       // "device/flash-id", "chip1/bad-blocks"
    std::uint32_t chip = 0;  // for a key of a [chipN] section

    [[noreturn]] void fail(const std::string& why) const { reader.fail(where, why); }
    bool nand() const { return !profile.isSerialFlash() && !profile.isForeign(); }
};

// One key of a profile file: the single description that reading, writing, the key check and
// validation use. A number has limits and 'number' / 'setNumber'; a text or a list has 'text' /
// 'setText'. The getters are null for read-only keys.
struct ProfileKey {
    ProfileSection section;
    std::string_view key;
    KeyFor keyFor;
    ProfileStage stage;
    std::string_view meaning;
    NumberLimits limits;
    double (*number)(const DeviceProfile& profile, std::uint32_t chip) = nullptr;
    void (*setNumber)(ProfileLoad& load, double value) = nullptr;
    std::string (*text)(const DeviceProfile& profile, std::uint32_t chip) = nullptr;
    void (*setText)(ProfileLoad& load, const std::string& value) = nullptr;
};

// A number held by the profile at the end of the member pointers 'Path'.
template <auto... Path>
constexpr ProfileKey numberKey(std::string_view key, KeyFor keyFor, std::string_view meaning,
                               NumberLimits limits) {
    ProfileKey row{ProfileSection::Device, key, keyFor, ProfileStage::Geometry, meaning, limits};
    row.number = [](const P& p, std::uint32_t) { return static_cast<double>((p.*....*Path)); };
    row.setNumber = [](ProfileLoad& load, double value) {
        auto& member = (load.profile.*....*Path);
        member = static_cast<std::remove_reference_t<decltype(member)>>(value);
    };
    return row;
}

template <std::string P::*Member>
constexpr ProfileKey textKey(std::string_view key, std::string_view meaning) {
    ProfileKey row{ProfileSection::Device, key, KeyFor::Every, ProfileStage::Geometry, meaning, {}};
    row.text = [](const P& p, std::uint32_t) { return p.*Member; };
    row.setText = [](ProfileLoad& load, const std::string& value) { load.profile.*Member = value; };
    return row;
}

constexpr ProfileKey customKey(ProfileSection section, std::string_view key, KeyFor keyFor,
                               ProfileStage stage, std::string_view meaning,
                               std::string (*text)(const P&, std::uint32_t),
                               void (*setText)(ProfileLoad&, const std::string&)) {
    ProfileKey row{section, key, keyFor, stage, meaning, {}};
    row.text = text;
    row.setText = setText;
    return row;
}

constexpr ProfileKey percentKey(ProfileSection section, std::string_view key, KeyFor keyFor,
                                std::string_view meaning, double (*number)(const P&, std::uint32_t),
                                void (*setNumber)(ProfileLoad&, double)) {
    ProfileKey row{
        section, key, keyFor, ProfileStage::Flaws, meaning, {.max = 100, .fraction = true}};
    row.number = number;
    row.setNumber = setNumber;
    return row;
}

void readBase(ProfileLoad& load, const std::string& base) {
    const auto found = std::find_if(builtins().begin(), builtins().end(),
                                    [&](const auto& p) { return p.name == base; });
    if (found == builtins().end()) {
        load.fail("names \"" + base + "\", which is not a built-in profile");
    }
    // The file's own name and description stay, whatever the base is called.
    DeviceProfile profile = *found;
    profile.name = std::move(load.profile.name);
    profile.description = std::move(load.profile.description);
    load.profile = std::move(profile);
}

void readInquiry(ProfileLoad& load, const std::string& value) {
    for (const InquiryVariant variant : {InquiryVariant::G, InquiryVariant::V16_1,
                                         InquiryVariant::V16_2, InquiryVariant::Foreign}) {
        if (asciiLower(value) == asciiLower(variantName(variant))) {
            load.profile.inquiry = variant;
            return;
        }
    }
    load.fail("must be G, 16.1, 16.2 or foreign");
}

std::string flashIdBytes(const P& p, std::uint32_t) {
    std::string text;
    for (const auto b : p.flashId) {
        text += (text.empty() ? "" : " ") + hexByte(b);
    }
    return text;
}

// A known NAND ID brings its geometry, which later keys may change.
void readFlashId(ProfileLoad& load, const std::string& value) {
    std::string hex;
    for (const char c : value) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            hex += c;
        }
    }
    if (hex.size() != 10) {
        load.fail("must be five hexadecimal bytes, e.g. EC DA 10 95 44");
    }
    for (std::size_t i = 0; i < 5; ++i) {
        load.profile.flashId[i] = static_cast<std::uint8_t>(
            load.reader.parseNumber(hex.substr(2 * i, 2), load.where, 0xFF, 16));
    }
    if (!load.profile.isSerialFlash()) {
        if (auto geometry = geometryFromFlashId(load.profile.flashId)) {
            load.profile.geometry = *geometry;
        }
    }
}

void readDeviceBadBlocks(ProfileLoad& load, const std::string& value) {
    if (!load.nand()) {
        return;
    }
    DeviceProfile& p = load.profile;
    for (auto& list : p.badBlocks) {
        list.blocks.clear();
    }
    for (const auto b : parseBlockList(load.reader, value, load.where)) {
        if (b >= p.totalBlocks()) {
            load.fail("names block " + std::to_string(b) + ", beyond the last block " +
                      std::to_string(p.totalBlocks() - 1));
        }
        p.badBlocks[b / p.geometry.blocksPerChip].blocks.push_back(b % p.geometry.blocksPerChip);
    }
}

std::string weakPagesText(const P& p, std::uint32_t) {
    std::string text;
    for (const WeakPages& w : p.weakPages) {
        std::string pages = std::to_string(w.firstPage) + "-" + std::to_string(w.lastPage);
        if (w.parity != WeakPages::Parity::Any) {
            pages = w.parity == WeakPages::Parity::Even ? "even" : "odd";
        }
        text += (text.empty() ? "" : ", ") + std::to_string(w.firstBlock) + "-" +
                std::to_string(w.lastBlock) + ":" + pages + ":" + hexByte(w.result);
    }
    return text;
}

void readChipBadBlocks(ProfileLoad& load, const std::string& value) {
    ChipBadBlocks& chip = load.profile.badBlocks[load.chip];
    chip.blocks = parseBlockList(load.reader, value, load.where);
    for (const auto b : chip.blocks) {
        if (b >= load.profile.geometry.blocksPerChip) {
            load.fail("names block " + std::to_string(b) + ", beyond the chip's last block");
        }
    }
}

constexpr ProfileSection kDevice = ProfileSection::Device;
constexpr ProfileSection kChip = ProfileSection::Chip;
constexpr ProfileStage kFlaws = ProfileStage::Flaws;
using G = NandGeometry;

// Every key of a profile file, in the order a written profile holds them; they are read in this
// order too, the geometry stage first. A new key is one row here.
constexpr ProfileKey kProfileKeys[] = {
    customKey(kDevice, "base", KeyFor::ReadOnly, ProfileStage::Geometry,
              "a built-in profile to start from; the other keys change it", nullptr, readBase),
    textKey<&P::name>("name", "the profile's name (default: the file's name)"),
    textKey<&P::description>("description", "one line about the device"),
    customKey(
        kDevice, "inquiry", KeyFor::Every, ProfileStage::Geometry,
        "the INQUIRY answer: G, 16.1 or 16.2 (a ZQL5Vxx), or foreign (a disk of another make)",
        [](const P& p, std::uint32_t) { return std::string(variantName(p.inquiry)); }, readInquiry),
    textKey<&P::vendor>("vendor", "INQUIRY vendor text"),
    textKey<&P::product>("product", "INQUIRY product text"),
    textKey<&P::revision>("revision", "INQUIRY revision text"),
    numberKey<&P::foreignDiskMiB>("disk-size-mb", KeyFor::Foreign,
                                  "the disk of a foreign device, in MiB", {.min = 1, .max = 65536}),
    customKey(kDevice, "flash-id", KeyFor::NotForeign, ProfileStage::Geometry,
              "five hexadecimal bytes; FF 00 FF 00 FF is serial flash, a known NAND ID brings "
              "its geometry",
              flashIdBytes, readFlashId),
    numberKey<&P::chips>("chips", KeyFor::NotForeign, "flash chips", {.min = 1, .max = 16}),
    numberKey<&P::needsReset>("needs-reset", KeyFor::NotForeign,
                              "1: answers the chip name 5V16 until it is reset", {.max = 1}),
    numberKey<&P::port>("port", KeyFor::NotForeign, "the port number the device reports",
                        {.max = 127}),
    numberKey<&P::unreadableDisk>("unreadable-disk", KeyFor::Nand,
                                  "1: the disk shown after Start Disk cannot be read or written "
                                  "(a failing format)",
                                  {.max = 1}),
    numberKey<&P::serialFlashSize>("serial-flash-size", KeyFor::Serial, "bytes of serial flash",
                                   {.min = 64 * 1024,
                                    .max = kMaxSerialFlash,
                                    .rule = NumberRule::Multiple,
                                    .step = 64 * 1024,
                                    .bytes = true}),
    numberKey<&P::geometry, &G::pageSize>(
        "page-size", KeyFor::Nand, "bytes per NAND page",
        {.min = 512, .max = 16384, .rule = NumberRule::PowerOfTwo}),
    numberKey<&P::geometry, &G::pagesPerBlock>(
        "pages-per-block", KeyFor::Nand, "pages per block",
        {.min = 16, .max = 512, .rule = NumberRule::PowerOfTwo}),
    numberKey<&P::geometry, &G::blocksPerChip>(
        "blocks-per-chip", KeyFor::Nand, "blocks per chip",
        {.min = 8, .max = kMaxTotalBlocks, .rule = NumberRule::Multiple, .step = 8}),
    numberKey<&P::seed>("seed", KeyFor::Nand, "seed of the bad blocks drawn by bad-block-rate",
                        {.max = 0xFFFFFFFFu}),
    customKey(kDevice, "bad-blocks", KeyFor::ReadOnly, kFlaws,
              "bad blocks by number over all chips: 5, 700, 1000-1003", nullptr,
              readDeviceBadBlocks),
    percentKey(kDevice, "bad-block-rate", KeyFor::ReadOnly,
               "percent of further blocks bad in every chip, drawn from the seed", nullptr,
               [](ProfileLoad& load, double percent) {
                   for (auto& list : load.profile.badBlocks) {
                       list.ratePercent = percent;
                   }
               }),
    customKey(kDevice, "weak-pages", KeyFor::Nand, kFlaws,
              "pages that need ECC, BLOCKS:PAGES:RESULT, ...: blocks *, n or n-m, pages also even "
              "or odd, the page result in hexadecimal",
              weakPagesText,
              [](ProfileLoad& load, const std::string& value) {
                  load.profile.weakPages = parseWeakPages(load.reader, value, load.profile);
              }),
    customKey(
        kChip, "bad-blocks", KeyFor::Nand, kFlaws, "bad blocks of the chip: 5, 700, 1000-1003",
        [](const P& p, std::uint32_t chip) { return blockListText(p.badBlocks[chip].blocks); },
        readChipBadBlocks),
    percentKey(
        kChip, "bad-block-rate", KeyFor::Nand,
        "percent of further blocks bad in the chip, drawn from the seed",
        [](const P& p, std::uint32_t chip) { return p.badBlocks[chip].ratePercent; },
        [](ProfileLoad& load, double percent) {
            load.profile.badBlocks[load.chip].ratePercent = percent;
        }),
};

// Each key once per section; each reads one way, and a key that is written can be.
constexpr bool profileKeysAreWhole() {
    for (std::size_t i = 0; i < std::size(kProfileKeys); ++i) {
        const ProfileKey& key = kProfileKeys[i];
        if ((key.setText == nullptr) == (key.setNumber == nullptr) || key.meaning.empty()) {
            return false;
        }
        const bool getter = key.setText != nullptr ? key.text != nullptr : key.number != nullptr;
        if (key.keyFor != KeyFor::ReadOnly && !getter) {
            return false;
        }
        for (std::size_t j = i + 1; j < std::size(kProfileKeys); ++j) {
            if (kProfileKeys[j].section == key.section && kProfileKeys[j].key == key.key) {
                return false;
            }
        }
    }
    return true;
}
static_assert(profileKeysAreWhole(), "a profile key is twice in its section or half described");

bool describes(KeyFor keyFor, const DeviceProfile& profile) {
    const bool nand = !profile.isSerialFlash() && !profile.isForeign();
    switch (keyFor) {
        case KeyFor::Every:
            return true;
        case KeyFor::NotForeign:
            return !profile.isForeign();
        case KeyFor::Nand:
            return nand;
        case KeyFor::Serial:
            return profile.isSerialFlash() && !profile.isForeign();
        case KeyFor::Foreign:
            return profile.isForeign();
        case KeyFor::ReadOnly:
            break;
    }
    return false;
}

std::string sectionName(ProfileSection section, std::uint32_t chip) {
    return section == kDevice ? "device" : "chip" + std::to_string(chip);
}

// The sections a profile holds the key in: [device] once, [chipN] per chip of a NAND device.
std::uint32_t sectionCount(const ProfileKey& key, const DeviceProfile& profile) {
    return key.section == kDevice ? 1u : static_cast<std::uint32_t>(profile.badBlocks.size());
}

std::string numberText(double value) {
    char text[32];
    const auto [end, error] = std::to_chars(std::begin(text), std::end(text), value);
    return error == std::errc{} ? std::string(text, end) : std::string("?");
}

std::string limitText(std::uint64_t value, bool bytes) {
    if (bytes && value >= 1024 * 1024 && value % (1024 * 1024) == 0) {
        return std::to_string(value / (1024 * 1024)) + "M";
    }
    if (bytes && value >= 1024 && value % 1024 == 0) {
        return std::to_string(value / 1024) + "K";
    }
    return std::to_string(value);
}

// "a power of two from 512 to 16384"
std::string limitsText(const NumberLimits& limits) {
    std::string rule;
    if (limits.rule == NumberRule::PowerOfTwo) {
        rule = "a power of two ";
    } else if (limits.rule == NumberRule::Multiple) {
        rule = "a multiple of " + limitText(limits.step, limits.bytes) + " ";
    } else if (limits.fraction) {
        rule = "a percentage ";
    }
    return rule + "from " + limitText(limits.min, limits.bytes) + " to " +
           limitText(limits.max, limits.bytes);
}

bool withinLimits(const NumberLimits& limits, double value) {
    if (value < static_cast<double>(limits.min) || value > static_cast<double>(limits.max)) {
        return false;
    }
    if (limits.fraction) {
        return true;
    }
    const auto whole = static_cast<std::uint64_t>(value);
    switch (limits.rule) {
        case NumberRule::Range:
            return true;
        case NumberRule::PowerOfTwo:
            return (whole & (whole - 1)) == 0;
        case NumberRule::Multiple:
            return whole % limits.step == 0;
    }
    return false;
}

// A number as the file gives it; above the key's maximum it is refused at once, the rest of
// its limits are the profile's validation.
double readNumber(const ProfileLoad& load, const NumberLimits& limits, const std::string& value) {
    if (!limits.fraction) {
        return static_cast<double>(load.reader.parseNumber(value, load.where, limits.max));
    }
    double number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (error != std::errc{} || end != value.data() + value.size() ||
        !withinLimits(limits, number)) {
        load.fail("must be " + limitsText(limits));
    }
    return number;
}

void readKey(ProfileLoad& load, const ProfileKey& key, std::uint32_t chip) {
    const std::string section = sectionName(key.section, chip);
    const std::string value = load.reader.text(section, std::string(key.key));
    if (value.empty()) {
        return;
    }
    load.where = section + "/" + std::string(key.key);
    load.chip = chip;
    if (key.setText != nullptr) {
        key.setText(load, value);
    } else {
        key.setNumber(load, readNumber(load, key.limits, value));
    }
}

void readStage(ProfileLoad& load, ProfileStage stage) {
    for (const ProfileKey& key : kProfileKeys) {
        if (key.stage != stage) {
            continue;
        }
        if (key.section == kDevice) {
            readKey(load, key, 0);
        } else if (load.nand()) {
            for (std::uint32_t chip = 0; chip < load.profile.chips; ++chip) {
                readKey(load, key, chip);
            }
        }
    }
}

bool isChipSection(const std::string& name) {
    return name.starts_with("chip") && name.size() > 4 &&
           std::all_of(name.begin() + 4, name.end(), ::isdigit);
}

// Every section and key of the file must be one of the table's.
void checkKnownKeys(const ProfileReader& reader) {
    const IniFile& ini = reader.ini();
    for (const std::string& section : ini.sectionNames()) {
        const std::string name = asciiLower(section);
        const bool chip = isChipSection(name);
        if (name != "device" && !chip) {
            reader.fail("[" + section + "]",
                        "is not a known section (use [device] and [chip0], [chip1] ...)");
        }
        for (const std::string& key : ini.keyNames(section)) {
            const bool known = std::any_of(
                std::begin(kProfileKeys), std::end(kProfileKeys), [&](const ProfileKey& k) {
                    return (k.section == kChip) == chip && k.key == asciiLower(key);
                });
            if (!known) {
                reader.fail(section + "/" + key, "is not a known key");
            }
        }
    }
    if (ini.sectionNames().empty()) {
        throw ProfileError("Profile file " + reader.path().string() +
                           " cannot be read or holds no [device] section.");
    }
}

}  // namespace

std::optional<NandGeometry> geometryFromFlashId(const FlashIdBytes& id) {
    for (const DeviceCode& entry : kDeviceCodes) {
        if (entry.code != id[1]) {
            continue;
        }
        NandGeometry geometry;
        std::uint32_t blockBytes = 0;
        if (entry.smallPage) {
            geometry.pageSize = 512;
            blockBytes = 16 * 1024;
        } else {
            geometry.pageSize = 1024u << (id[3] & 0x03);
            blockBytes = (64u * 1024u) << ((id[3] >> 4) & 0x03);
        }
        geometry.pagesPerBlock = blockBytes / geometry.pageSize;
        geometry.blocksPerChip =
            static_cast<std::uint32_t>((std::uint64_t{1} << entry.log2ChipBytes) / blockBytes);
        return geometry;
    }
    return std::nullopt;
}

std::vector<bool> DeviceProfile::badBlockTable() const {
    std::vector<bool> bad(totalBlocks(), false);
    for (std::uint32_t chip = 0; chip < chips && chip < badBlocks.size(); ++chip) {
        const ChipBadBlocks& list = badBlocks[chip];
        const std::uint32_t base = chip * geometry.blocksPerChip;
        for (const auto b : list.blocks) {
            if (b < geometry.blocksPerChip) {
                bad[base + b] = true;
            }
        }
        if (list.ratePercent > 0) {
            // One generator per chip, so adding a chip leaves the others as they were.
            std::mt19937 generator(seed * 1000003u + chip);
            const auto threshold = static_cast<std::uint32_t>(list.ratePercent * 10000.0);
            for (std::uint32_t b = 1; b < geometry.blocksPerChip; ++b) {
                if (generator() % 1000000u < threshold) {
                    bad[base + b] = true;
                }
            }
        }
    }
    return bad;
}

std::uint8_t DeviceProfile::pageResult(std::uint32_t block, std::uint32_t page) const {
    std::uint8_t result = 0xFF;
    for (const WeakPages& weak : weakPages) {
        const bool parityMatches = weak.parity == WeakPages::Parity::Any ||
                                   (weak.parity == WeakPages::Parity::Even) == (page % 2 == 0);
        if (block >= weak.firstBlock && block <= weak.lastBlock && page >= weak.firstPage &&
            page <= weak.lastPage && parityMatches) {
            result = std::min(result, weak.result);
        }
    }
    return result;
}

void DeviceProfile::validate() const {
    auto fail = [&](const std::string& why) {
        throw ProfileError("Profile " + name + ": " + why + ".");
    };
    for (const ProfileKey& key : kProfileKeys) {
        if (key.number == nullptr || !describes(key.keyFor, *this)) {
            continue;
        }
        for (std::uint32_t chip = 0; chip < sectionCount(key, *this); ++chip) {
            if (!withinLimits(key.limits, key.number(*this, chip))) {
                fail(std::string(key.key) + " must be " + limitsText(key.limits));
            }
        }
    }
    if (isForeign() || isSerialFlash()) {
        return;
    }
    if (totalBlocks() > kMaxTotalBlocks) {
        fail("all chips together must have at most " + std::to_string(kMaxTotalBlocks) + " blocks");
    }
    if (badBlocks.size() != chips) {
        fail("the bad-block lists do not match the chip count");
    }
}

std::vector<ProfileSummary> builtinProfiles() {
    std::vector<ProfileSummary> list;
    for (const auto& profile : builtins()) {
        list.push_back({profile.name, profile.description});
    }
    return list;
}

DeviceProfile loadProfileFile(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        throw ProfileError("Profile " + path.string() +
                           " is neither a built-in profile nor a readable file (built-in: "
                           "corvid-devsim profiles).");
    }
    const ProfileReader reader(path);
    checkKnownKeys(reader);

    DeviceProfile profile;
    profile.name = path.stem().string();
    profile.description = "profile file " + path.string();
    profile.vendor = "Generic";
    profile.product = "USB Flash Disk";
    profile.revision = "1.00";
    ProfileLoad load{reader, profile, {}, 0};
    readStage(load, ProfileStage::Geometry);
    if (load.nand() && profile.geometry.pageSize == 0) {
        reader.fail("device/flash-id",
                    "names no known NAND device code; give page-size, "
                    "pages-per-block and blocks-per-chip");
    }
    profile.badBlocks.resize(load.nand() ? profile.chips : 0);
    readStage(load, ProfileStage::Flaws);
    try {
        profile.validate();
    } catch (const ProfileError& e) {
        throw ProfileError("Profile file " + path.string() + ": " + e.what());
    }
    return profile;
}

DeviceProfile resolveProfile(const std::string& nameOrPath) {
    for (const auto& profile : builtins()) {
        if (profile.name == nameOrPath) {
            return profile;
        }
    }
    return loadProfileFile(nameOrPath);
}

std::string profileToIni(const DeviceProfile& profile) {
    std::ostringstream out;
    out << "; corvid-devsim device profile\n;\n; Keys:\n";
    for (const ProfileKey& key : kProfileKeys) {
        out << ";   [" << (key.section == kDevice ? "device" : "chipN") << "] " << key.key << ": "
            << key.meaning;
        if (key.setNumber != nullptr) {
            out << ", " << limitsText(key.limits);
        }
        out << "\n";
    }
    const auto writeSection = [&](ProfileSection section, std::uint32_t chip) {
        out << "[" << sectionName(section, chip) << "]\n";
        for (const ProfileKey& key : kProfileKeys) {
            if (key.section == section && describes(key.keyFor, profile)) {
                out << key.key << " = "
                    << (key.text != nullptr ? key.text(profile, chip)
                                            : numberText(key.number(profile, chip)))
                    << "\n";
            }
        }
    };
    writeSection(kDevice, 0);
    const bool nand = !profile.isSerialFlash() && !profile.isForeign();
    for (std::uint32_t chip = 0; nand && chip < profile.badBlocks.size(); ++chip) {
        writeSection(kChip, chip);
    }
    return out.str();
}

std::string flashIdText(const FlashIdBytes& id) {
    std::string text = "ID:";
    for (const auto b : id) {
        text += hexByte(b);
    }
    return text;
}

}  // namespace corvid::devsim
