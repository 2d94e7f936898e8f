#include "station/settings_files.h"

#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/code_page.h"
#include "platform/ini_file.h"
#include "platform/text_file.h"
#include "station/capacity_multiplier.h"
#include "station/firmware_picks.h"
#include "station/os_class.h"

namespace corvid {

namespace {

// Sections of older stations that every save removes from prefer.ini.
constexpr char kHideFilesSection[] = "HIDE_FILES";
constexpr char kSpiHideFilesSection[] = "SPI_HIDE_FILES";

// Text without a byte-order mark is in the system's 8-bit code page, which is UTF-8 here.
constexpr CodePage kSystemCodePage = CodePage::Utf8;

class PreferReader {
  public:
    explicit PreferReader(const std::filesystem::path& path) : ini_(path) {}

    int integer(const char* key, int defaultValue) const {
        return ini_.readInt(kPreferSection, key, defaultValue);
    }
    bool flag(const char* key, bool defaultValue) const {
        return integer(key, defaultValue ? 1 : 0) != 0;
    }
    std::uint8_t byte(const char* key, std::uint8_t defaultValue) const {
        return static_cast<std::uint8_t>(integer(key, defaultValue));
    }
    std::string text(const char* key) const { return ini_.readString(kPreferSection, key, ""); }

  private:
    IniFile ini_;
};

std::string number(int value) {
    return std::to_string(value);
}
std::string flag(bool value) {
    return value ? "1" : "0";
}

bool isDirectory(const std::filesystem::path& path) {
    std::error_code ignored;
    return std::filesystem::is_directory(path, ignored);
}

bool isReadableFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return static_cast<bool>(in);
}

void requireMisc(const StationFolder& folder, const char* what) {
    if (!isDirectory(folder.misc())) {
        throw SettingsError(std::string("cannot ") + what + " the settings: the folder " +
                            folder.misc().string() + " is missing");
    }
}

}  // namespace

StationSettings newStationSettings(const StationFolder& folder) {
    StationSettings settings;
    settings.sFsmPath = folder.fsmBin().string();
    settings.iOsClass = hostOsClass();
    return settings;
}

void readPreferIni(const std::filesystem::path& path, StationSettings& settings) {
    const PreferReader in(path);
    const StationSettings defaults;
    SETTING_T& record = settings.record;
    const SETTING_T& def = defaults.record;

    settings.chkFormat = in.flag("Format", defaults.chkFormat);
    settings.chkBlankCheck = in.flag("Blanking check", defaults.chkBlankCheck);
    settings.chkFwUpgrade = in.flag("FwUpgrade", defaults.chkFwUpgrade);
    settings.chkISOupgrade = in.flag("ISO upgrade", defaults.chkISOupgrade);
    settings.CheckManuupgrade = in.flag("Manual Upgrade", defaults.CheckManuupgrade);
    settings.SystemAreachk = in.flag("System Area check", defaults.SystemAreachk);
    // The combo box takes an item index or none; anything else leaves it with none.
    const int item = in.integer("System Area Size", defaults.SystemAreaComBo);
    settings.SystemAreaComBo = (item >= 0 && item < kSystemAreaItemCount) ? item : -1;
    settings.LabelEdit = in.text("Label");
    settings.chkParityCheck = in.flag("FwParityCheck", defaults.chkParityCheck);
    record.CapMultiplier = in.integer("CapMultiplier", def.CapMultiplier);
    record.iScanLevel = in.integer("iScanLevel", def.iScanLevel);
    record.iPageSkip = in.integer("iPageSkip", def.iPageSkip);
    record.iEccLevel = in.integer("iEccLevel", def.iEccLevel);
    record.iBadThreshold = in.integer("iBadThreshold", def.iBadThreshold);
    record.eDeviceFeature = static_cast<DeviceFeature>(
        in.byte("eDeviceFeature", static_cast<std::uint8_t>(def.eDeviceFeature)));
    record.iHideDiskRatio = in.integer("iHideDiskRatio", def.iHideDiskRatio);
    record.sHideDiskLabel = in.text("sHideDiskLabel");
    record.bUseImgFile = in.flag("bUseImgFile", def.bUseImgFile);
    record.ImageFile = in.text("ImageFile");
    record.SaveSpiImage = in.flag("SaveSpiImage", def.SaveSpiImage);
    record.AllowErrorRate = in.integer("AllowErrorRate", def.AllowErrorRate);
    record.DealCapError = static_cast<CapErrorDeal>(
        in.byte("DealCapError", static_cast<std::uint8_t>(def.DealCapError)));
    record.PageMode = in.flag("PageMode", def.PageMode);
    record.PageModeSel = in.integer("PageModeSel", def.PageModeSel);
}

void writePreferIni(const std::filesystem::path& path, const StationSettings& settings) {
    const SETTING_T& record = settings.record;
    IniFile ini(path);
    try {
        ini.writeStrings(kPreferSection,
                         {
                             {"Format", number(settings.chkFormat)},
                             {"Blanking check", number(settings.chkBlankCheck)},
                             {"FwUpgrade", number(settings.chkFwUpgrade)},
                             {"ISO upgrade", number(settings.chkISOupgrade)},
                             {"Manual Upgrade", number(settings.CheckManuupgrade)},
                             {"System Area check", number(settings.SystemAreachk)},
                             {"System Area Size", number(settings.SystemAreaComBo)},
                             {"FwParityCheck", number(settings.chkParityCheck)},
                             {"Label", settings.LabelEdit},
                             {"CapMultiplier", number(record.CapMultiplier)},
                             {"iScanLevel", number(record.iScanLevel)},
                             {"iPageSkip", number(record.iPageSkip)},
                             {"iEccLevel", number(record.iEccLevel)},
                             {"iBadThreshold", number(record.iBadThreshold)},
                             {"eDeviceFeature", number(static_cast<int>(record.eDeviceFeature))},
                             {"iHideDiskRatio", number(record.iHideDiskRatio)},
                             {"sHideDiskLabel", record.sHideDiskLabel},
                             {"bUseImgFile", flag(record.bUseImgFile)},
                             {"ImageFile", record.ImageFile},
                         });
        ini.eraseSection(kHideFilesSection);
        ini.eraseSection(kSpiHideFilesSection);
        ini.writeStrings(kPreferSection,
                         {
                             {"AllowErrorRate", number(record.AllowErrorRate)},
                             {"DealCapError", number(static_cast<int>(record.DealCapError))},
                             {"SaveSpiImage", flag(record.SaveSpiImage)},
                             {"PageMode", flag(record.PageMode)},
                             {"PageModeSel", number(record.PageModeSel)},
                         });
    } catch (const std::exception& e) {
        throw SettingsError(e.what());
    }
}

FileList readListFile(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        return {};
    }
    try {
        return readTextLines(path, kSystemCodePage);
    } catch (const std::exception& e) {
        throw SettingsError(std::string("cannot load the file list: ") + e.what());
    }
}

void writeListFile(const std::filesystem::path& path, const FileList& list) {
    try {
        writeUtf16LeLines(path, list);
    } catch (const CodePageError& e) {
        throw SettingsError("cannot write the file " + path.string() +
                            ": an entry is not valid UTF-8 text (" + e.what() + ")");
    } catch (const std::exception& e) {
        throw SettingsError(e.what());
    }
}

FileList dropUnusableEntries(FileList& list, const StationFolder& folder) {
    FileList dropped;
    for (std::size_t i = list.size(); i-- > 0;) {
        const std::filesystem::path path = folder.resolve(list[i]);
        if (list[i].empty() || (!isDirectory(path) && !isReadableFile(path))) {
            dropped.insert(dropped.begin(), std::move(list[i]));
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    return dropped;
}

SettingsLoadReport loadStationSettings(const StationFolder& folder, StationSettings& settings) {
    requireMisc(folder, "load");
    SettingsLoadReport report;
    settings.preCopyList = readListFile(folder.preCopyListFile());
    report.droppedPreCopy = dropUnusableEntries(settings.preCopyList, folder);
    settings.record.HideFileList = readListFile(folder.hideListFile());
    report.droppedHide = dropUnusableEntries(settings.record.HideFileList, folder);
    settings.record.SpiFileList = readListFile(folder.spiListFile());
    report.droppedSpi = dropUnusableEntries(settings.record.SpiFileList, folder);

    readPreferIni(folder.preferIni(), settings);

    const CapMultiplierRead multiplier = readCapMultiplierFromFirmware(settings, folder);
    report.multiplierFirmware = multiplier.firmwareEntry;
    report.multiplierFromFirmware = multiplier.found;

    recomputeFirmwarePicks(settings, folder);
    return report;
}

void saveStationSettings(const StationFolder& folder, const StationSettings& settings) {
    requireMisc(folder, "save");
    writeListFile(folder.hideListFile(), settings.record.HideFileList);
    writeListFile(folder.spiListFile(), settings.record.SpiFileList);
    writePreferIni(folder.preferIni(), settings);
    writeListFile(folder.preCopyListFile(), settings.preCopyList);
}

}  // namespace corvid
