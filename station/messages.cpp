#include "station/messages.h"

#include <stdexcept>
#include <utility>

namespace corvid {

namespace {

struct MessageEntry {
    MessageKey key;
    std::string_view name;
    std::string_view defaultText;
};

// In the order lang.ini is loaded; the last two have no key in lang.ini.
constexpr std::array<MessageEntry, kMessageCount> kMessages{{
    {MessageKey::TitleStr, "TitleStr", "MP3 Mass Production Tool"},
    {MessageKey::PageStr, "PageStr", "Mass Production"},
    {MessageKey::DeviceStr, "DeviceStr", "Device"},
    {MessageKey::LabelStr, "LabelStr", "Label"},
    {MessageKey::SysPreCopyStr, "SysPreCopyStr", "System files and Pre-copy files:"},
    {MessageKey::FormatStr, "FormatStr", "Format"},
    {MessageKey::AddFileStr, "AddFileStr", "Add files"},
    {MessageKey::RemoveStr, "RemoveStr", "Remove"},
    {MessageKey::LogStr, "LogStr", "Log"},
    {MessageKey::SelectFileStr, "SelectFileStr", "Select files"},
    {MessageKey::StatusMsg, "StatusMsg", "Status"},
    {MessageKey::SuccessMsg, "SuccessMsg", "successful"},
    {MessageKey::FailMsg, "FailMsg", "fail"},
    {MessageKey::ExceedLimitMsg, "ExceedLimitMsg", "Exceed the device limit!"},
    {MessageKey::BadBlockStr, "BadBlockStr", "Bad Block Check"},
    {MessageKey::TotalMsg, "TotalMsg", "Total"},
    {MessageKey::WaitDeviceMsg, "WaitDeviceMsg", "Waiting device..."},
    {MessageKey::CopyFileMsg, "CopyFileMsg", "Copy Files"},
    {MessageKey::ChkdskMsg, "ChkdskMsg", "Check Disk"},
    {MessageKey::SettingMsg, "SettingMsg", "Setting"},
    {MessageKey::FILEWriteStr, "FILEWriteStr", "FILE Writing"},
    {MessageKey::BlankingCheckStr, "BlankingCheckStr", "Blanking Check"},
    {MessageKey::RealBlankingCheckStr, "RealBlankingCheckStr", "Blanking Check"},
    {MessageKey::ProgramWriteStr, "ProgramWriteStr", "Program Writing"},
    {MessageKey::ProgramWriteEndStr, "ProgramWriteEndStr", "Program Write End"},
    {MessageKey::ProgramWriteSetupStr, "ProgramWriteSetupStr", "Program Write Setup"},
    {MessageKey::PreferWriteStr, "PreferWriteStr", "Prefer Writing"},
    {MessageKey::PreferWriteEndStr, "PreferWriteEndStr", "Prefer Write End"},
    {MessageKey::PreferWriteSetupStr, "PreferWriteSetupStr", "Prefer Write Setup"},
    {MessageKey::ISOWriteStr, "ISOWriteStr", "ISO Writing"},
    {MessageKey::ISOWriteEndStr, "ISOWriteEndStr", "ISO Write End"},
    {MessageKey::ISOWriteSetupStr, "ISOWriteSetupStr", "ISO Write Setup"},
    {MessageKey::PassWriteStr, "PassWriteStr", "PASS Write Setup"},
    {MessageKey::PassWriteEndStr, "PassWriteEndStr", "PASS Write End"},
    {MessageKey::PassWriteSetupStr, "PassWriteSetupStr", "PASS Write Setup"},
    {MessageKey::StringReset, "StringReset", "Reset"},
    {MessageKey::FSMWrite, "FSMWrite", "FSM Writing"},
    {MessageKey::VirtualCDROMStr, "VirtualCDROMStr", "Virtual CDROM"},
    {MessageKey::FlashBrandStr, "FlashBrandStr", "Flash Brand"},
    {MessageKey::FlashSerialStr, "FlashSerialStr", "Flash Serial"},
    {MessageKey::FlashEraseStr, "FlashEraseStr", "Erase Flash"},
    {MessageKey::MenuUpgradeStr, "MenuUpgradeStr", "Menual Upgrade Mode"},
    {MessageKey::MenuUpgradeStartStr, "MenuUpgradeStartStr", "Start Upgrade"},
    {MessageKey::DevicePluginStr, "DevicePluginStr", "device plugin"},
    {MessageKey::BarFixedStr, "BarFixedStr", "Bar Fixed"},
    {MessageKey::SystemAreaSizeStr, "SystemAreaSizeStr", "System Area Size"},
    {MessageKey::SetLabelStr, "SetLabelStr", "Set Volume Label"},
    {MessageKey::FlashCheckStr, "FlashCheckStr", "Flash Check"},
    {MessageKey::FwParityCheckStr, "FwParityCheckStr", "FW Parity Check"},
    {MessageKey::FwUpgradeStr, "FwUpgradeStr", "Firmware Upgrade"},
    {MessageKey::FixSystemAreaSizeStr, "FixSystemAreaSizeStr", "Fix System Area Size"},
    {MessageKey::UnresetMsg, "UnresetMsg", "Unresetted device"},
    {MessageKey::HubPortExeccdStr, "HubPortExeccdStr", "Exceed USB Port limitation"},
    {MessageKey::ApplyStr, "ApplyStr", "Apply"},
    {MessageKey::CancelStr, "CancelStr", "Cancel"},
    {MessageKey::FactorSetStr, "FactorSetStr", "Factory Setting"},
    {MessageKey::ModuleNoStr, "ModuleNoStr", "Flash Module No"},
    {MessageKey::AdvanceStr, "AdvanceStr", "Advance"},
    {MessageKey::ProcessStatusStr, "ProcessStatusStr", "Processing Status"},
    {MessageKey::BadBlockWarningStr, "BadBlockWarningStr", "Please do blanking check"},
    {MessageKey::ChangeDiskStr, "ChangeDiskStr", "Change to Hidden disk"},
    {MessageKey::HiddenDiskStr, "HiddenDiskStr", "Hidden disk"},
    {MessageKey::FlashIdCheckMsg, "FlashIdCheckMsg", "Check FLASHID"},
    {MessageKey::BlankingSetupMsg, "BlankingSetupMsg", "Blanking Check Setup"},
}};

constexpr bool entriesInEnumOrder() {
    for (std::size_t i = 0; i < kMessages.size(); ++i) {
        if (static_cast<std::size_t>(kMessages[i].key) != i) {
            return false;
        }
    }
    return true;
}
static_assert(entriesInEnumOrder(), "message entries must follow the MessageKey order");
static_assert(static_cast<std::size_t>(MessageKey::HiddenDiskStr) + 1 == kKeyedMessageCount);

const MessageEntry* entry(MessageKey key) {
    const auto index = static_cast<std::size_t>(key);
    return index < kMessages.size() ? &kMessages[index] : nullptr;
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string_view messageKeyName(MessageKey key) {
    const MessageEntry* e = entry(key);
    return e != nullptr ? e->name : std::string_view{};
}

std::string_view messageDefault(MessageKey key) {
    const MessageEntry* e = entry(key);
    return e != nullptr ? e->defaultText : std::string_view{};
}

std::optional<MessageKey> messageKeyFromName(std::string_view name) {
    for (std::size_t i = 0; i < kKeyedMessageCount; ++i) {
        if (equalsIgnoringCase(kMessages[i].name, name)) {
            return kMessages[i].key;
        }
    }
    return std::nullopt;
}

MessageTable::MessageTable() {
    for (std::size_t i = 0; i < kMessageCount; ++i) {
        texts_[i] = std::string(kMessages[i].defaultText);
    }
}

void MessageTable::setText(MessageKey key, std::string text) {
    const auto index = static_cast<std::size_t>(key);
    if (index < texts_.size()) {
        texts_[index] = std::move(text);
    }
}

SharedMessages::SharedMessages() : table_(std::make_shared<const MessageTable>()) {}

std::shared_ptr<const MessageTable> SharedMessages::current() const {
    std::lock_guard lock(mutex_);
    return table_;
}

void SharedMessages::replace(std::shared_ptr<const MessageTable> table) {
    // Readers always get a table; a null one is a caller's bug.
    if (table == nullptr) {
        throw std::invalid_argument("SharedMessages::replace: the new message table is null");
    }
    {
        std::lock_guard lock(mutex_);
        table_.swap(table);
    }
    // `table` now holds the old one; if this was its last reader it is freed outside the lock.
}

}  // namespace corvid
