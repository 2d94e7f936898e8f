#pragma once

#include <optional>
#include <string>

#include "station/production_settings.h"

namespace corvid {

// The text of the disk-feature label in 'language': "Normal", or "Encrypted disk" / "Hidden disk"
// followed by the ratio and "%" (Hidden disk25%). Empty for an unknown split, which leaves the
// label as it was.
std::optional<std::string> diskFeatureText(const SETTING_T& record, int language);

}  // namespace corvid
