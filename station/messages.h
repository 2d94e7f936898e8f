#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace corvid {

// iLanguage: 0 English, 1 Traditional Chinese, 2 Simplified Chinese.
inline constexpr int kLanguageEnglish = 0;
inline constexpr int kLanguageTraditionalChinese = 1;
inline constexpr int kLanguageSimplifiedChinese = 2;
inline constexpr int kLanguageCount = 3;

// The 64 named messages: the 62 with a lang.ini key, in the order the file is loaded, then the two
// without a key of their own.
enum class MessageKey : std::size_t {
    TitleStr,
    PageStr,
    DeviceStr,
    LabelStr,
    SysPreCopyStr,
    FormatStr,
    AddFileStr,
    RemoveStr,
    LogStr,
    SelectFileStr,
    StatusMsg,
    SuccessMsg,
    FailMsg,
    ExceedLimitMsg,
    BadBlockStr,
    TotalMsg,
    WaitDeviceMsg,
    CopyFileMsg,
    ChkdskMsg,
    SettingMsg,
    FILEWriteStr,
    BlankingCheckStr,
    RealBlankingCheckStr,
    ProgramWriteStr,
    ProgramWriteEndStr,
    ProgramWriteSetupStr,
    PreferWriteStr,
    PreferWriteEndStr,
    PreferWriteSetupStr,
    ISOWriteStr,
    ISOWriteEndStr,
    ISOWriteSetupStr,
    PassWriteStr,
    PassWriteEndStr,
    PassWriteSetupStr,
    StringReset,
    FSMWrite,
    VirtualCDROMStr,
    FlashBrandStr,
    FlashSerialStr,
    FlashEraseStr,
    MenuUpgradeStr,
    MenuUpgradeStartStr,
    DevicePluginStr,
    BarFixedStr,
    SystemAreaSizeStr,
    SetLabelStr,
    FlashCheckStr,
    FwParityCheckStr,
    FwUpgradeStr,
    FixSystemAreaSizeStr,
    UnresetMsg,
    HubPortExeccdStr,
    ApplyStr,
    CancelStr,
    FactorSetStr,
    ModuleNoStr,
    AdvanceStr,
    ProcessStatusStr,
    BadBlockWarningStr,
    ChangeDiskStr,
    HiddenDiskStr,
    FlashIdCheckMsg,
    BlankingSetupMsg,
};
inline constexpr std::size_t kKeyedMessageCount = 62;  // TitleStr .. HiddenDiskStr
inline constexpr std::size_t kMessageCount = 64;

// The lang.ini key of a keyed message ("FailMsg"); the enumerator's name for the other two.
std::string_view messageKeyName(MessageKey key);
// The built-in English default.
std::string_view messageDefault(MessageKey key);
// The keyed message whose lang.ini key is `name`, compared case-insensitively as INI keys are;
// nothing for an unknown name and for the two messages without a key of their own.
std::optional<MessageKey> messageKeyFromName(std::string_view name);

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
    // Throws std::invalid_argument for a null table; the current one stays.
    void replace(std::shared_ptr<const MessageTable> table);

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const MessageTable> table_;
};

// The fixed language text table: 85 rows, row 0 "Blank Check", then the rows the station adds for
// faults of its own finding. UTF-8 in every column; line breaks are "\n". Each row is named after
// its English text, spelling included ("8 devices" is EightDevices, the two-line row 84
// FastBlankingCheckCannotGuarantee).
enum class FixedText : int {
    BlankCheck = 0,
    ScanLevel = 1,
    PageSkip = 2,
    PermitEcc = 3,
    Apply = 4,
    Cancel = 5,
    FactorySetting = 6,
    FlashSetting = 7,
    FlashModuleNo = 8,
    BadBlockRateThreshold = 9,
    Save = 10,
    Load = 11,
    DeviceSetting = 12,
    DiskSplit = 13,
    Normal = 14,
    EncryptedDisk = 15,
    HiddenDisk = 16,
    HiddenOrEncryptDisk = 17,
    DiskRatio = 18,
    HiddenFiles = 19,
    AddFiles = 20,
    AddDir = 21,
    Remove = 22,
    DiskLabel = 23,
    NonlegalMulitplier = 24,
    FirmwareFileNotFound = 25,
    Warning = 26,
    SkipPageModeMayCouseFlashUnstable = 27,
    DiskSizeError = 28,
    GetBadRateError = 29,
    Sec = 30,
    StartDisk = 31,
    WriteCfg = 32,
    ReadbackCfg = 33,
    CompareCfg = 34,
    Setup = 35,
    End = 36,
    CheckDisk = 37,
    Default = 38,
    ReadCfg = 39,
    ParseCfg = 40,
    LengthOfFilepathExceeds128 = 41,
    TooManyBadBlock = 42,
    EightDevices = 43,
    SixteenDevices = 44,
    CannotFind = 45,
    CapacityRule = 46,
    AllowCapacityError = 47,
    DealWithUnsatisfying = 48,
    Degrade = 49,
    ShowError = 50,
    DoNotCare = 51,
    BadBlockNoExceed = 52,
    ValidSizeTooSmall = 53,
    SpecialScan = 54,
    FsmInit = 55,
    ModeDetection = 56,
    CreateConfig = 57,
    PageModeError = 58,
    InvalidImgFile = 59,
    ImageFile = 60,
    ManualAddFiles = 61,
    UseImageFile = 62,
    ImageFileNotExistsPleaseReassignIt = 63,
    MapImageFile = 64,
    ImageDiskSize = 65,
    CreateImage = 66,
    Create = 67,
    Success = 68,
    Fail = 69,
    InitImageDisk = 70,
    ImageWriteFile = 71,
    ImageOutput = 72,
    GetShortPathNameFail = 73,
    HiddenDiskTooSmall = 74,
    ImgFileError = 75,
    HiddenFilesInNorFlash = 76,
    SpiHiddenFilesWrite = 77,
    FlashSizeError = 78,
    SpiReadError = 79,
    NorFlashSetting = 80,
    SaveFlashImage = 81,
    Bad = 82,
    FastBlankingCheck = 83,
    FastBlankingCheckCannotGuarantee = 84,
    // The station's own rows.
    SystemAreaTooLarge = 85,
    ReadBackMismatch = 86,
    CloseWhileInProduction = 87,
    ApplyRefusedInProduction = 88,
    Language = 89,
    SettingsNotSaved = 90,
    RetryOrCloseWithoutSaving = 91,
    RunsNotRecorded = 92,
    LabelTooLong = 93,
    LabelNotInCodePage = 94,
};
inline constexpr int kFixedTextRows = 95;
static_assert(static_cast<int>(FixedText::LabelNotInCodePage) == kFixedTextRows - 1);

// The text of a row in a language; an empty text for a row or language out of range.
std::string_view fixedText(int row, int language);
inline std::string_view fixedText(FixedText row, int language) {
    return fixedText(static_cast<int>(row), language);
}

enum class OptionTable { ScanLevels, PageModes };
int optionRowCount(OptionTable table);  // 5 scan levels, 8 page modes
// An empty text for a row or language out of range.
std::string_view optionName(OptionTable table, int row, int language);

}  // namespace corvid
