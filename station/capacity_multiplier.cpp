#include "station/capacity_multiplier.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>

#include "platform/ascii_text.h"
#include "station/messages.h"

namespace corvid {

namespace {

constexpr int kRowNonlegalMultiplier = 24;  // "nonlegal mulitplier"
constexpr int kRowFirmwareNotFound = 25;    // "Firmware file not found"
constexpr char kMultiplierCaption[] = "DA Zero";

bool hasBinExtension(const std::string& entry) {
    return asciiLower(std::filesystem::path(entry).extension().string()) == ".bin";
}

bool readField(std::istream& file, CapMultiplierField& field) {
    file.seekg(kCapMultiplierOffset);
    std::array<char, sizeof(CapMultiplierField)> bytes{};
    if (!file.read(bytes.data(), bytes.size())) {
        return false;
    }
    field.mark0 = static_cast<std::uint8_t>(bytes[0]);
    field.mark1 = static_cast<std::uint8_t>(bytes[1]);
    field.index = static_cast<std::uint8_t>(bytes[2]);
    return true;
}

}  // namespace

CapMultiplierRead readCapMultiplierFromFirmware(StationSettings& settings,
                                                const StationFolder& folder) {
    CapMultiplierRead result;
    const auto entry =
        std::find_if(settings.preCopyList.begin(), settings.preCopyList.end(), hasBinExtension);
    if (entry == settings.preCopyList.end()) {
        return result;
    }
    result.firmwareEntry = *entry;
    std::ifstream file(folder.resolve(*entry), std::ios::binary);
    if (!file) {
        return result;
    }
    result.opened = true;
    CapMultiplierField field{};
    // An index beyond the multipliers would make the device report a wrong capacity.
    if (readField(file, field) && field.mark0 == kCapMultiplierMark0 &&
        field.mark1 == kCapMultiplierMark1 && field.index < kCapMultiplierCount) {
        settings.record.CapMultiplier = field.index;
        result.found = true;
    }
    return result;
}

bool writeCapMultiplierToFirmware(const FileList& preCopyList, const StationFolder& folder,
                                  int index, OperatorPrompt& prompt, int language) {
    if (index < 0 || index >= kCapMultiplierCount) {
        prompt.show(std::string(fixedText(kRowNonlegalMultiplier, language)), kMultiplierCaption,
                    PromptIcon::Error, PromptButtons::Ok);
        return false;
    }
    for (const std::string& entry : preCopyList) {
        if (!hasBinExtension(entry)) {
            continue;
        }
        std::fstream file(folder.resolve(entry), std::ios::in | std::ios::out | std::ios::binary);
        if (!file) {
            continue;
        }
        std::array<char, kFirmwareChipName.size()> chip{};
        if (!file.read(chip.data(), chip.size()) ||
            std::string_view(chip.data(), chip.size()) != kFirmwareChipName) {
            continue;
        }
        // Only a file that is long enough and carries the whole mark has the field; writing
        // anywhere else would damage the firmware.
        CapMultiplierField field{};
        if (!readField(file, field) || field.mark0 != kCapMultiplierMark0 ||
            field.mark1 != kCapMultiplierMark1) {
            return false;
        }
        const std::array<char, sizeof(CapMultiplierField)> bytes = {
            static_cast<char>(kCapMultiplierMark0), static_cast<char>(kCapMultiplierMark1),
            static_cast<char>(index)};
        file.seekp(kCapMultiplierOffset);
        file.write(bytes.data(), bytes.size());
        file.close();
        return static_cast<bool>(file);
    }
    prompt.show(std::string(fixedText(kRowFirmwareNotFound, language)), kMultiplierCaption,
                PromptIcon::Error, PromptButtons::Ok);
    return false;
}

}  // namespace corvid
