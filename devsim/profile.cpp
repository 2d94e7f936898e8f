#include "devsim/profile.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <random>
#include <set>
#include <sstream>

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

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
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
            const char last =
                static_cast<char>(std::toupper(static_cast<unsigned char>(digits.back())));
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

    void checkKnownKeys() const {
        static const std::set<std::string> deviceKeys = {"base",
                                                         "name",
                                                         "description",
                                                         "flash-id",
                                                         "chips",
                                                         "page-size",
                                                         "pages-per-block",
                                                         "blocks-per-chip",
                                                         "bad-blocks",
                                                         "bad-block-rate",
                                                         "seed",
                                                         "weak-pages",
                                                         "inquiry",
                                                         "vendor",
                                                         "product",
                                                         "revision",
                                                         "needs-reset",
                                                         "serial-flash-size",
                                                         "port",
                                                         "disk-size-mb"};
        for (const std::string& section : ini_.sectionNames()) {
            const std::string name = lower(section);
            const bool chip = name.starts_with("chip") && name.size() > 4 &&
                              std::all_of(name.begin() + 4, name.end(), ::isdigit);
            if (name != "device" && !chip) {
                fail("[" + section + "]",
                     "is not a known section (use [device] and [chip0], "
                     "[chip1] ...)");
            }
            for (const std::string& key : ini_.keyNames(section)) {
                const std::string k = lower(key);
                const bool known =
                    chip ? (k == "bad-blocks" || k == "bad-block-rate") : deviceKeys.count(k) > 0;
                if (!known) {
                    fail(section + "/" + key, "is not a known key");
                }
            }
        }
        if (ini_.sectionNames().empty()) {
            throw ProfileError("Profile file " + path_.string() +
                               " cannot be read or holds no [device] section.");
        }
    }

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
        const std::string pages = lower(fields[1]);
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
    if (isForeign()) {
        if (foreignDiskMiB == 0 || foreignDiskMiB > 65536) {
            fail("a foreign device needs disk-size-mb from 1 to 65536");
        }
        return;
    }
    if (isSerialFlash()) {
        if (serialFlashSize < 65536 || serialFlashSize > kMaxSerialFlash ||
            serialFlashSize % 65536 != 0) {
            fail("serial-flash-size must be a multiple of 64K from 64K to 16M");
        }
        return;
    }
    auto powerOfTwo = [](std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
    if (chips < 1 || chips > 16) {
        fail("chips must be from 1 to 16");
    }
    if (!powerOfTwo(geometry.pageSize) || geometry.pageSize < 512 || geometry.pageSize > 16384) {
        fail("page-size must be a power of two from 512 to 16384");
    }
    if (!powerOfTwo(geometry.pagesPerBlock) || geometry.pagesPerBlock < 16 ||
        geometry.pagesPerBlock > 512) {
        fail("pages-per-block must be a power of two from 16 to 512");
    }
    if (geometry.blocksPerChip < 8 || totalBlocks() > kMaxTotalBlocks ||
        geometry.blocksPerChip % 8 != 0) {
        fail(
            "blocks-per-chip must be a multiple of 8 and all chips together at most 65536 "
            "blocks");
    }
    if (badBlocks.size() != chips) {
        fail("the bad-block lists do not match the chip count");
    }
    for (const auto& list : badBlocks) {
        if (list.ratePercent < 0 || list.ratePercent > 100) {
            fail("bad-block-rate must be a percentage from 0 to 100");
        }
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
    reader.checkKnownKeys();
    const std::string device = "device";

    DeviceProfile profile;
    if (reader.has(device, "base")) {
        const std::string base = reader.text(device, "base");
        const auto found = std::find_if(builtins().begin(), builtins().end(),
                                        [&](const auto& p) { return p.name == base; });
        if (found == builtins().end()) {
            reader.fail("device/base", "names \"" + base + "\", which is not a built-in profile");
        }
        profile = *found;
    } else {
        profile.vendor = "Generic";
        profile.product = "USB Flash Disk";
        profile.revision = "1.00";
    }
    profile.name = reader.has(device, "name") ? reader.text(device, "name") : path.stem().string();
    profile.description = reader.has(device, "description") ? reader.text(device, "description")
                                                            : "profile file " + path.string();

    if (reader.has(device, "inquiry")) {
        const std::string variant = lower(reader.text(device, "inquiry"));
        if (variant == "g") {
            profile.inquiry = InquiryVariant::G;
        } else if (variant == "16.1") {
            profile.inquiry = InquiryVariant::V16_1;
        } else if (variant == "16.2") {
            profile.inquiry = InquiryVariant::V16_2;
        } else if (variant == "foreign") {
            profile.inquiry = InquiryVariant::Foreign;
        } else {
            reader.fail("device/inquiry", "must be G, 16.1, 16.2 or foreign");
        }
    }
    bool idGiven = false;
    if (reader.has(device, "flash-id")) {
        std::string hex;
        for (const char c : reader.text(device, "flash-id")) {
            if (!std::isspace(static_cast<unsigned char>(c))) {
                hex += c;
            }
        }
        if (hex.size() != 10) {
            reader.fail("device/flash-id", "must be five hexadecimal bytes, e.g. EC DA 10 95 44");
        }
        for (std::size_t i = 0; i < 5; ++i) {
            profile.flashId[i] = static_cast<std::uint8_t>(
                reader.parseNumber(hex.substr(2 * i, 2), "device/flash-id", 0xFF, 16));
        }
        idGiven = true;
    }
    if (reader.has(device, "chips")) {
        profile.chips = static_cast<std::uint32_t>(reader.number(device, "chips", 16));
    }
    if (idGiven && !profile.isSerialFlash()) {
        if (auto geometry = geometryFromFlashId(profile.flashId)) {
            profile.geometry = *geometry;
        }
    }
    if (reader.has(device, "page-size")) {
        profile.geometry.pageSize =
            static_cast<std::uint32_t>(reader.number(device, "page-size", 16384));
    }
    if (reader.has(device, "pages-per-block")) {
        profile.geometry.pagesPerBlock =
            static_cast<std::uint32_t>(reader.number(device, "pages-per-block", 512));
    }
    if (reader.has(device, "blocks-per-chip")) {
        profile.geometry.blocksPerChip =
            static_cast<std::uint32_t>(reader.number(device, "blocks-per-chip", kMaxTotalBlocks));
    }
    if (!profile.isSerialFlash() && !profile.isForeign() && profile.geometry.pageSize == 0) {
        reader.fail("device/flash-id",
                    "names no known NAND device code; give page-size, "
                    "pages-per-block and blocks-per-chip");
    }
    if (reader.has(device, "seed")) {
        profile.seed = static_cast<std::uint32_t>(reader.number(device, "seed", 0xFFFFFFFFu));
    }

    const bool nand = !profile.isSerialFlash() && !profile.isForeign();
    profile.badBlocks.resize(nand ? profile.chips : 0);
    if (nand && reader.has(device, "bad-blocks")) {
        for (auto& list : profile.badBlocks) {
            list.blocks.clear();
        }
        for (const auto b :
             parseBlockList(reader, reader.text(device, "bad-blocks"), "device/bad-blocks")) {
            if (b >= profile.totalBlocks()) {
                reader.fail("device/bad-blocks", "names block " + std::to_string(b) +
                                                     ", beyond the last block " +
                                                     std::to_string(profile.totalBlocks() - 1));
            }
            profile.badBlocks[b / profile.geometry.blocksPerChip].blocks.push_back(
                b % profile.geometry.blocksPerChip);
        }
    }
    auto rate = [&](const std::string& section) {
        const std::string value = reader.text(section, "bad-block-rate");
        double percent = 0;
        const auto [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), percent);
        if (error != std::errc{} || end != value.data() + value.size() || percent < 0 ||
            percent > 100) {
            reader.fail(section + "/bad-block-rate", "must be a percentage from 0 to 100");
        }
        return percent;
    };
    if (nand && reader.has(device, "bad-block-rate")) {
        const double percent = rate(device);
        for (auto& list : profile.badBlocks) {
            list.ratePercent = percent;
        }
    }
    for (std::uint32_t chip = 0; nand && chip < profile.chips; ++chip) {
        const std::string section = "chip" + std::to_string(chip);
        if (reader.has(section, "bad-blocks")) {
            profile.badBlocks[chip].blocks =
                parseBlockList(reader, reader.text(section, "bad-blocks"), section + "/bad-blocks");
            for (const auto b : profile.badBlocks[chip].blocks) {
                if (b >= profile.geometry.blocksPerChip) {
                    reader.fail(section + "/bad-blocks", "names block " + std::to_string(b) +
                                                             ", beyond the chip's last block");
                }
            }
        }
        if (reader.has(section, "bad-block-rate")) {
            profile.badBlocks[chip].ratePercent = rate(section);
        }
    }
    if (nand && reader.has(device, "weak-pages")) {
        profile.weakPages = parseWeakPages(reader, reader.text(device, "weak-pages"), profile);
    }
    if (reader.has(device, "vendor")) {
        profile.vendor = reader.text(device, "vendor");
    }
    if (reader.has(device, "product")) {
        profile.product = reader.text(device, "product");
    }
    if (reader.has(device, "revision")) {
        profile.revision = reader.text(device, "revision");
    }
    if (reader.has(device, "needs-reset")) {
        profile.needsReset = reader.number(device, "needs-reset", 1) != 0;
    }
    if (reader.has(device, "serial-flash-size")) {
        profile.serialFlashSize =
            static_cast<std::uint32_t>(reader.number(device, "serial-flash-size", kMaxSerialFlash));
    }
    if (reader.has(device, "port")) {
        profile.port = static_cast<std::uint8_t>(reader.number(device, "port", 127));
    }
    if (reader.has(device, "disk-size-mb")) {
        profile.foreignDiskMiB =
            static_cast<std::uint32_t>(reader.number(device, "disk-size-mb", 65536));
    }
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
    out << "; corvid-devsim device profile\n[device]\n";
    out << "name = " << profile.name << "\n";
    out << "description = " << profile.description << "\n";
    out << "inquiry = " << variantName(profile.inquiry) << "\n";
    out << "vendor = " << profile.vendor << "\n";
    out << "product = " << profile.product << "\n";
    out << "revision = " << profile.revision << "\n";
    if (profile.isForeign()) {
        out << "disk-size-mb = " << profile.foreignDiskMiB << "\n";
        return out.str();
    }
    out << "flash-id =";
    for (const auto b : profile.flashId) {
        out << " " << hexByte(b);
    }
    out << "\nchips = " << profile.chips << "\n";
    out << "needs-reset = " << (profile.needsReset ? 1 : 0) << "\n";
    out << "port = " << static_cast<int>(profile.port) << "\n";
    if (profile.isSerialFlash()) {
        out << "serial-flash-size = " << profile.serialFlashSize << "\n";
        return out.str();
    }
    out << "page-size = " << profile.geometry.pageSize << "\n";
    out << "pages-per-block = " << profile.geometry.pagesPerBlock << "\n";
    out << "blocks-per-chip = " << profile.geometry.blocksPerChip << "\n";
    out << "seed = " << profile.seed << "\n";
    std::string weak;
    for (const WeakPages& w : profile.weakPages) {
        std::string pages = std::to_string(w.firstPage) + "-" + std::to_string(w.lastPage);
        if (w.parity != WeakPages::Parity::Any) {
            pages = w.parity == WeakPages::Parity::Even ? "even" : "odd";
        }
        weak += (weak.empty() ? "" : ", ") + std::to_string(w.firstBlock) + "-" +
                std::to_string(w.lastBlock) + ":" + pages + ":" + hexByte(w.result);
    }
    out << "weak-pages = " << weak << "\n";
    for (std::uint32_t chip = 0; chip < profile.badBlocks.size(); ++chip) {
        out << "[chip" << chip << "]\n";
        out << "bad-blocks = " << blockListText(profile.badBlocks[chip].blocks) << "\n";
        out << "bad-block-rate = " << profile.badBlocks[chip].ratePercent << "\n";
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
