#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvid {

// Paths of files and folders in the operator's order, as UTF-8 text. An entry is used as it is
// written; a relative entry resolves against the station folder.
using FileList = std::vector<std::string>;

// Disk split.
enum class DeviceFeature : std::uint8_t { Normal = 0, Encrypted = 1, Hidden = 2 };

// What to do when the disk is short by more than AllowErrorRate.
enum class CapErrorDeal : std::uint8_t { Degrade = 0, ShowError = 1, DoNotCare = 2 };

// CapMultiplier is an index into these multipliers; -1 means no valid choice.
inline constexpr int kCapMultipliers[] = {1, 2, 4, 8, 16, 32};
inline constexpr int kCapMultiplierCount = 6;

// SystemAreaComBo item i means (i + 1) x 4 MiB; -1 means no item chosen.
inline constexpr int kSystemAreaItemCount = 16;
constexpr int systemAreaItemMiB(int itemIndex) {
    return (itemIndex + 1) * 4;
}

// The settings record edited by the settings dialog. Members keep their stored names; the
// defaults are those of a station whose prefer.ini lacks the key.
struct SETTING_T {
    std::int32_t CapMultiplier = 0;   // 0..5 into kCapMultipliers, -1 none
    std::int32_t iScanLevel = 0;      // 0..4, "Level 1".."Level 5"
    std::int32_t iPageSkip = 0;       // 0..64
    std::int32_t iEccLevel = 2;       // 0 "Default", n in 1..7 is ECC level n - 1
    std::int32_t iBadThreshold = 20;  // percent of bad blocks that forces a blanking check
    bool PageMode = false;            // special (page) scan
    std::int32_t PageModeSel = 0;     // 0..7, see OptionTable::PageModes
    DeviceFeature eDeviceFeature = DeviceFeature::Normal;
    std::int32_t iHideDiskRatio = 10;  // 1..100 percent for the hidden or encrypted part
    FileList HideFileList;             // copied to the hidden disk (hideseting.ini)
    FileList SpiFileList;              // written to the SPI (NOR) flash (spiseting.ini)
    std::string sHideDiskLabel;        // at most 8 characters, upper case
    std::int32_t AllowErrorRate = 2;   // 1..20 percent
    CapErrorDeal DealCapError = CapErrorDeal::Degrade;
    bool bUseImgFile = false;       // hidden disk from ImageFile instead of HideFileList
    std::string ImageFile;          // hidden-disk image ("5VX6 IMG")
    std::int32_t iImgDiskSize = 0;  // MB, from ImageFile's header at first display; not stored
    bool SaveSpiImage = false;      // first slot saves the NOR flash to NorImage.bin
};

// Corvid's own settings, beside the station's in section Corvid of prefer.ini; the INI key is
// given after each.
struct CorvidSettings {
    bool verify = false;           // "Verify": read back every copied file and image sector
    bool productionRecord = true;  // "ProductionRecord": one row per ended run in the record
    std::string recordDatabase;    // "RecordDatabase": postgresql://... a factory's shared record
};

// Everything the station's settings hold: the nine settings of the main window's controls, the
// record, Corvid's own settings, the pre-copy list and the values derived from files and the
// system. The UI thread loads, edits and saves it; workers read it without a lock while the
// setting groups are disabled (iRunning > 0), so it must not change during a production run.
struct StationSettings {
    // Held by the main window's controls; the INI key is given after each.
    bool chkFormat = false;            // "Format"
    bool chkBlankCheck = false;        // "Blanking check"
    bool chkFwUpgrade = true;          // "FwUpgrade"
    bool chkISOupgrade = false;        // "ISO upgrade"
    bool CheckManuupgrade = false;     // "Manual Upgrade"
    bool SystemAreachk = false;        // "System Area check"
    std::int32_t SystemAreaComBo = 0;  // "System Area Size": item index 0..15, -1 none
    bool chkParityCheck = true;        // "FwParityCheck"
    std::string LabelEdit;             // "Label": volume label, at most 11 characters

    SETTING_T record;
    CorvidSettings corvid;

    // The pre-copy list: firmware files (program .bin, prefer.dat, image.iso) and the files and
    // folders copied onto the device (seting.ini).
    FileList preCopyList;

    // Firmware picks: indices into preCopyList (-1 when absent) and the sizes in bytes of the
    // picked files, measured when the picks were made.
    std::int32_t iProgramIndex = -1;
    std::int32_t iPreferIndex = -1;
    std::int32_t iIsoIndex = -1;
    std::int32_t iProgramSize = 0;
    std::int32_t iPreferSize = 0;
    std::int32_t iIsoSize = 0;

    // misc/FSM.bin of the station folder and its size, taken at each language load.
    std::string sFsmPath;
    std::int32_t iFsmSize = 0;

    // Operating-system class; the worker runs its check-disk step only when it is 2 or less.
    std::int32_t iOsClass = 0;
};

}  // namespace corvid
