#include "platform/production_disk_win32.h"

#include <windows.h>

// Needs windows.h before it.
#include <winioctl.h>

#include <cctype>

#include "platform/ascii_text.h"

namespace corvid {

namespace {

std::string driveName(char letter) {
    return "drive " + std::string(1, letter) + " (\\\\.\\" + std::string(1, letter) + ":)";
}

class QueryHandle {
  public:
    explicit QueryHandle(char letter) {
        const char path[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
        // No access rights: the storage queries need none, so no administrator is needed and the
        // volume is never locked by the question.
        handle_ = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    }
    ~QueryHandle() {
        if (valid()) {
            CloseHandle(handle_);
        }
    }
    QueryHandle(const QueryHandle&) = delete;
    QueryHandle& operator=(const QueryHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The physical disk number of the volume, or -1.
long diskNumberOf(HANDLE volume) {
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    if (!DeviceIoControl(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                         sizeof number, &returned, nullptr)) {
        return -1;
    }
    return static_cast<long>(number.DeviceNumber);
}

}  // namespace

WindowsVolumeFacts windowsVolumeFacts(char letter) {
    WindowsVolumeFacts facts;
    facts.letter = letter;
    char windowsFolder[MAX_PATH] = {};
    if (GetSystemWindowsDirectoryA(windowsFolder, MAX_PATH) > 0) {
        facts.systemLetter = asciiUpper(windowsFolder[0]);
        const QueryHandle system(facts.systemLetter);
        if (system.valid()) {
            facts.systemDiskNumber = diskNumberOf(system.get());
        }
    }
    facts.present = (GetLogicalDrives() & (1u << (letter - 'A'))) != 0;
    if (!facts.present) {
        return facts;
    }
    const QueryHandle volume(letter);
    if (!volume.valid()) {
        facts.queryFailure = "cannot be opened (error " + std::to_string(GetLastError()) + ")";
        return facts;
    }
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_DEVICE_DESCRIPTOR descriptor{};
    DWORD returned = 0;
    if (!DeviceIoControl(volume.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                         &descriptor, sizeof descriptor, &returned, nullptr)) {
        facts.queryFailure = "does not say its bus (error " + std::to_string(GetLastError()) + ")";
        return facts;
    }
    facts.usb = descriptor.BusType == BusTypeUsb;
    facts.diskNumber = diskNumberOf(volume.get());
    return facts;
}

std::optional<std::string> windowsVolumeRefusal(const WindowsVolumeFacts& facts) {
    const std::string name = driveName(facts.letter);
    if (facts.letter == facts.systemLetter) {
        return name + " holds the Windows folder";
    }
    if (!facts.present) {
        return name + " has no volume";
    }
    if (!facts.queryFailure.empty()) {
        return name + " " + facts.queryFailure;
    }
    if (facts.diskNumber >= 0 && facts.diskNumber == facts.systemDiskNumber) {
        return name + " is on the disk that holds the Windows folder";
    }
    if (!facts.usb) {
        return name + " is not attached by USB";
    }
    return std::nullopt;
}

std::optional<std::string> productionDriveRefusal(char letter) {
    const char upper = asciiUpper(letter);
    if (upper < 'A' || upper > 'Z') {
        return "\"" + std::string(1, letter) + "\" is no drive letter";
    }
    return windowsVolumeRefusal(windowsVolumeFacts(upper));
}

}  // namespace corvid
