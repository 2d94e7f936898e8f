#include "station/disk_feature.h"

#include "station/messages.h"

namespace corvid {

namespace {

constexpr int kRowNormal = 14;
constexpr int kRowEncryptedDisk = 15;
constexpr int kRowHiddenDisk = 16;

std::string withRatio(int row, const SETTING_T& record, int language) {
    return std::string(fixedText(row, language)) + std::to_string(record.iHideDiskRatio) + "%";
}

}  // namespace

std::optional<std::string> diskFeatureText(const SETTING_T& record, int language) {
    switch (record.eDeviceFeature) {
        case DeviceFeature::Normal:
            return std::string(fixedText(kRowNormal, language));
        case DeviceFeature::Encrypted:
            return withRatio(kRowEncryptedDisk, record, language);
        case DeviceFeature::Hidden:
            return withRatio(kRowHiddenDisk, record, language);
    }
    return std::nullopt;
}

}  // namespace corvid
