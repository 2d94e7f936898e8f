#include "station/window_captions.h"

#include <array>
#include <fstream>
#include <limits>
#include <system_error>

#include "station/disk_feature.h"

namespace corvid {

namespace {

constexpr char kCaptionPrefix[] = "QM4XXX ";
constexpr char kBuildDate[] = "Apr  1 2010";
constexpr char kFsmVersionMark[] = "FSM";
constexpr int kSlotCount = 8;
constexpr int kRowDiskSplit = 13;
constexpr int kRowAddDir = 21;

// The slot captions: StaticText1 for slot 1, StaticText3 .. StaticText9 for slots 2 to 8.
std::string slotCaptionControl(int slot) {
    return "StaticText" + std::to_string(slot == 1 ? 1 : slot + 1);
}

}  // namespace

FsmVersion readFsmVersion(const std::filesystem::path& fsmPath) {
    FsmVersion version;
    version.text = kFsmVersionUnknown;
    std::ifstream file(fsmPath, std::ios::binary);
    std::error_code error;
    if (!file || std::filesystem::is_directory(fsmPath, error)) {
        return version;
    }
    version.opened = true;
    const std::uintmax_t size = std::filesystem::file_size(fsmPath, error);
    version.size = error ? 0
                         : static_cast<std::int32_t>(std::min<std::uintmax_t>(
                               size, std::numeric_limits<std::int32_t>::max()));

    std::array<char, kFsmVersionMaxBytes> bytes{};
    file.seekg(kFsmVersionOffset);
    file.read(bytes.data(), bytes.size());
    const std::string_view read(bytes.data(), static_cast<std::size_t>(file.gcount()));
    if (read.starts_with(kFsmVersionMark)) {
        version.text = std::string(read.substr(0, read.find('\0')));
    }
    return version;
}

std::vector<Caption> composeWindowCaptions(const MessageTable& messages, int iLanguage,
                                           const StationSettings& settings,
                                           const std::string& fsmVersion) {
    const auto msg = [&](MessageKey key) -> const std::string& { return messages.text(key); };
    std::vector<Caption> captions;
    const auto add = [&](std::string control, std::string text) {
        captions.push_back({std::move(control), std::move(text)});
    };

    for (int slot = 1; slot <= kSlotCount; ++slot) {
        add("D" + std::to_string(slot) + "infoStr", msg(MessageKey::WaitDeviceMsg));
    }
    if (std::optional<std::string> feature = diskFeatureText(settings.record, iLanguage)) {
        add("labDiskFeature", *feature);
    }
    add("btnSetup", msg(MessageKey::AdvanceStr) + msg(MessageKey::SettingMsg) + "...");
    add(kCaptionWindow,
        kCaptionPrefix + msg(MessageKey::TitleStr) + " (" + kBuildDate + ") + " + fsmVersion);
    add(kCaptionApplication, msg(MessageKey::TitleStr));
    add("TabSheet4", msg(MessageKey::PageStr));
    add("LabelStatic", msg(MessageKey::LabelStr) + ":");
    add("AddFilesBtn", msg(MessageKey::AddFileStr) + "...");
    add("RemoveBtn", msg(MessageKey::RemoveStr));
    add("GroupBox16", msg(MessageKey::LogStr));
    add("chkFormat", msg(MessageKey::FormatStr));
    add("chkParityCheck", msg(MessageKey::FwParityCheckStr));
    add("grpFileList", msg(MessageKey::SysPreCopyStr));
    add("chkISOupgrade", msg(MessageKey::VirtualCDROMStr));
    add("CheckManuupgrade", msg(MessageKey::MenuUpgradeStr));
    add("chkBlankCheck",
        msg(MessageKey::BlankingCheckStr) + (iLanguage != kLanguageEnglish ? " Flash" : ""));
    add("SystemAreachk", msg(MessageKey::FixSystemAreaSizeStr));
    add("labSystemArea", msg(MessageKey::SystemAreaSizeStr));
    add("labType", std::string(fixedText(kRowDiskSplit, iLanguage)) + ":");
    for (int slot = 1; slot <= kSlotCount; ++slot) {
        add(slotCaptionControl(slot),
            msg(MessageKey::DeviceStr) + " " + std::to_string(slot) + ": ");
    }
    add("StaticText10", msg(MessageKey::TotalMsg) + ":");
    add("StaticText11", msg(MessageKey::SuccessMsg) + ":");
    add("StaticText12", msg(MessageKey::FailMsg) + ":");
    add("chkFwUpgrade", msg(MessageKey::FwUpgradeStr));
    add("grpProcessStatus", msg(MessageKey::ProcessStatusStr));
    add("btnAddDir", std::string(fixedText(kRowAddDir, iLanguage)));
    add(kCaptionSettingsDialog, msg(MessageKey::AdvanceStr) + msg(MessageKey::SettingMsg));
    return captions;
}

}  // namespace corvid
