// The disk finishing of a NAND device produced with firmware upgrade: the disk that "Start Disk"
// brought up is measured, formatted when it must be, labelled and given the pre-copy files; the
// hidden or encrypted part is filled from its list or its image; the disk is checked.

#include <algorithm>

#include "platform/code_page.h"
#include "production/disk_size.h"
#include "production/image_write.h"
#include "production/product_thread.h"
#include "station/station_folder.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"

namespace corvid {

namespace {

using std::chrono::milliseconds;

constexpr std::uint64_t kBytesPerMB = 1024 * 1024;
constexpr int kWholeDiskPercent = 100;

}  // namespace

bool ProductThread::diskFinishing() {
    WorkerState& w = state_;
    const StationSettings& settings = env_.seams.settings;
    closeDevice();
    if (!refreshDisk() || !reopenDevice()) {
        return false;
    }
    w.pause(milliseconds(100));
    diskSizeMB_ = bGetDiskSizeMB(w.transport, w.sDrive);
    if (diskSizeMB_ <= 0) {
        return fail(fixed(FixedText::DiskSizeError));
    }

    const bool wholeDiskEncrypted = settings.record.eDeviceFeature == DeviceFeature::Encrypted &&
                                    settings.record.iHideDiskRatio == kWholeDiskPercent;
    if (!wholeDiskEncrypted) {
        if (!normalDisk()) {
            return false;
        }
        w.setProgress(iBlankWeight_ + 85);
    }
    w.pause(milliseconds(200));

    if (settings.record.eDeviceFeature != DeviceFeature::Normal) {
        if (!secondPart()) {
            return false;
        }
        if (settings.record.bUseImgFile) {
            return true;  // an image write ends the run; its disk check is done there
        }
    }
    return checkDisk();
}

// The system's idea of the disk is stale after "Start Disk" and after the switch to the second
// part (capacity, cached blocks): it looks again before the disk is used.
bool ProductThread::refreshDisk() {
    const VolumeResult refreshed = volumes_.refresh(state_.sDrive);
    if (!refreshed) {
        diagnose(refreshed.reason);
        return fail("FileHandle " + failMsg());
    }
    return true;
}

void ProductThread::closeDevice() {
    WorkerState& w = state_;
    if (w.hDevice != kInvalidHandle) {
        w.transport.close(w.hDevice);
        w.hDevice = kInvalidHandle;
    }
}

// The handle of the run is closed before the device is opened again, so none is left behind.
bool ProductThread::reopenDevice() {
    WorkerState& w = state_;
    closeDevice();
    w.hDevice = w.transport.open(w.sDrive);
    if (w.hDevice == kInvalidHandle) {
        return fail("FileHandle " + failMsg());
    }
    return true;
}

bool ProductThread::normalDisk() {
    WorkerState& w = state_;
    const StationSettings& settings = env_.seams.settings;
    const VolumeProbe probe = volumes_.probe(w.sDrive);
    // A stored CFG of another flash type: the old volume went with the old layout.
    const bool layoutChanged = storedLayoutChanged();
    if (probe.state == VolumeState::Unreadable && !settings.chkFormat && !layoutChanged) {
        // A volume that cannot be read may hold data; only the operator's Format overrides that.
        diagnose(probe.reason);
        return fail(msg(MessageKey::FormatStr) + " " + failMsg());
    }
    if (probe.state == VolumeState::OtherFileSystem && !settings.chkFormat && !layoutChanged) {
        // Another file system holds somebody's data: kept, unless the operator asks for Format or
        // the new flash layout has lost it anyway.
        diagnose(probe.reason + " It is kept: only Format formats it.");
        return fail(msg(MessageKey::FormatStr) + " " + failMsg() + " (" + probe.fileSystem + ")");
    }
    if (probe.state != VolumeState::Fat || settings.chkFormat || layoutChanged) {
        w.pause(milliseconds(100));
        if (!formatAndLabel(settings.LabelEdit)) {
            return false;
        }
        w.pause(milliseconds(100));
    } else if (!setLabelWhenDifferent(settings.LabelEdit)) {
        return false;
    }
    w.setProgress(iBlankWeight_ + 80);
    // The firmware picks are the device's system files, never files of its disk: image.iso stays
    // off the disk also when it is not downloaded.
    const std::vector<std::int32_t> picks{settings.iProgramIndex, settings.iPreferIndex,
                                          settings.iIsoIndex};
    return copyList(settings.preCopyList, picks, msg(MessageKey::CopyFileMsg) + "...",
                    msg(MessageKey::CopyFileMsg) + failMsg());
}

bool ProductThread::formatAndLabel(const std::string& label) {
    WorkerState& w = state_;
    const FileSystemChoice choice = iChooseFileSystem(w.transport, w.sDrive);
    w.setStatus(msg(MessageKey::FormatStr) +
                (choice == FileSystemChoice::Fat32SystemUnit ? "FAT32..." : "FAT16..."));
    closeDevice();  // the format needs the volume to itself
    if (!bFormatDisk(volumes_, w.sDrive, true, choice, env_.diagnostic)) {
        return fail(msg(MessageKey::FormatStr) + " " + failMsg());
    }
    w.bPass = 1;
    if (!bSetVolumeLabel(volumes_, w.sDrive, labelBytes(label), labelCodePage(), env_.diagnostic)) {
        return fail(msg(MessageKey::SetLabelStr) + " " + failMsg());
    }
    return true;
}

bool ProductThread::setLabelWhenDifferent(const std::string& label) {
    WorkerState& w = state_;
    const std::string wanted = labelBytes(label);
    if (GetVolumeName(volumes_, w.sDrive) == wanted) {
        return true;
    }
    w.setStatus(msg(MessageKey::SetLabelStr) + "...");
    if (!bSetVolumeLabel(volumes_, w.sDrive, wanted, labelCodePage(), env_.diagnostic)) {
        return fail(msg(MessageKey::SetLabelStr) + " " + failMsg());
    }
    return true;
}

// Labels are stored in the code page of the station's language: Big5 or GBK for the Chinese
// ones, single bytes for English.
std::optional<CodePage> ProductThread::labelCodePage() const {
    switch (state_.iLanguage) {
        case kLanguageTraditionalChinese:
            return CodePage::Big5;
        case kLanguageSimplifiedChinese:
            return CodePage::Gbk;
        default:
            return std::nullopt;
    }
}

// The label as the volume stores it. A label that does not convert is passed on as it is, and
// the volume tools refuse it.
std::string ProductThread::labelBytes(const std::string& label) const {
    const std::optional<CodePage> codePage = labelCodePage();
    if (!codePage) {
        return label;
    }
    try {
        return fromUtf8(label, *codePage);
    } catch (const CodePageError& error) {
        diagnose("The volume label \"" + label + "\": " + error.what());
        return label;
    }
}

bool ProductThread::copyList(const FileList& list, const std::vector<std::int32_t>& skipped,
                             const std::string& status, const std::string& failure) {
    WorkerState& w = state_;
    const StationFolder folder(env_.seams.home);
    DiskCopy copy(volumes_, w.sDrive, env_.diagnostic, env_.seams.settings.corvid.verify);
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (std::find(skipped.begin(), skipped.end(), static_cast<std::int32_t>(i)) !=
            skipped.end()) {
            continue;
        }
        w.setStatus(status);
        if (!copy.copyEntry(folder.resolve(list[i]))) {
            return fail(copy.readBackFailed() ? fixed(FixedText::ReadBackMismatch) : failure);
        }
    }
    // The copies (and the label before them) reach the device now: before the switch to the
    // second part, the check and the verdict, none of which may rest on what the system holds.
    if (!bFlushDisk(volumes_, w.sDrive, env_.diagnostic)) {
        return fail(failure);
    }
    return true;
}

bool ProductThread::secondPart() {
    WorkerState& w = state_;
    w.setStatus(msg(MessageKey::ChangeDiskStr) + "...");
    if (!reopenDevice()) {
        return false;
    }
    if (!switchHiddenDisk(w.transport, w.hDevice)) {
        return fail(msg(MessageKey::ChangeDiskStr) + " " + failMsg());
    }
    w.pause(milliseconds(100));
    closeDevice();
    if (!refreshDisk() || !reopenDevice()) {
        return false;
    }
    return env_.seams.settings.record.bUseImgFile ? secondPartFromImage() : secondPartFromFiles();
}

bool ProductThread::secondPartFromImage() {
    WorkerState& w = state_;
    const int W = iBlankWeight_;
    const std::string mapImage = fixed(FixedText::MapImageFile);
    w.setStatus(mapImage);
    const std::filesystem::path image =
        StationFolder(env_.seams.home).resolve(env_.seams.settings.record.ImageFile);
    const std::int32_t imageMB = iImageDiskSize(image);
    if (imageMB < 0) {
        diagnose("The hidden-disk image " + image.string() +
                 " cannot be read or is no \"5VX6 IMG\" image; the run fails.");
        return fail(fixed(FixedText::ImgFileError));
    }
    diskSizeMB_ = imageMB;
    // Measured in bytes: the MB figure of the last block address is one block short, so an
    // image of exactly the part's size would not seem to fit.
    if (diskCapacityBytes(w.transport, w.sDrive) <
        static_cast<std::uint64_t>(imageMB) * kBytesPerMB) {
        return fail(fixed(FixedText::HiddenDiskTooSmall));
    }
    if (!bWriteImageFile(w, image, W + 90, W + 98)) {
        diagnose("The hidden-disk image " + image.string() + " could not be written to drive " +
                 std::string(1, w.sDrive) + ": reading the image or writing the device failed.");
        return fail(mapImage + failMsg());
    }
    if (env_.seams.settings.corvid.verify) {
        switch (verifyImageFile(w, image)) {
            case ReadBack::Same:
                break;
            case ReadBack::Differs:
                return fail(fixed(FixedText::ReadBackMismatch));
            case ReadBack::Failed:
                return fail(mapImage + failMsg());
        }
    }
    // Neither result counts (the image is written and read back already), so neither is reported.
    bCheckDisk(volumes_, w.sDrive, {});
    startStopUnit(w.transport, w.hDevice);
    w.bPass = 1;
    return true;
}

bool ProductThread::secondPartFromFiles() {
    WorkerState& w = state_;
    const StationSettings& settings = env_.seams.settings;
    w.setProgress(iBlankWeight_ + 90);
    if (!formatAndLabel(settings.record.sHideDiskLabel)) {
        return false;
    }
    w.setProgress(iBlankWeight_ + 95);
    const std::string copying = msg(MessageKey::HiddenDiskStr) + msg(MessageKey::CopyFileMsg);
    return copyList(settings.record.HideFileList, {}, copying + "...", copying + " " + failMsg());
}

bool ProductThread::checkDisk() {
    WorkerState& w = state_;
    w.setProgress(iBlankWeight_ + 95);
    if (env_.seams.settings.iOsClass <= 2) {
        w.setStatus(fixed(FixedText::CheckDisk));
        if (!bCheckDisk(volumes_, w.sDrive, env_.diagnostic)) {
            return fail(fixed(FixedText::CheckDisk) + failMsg());
        }
    }
    w.bPass = 1;
    return true;
}

}  // namespace corvid
