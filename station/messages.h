#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace corvid {

// iLanguage: 0 English, 1 Traditional Chinese, 2 Simplified Chinese.
inline constexpr int kLanguageEnglish = 0;
inline constexpr int kLanguageTraditionalChinese = 1;
inline constexpr int kLanguageSimplifiedChinese = 2;
inline constexpr int kLanguageCount = 3;

// The named messages, the 64 keyed ones in the order lang.ini is loaded, then the two without a
// key of their own.
enum class MessageKey : std::size_t {
    TitleStr, PageStr, DeviceStr, LabelStr, SysPreCopyStr, FormatStr, AddFileStr, RemoveStr,
    LogStr, SelectFileStr, StatusMsg, SuccessMsg, FailMsg, ExceedLimitMsg, BadBlockStr, TotalMsg,
    WaitDeviceMsg, CopyFileMsg, ChkdskMsg, SettingMsg, FILEWriteStr, BlankingCheckStr,
    RealBlankingCheckStr, ProgramWriteStr, ProgramWriteEndStr, ProgramWriteSetupStr,
    PreferWriteStr, PreferWriteEndStr, PreferWriteSetupStr, ISOWriteStr, ISOWriteEndStr,
    ISOWriteSetupStr, PassWriteStr, PassWriteEndStr, PassWriteSetupStr, StringReset, FSMWrite,
    VirtualCDROMStr, FlashBrandStr, FlashSerialStr, FlashEraseStr, MenuUpgradeStr,
    MenuUpgradeStartStr, DevicePluginStr, BarFixedStr, SystemAreaSizeStr, SetLabelStr,
    FlashCheckStr, FwParityCheckStr, FwUpgradeStr, FixSystemAreaSizeStr, UnresetMsg,
    HubPortExeccdStr, ApplyStr, CancelStr, FactorSetStr, ModuleNoStr, AdvanceStr,
    ProcessStatusStr, BadBlockWarningStr, ChangeDiskStr, HiddenDiskStr,
    FlashIdCheckMsg, BlankingSetupMsg,
};
inline constexpr std::size_t kKeyedMessageCount = 64;  // TitleStr .. HiddenDiskStr
inline constexpr std::size_t kMessageCount = 66;

// The lang.ini key of a keyed message ("FailMsg"); the enumerator's name for the other two.
std::string_view messageKeyName(MessageKey key);
// The built-in English default.
std::string_view messageDefault(MessageKey key);

// One complete set of message texts (UTF-8). A language load builds a new one and hands it over
// as a whole.
class MessageTable {
public:
    MessageTable();  // the English defaults
    const std::string& text(MessageKey key) const { return texts_[static_cast<std::size_t>(key)]; }
    void setText(MessageKey key, std::string text);

private:
    std::array<std::string, kMessageCount> texts_;
};

// The station's current messages. Workers read them from their threads while the UI thread may
// replace the whole table at a language load; a reader sees the old or the new table, never a mix.
class SharedMessages {
public:
    SharedMessages();
    std::shared_ptr<const MessageTable> current() const;
    std::string text(MessageKey key) const { return current()->text(key); }
    void replace(std::shared_ptr<const MessageTable> table);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const MessageTable> table_;
};

// The fixed language text table: 85 rows, row 0 "Blank Check". UTF-8 in every column.
inline constexpr int kFixedTextRows = 85;
std::string_view fixedText(int row, int language);

enum class OptionTable { ScanLevels, PageModes };
int optionRowCount(OptionTable table);  // 5 scan levels, 8 page modes
std::string_view optionName(OptionTable table, int row, int language);

}  // namespace corvid
