#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "station/operator_prompt.h"
#include "station/production_settings.h"
#include "station/station_folder.h"

namespace corvid {

// The firmware file starts with the chip name and carries the capacity multiplier index behind
// a two-byte mark at a fixed offset.
inline constexpr std::string_view kFirmwareChipName = "5V16";
inline constexpr std::uint32_t kCapMultiplierOffset = 38909;  // 0x97FD
inline constexpr std::uint8_t kCapMultiplierMark0 = 0x55;
inline constexpr std::uint8_t kCapMultiplierMark1 = 0xAA;

struct CapMultiplierField {
    std::uint8_t mark0;
    std::uint8_t mark1;
    std::uint8_t index;  // CapMultiplier
};
static_assert(sizeof(CapMultiplierField) == 3);

// Result of reading the multiplier from the first ".bin" entry of the pre-copy list.
struct CapMultiplierRead {
    bool opened = false;        // the first ".bin" entry could be opened
    std::string firmwareEntry;  // that entry; empty when the list has none
    bool found = false;         // it carried a valid multiplier, now in CapMultiplier
};

// Sets record.CapMultiplier from the firmware file when the file carries the mark and an index
// of 0..5; otherwise nothing changes.
CapMultiplierRead readCapMultiplierFromFirmware(StationSettings& settings,
                                                const StationFolder& folder);

// Writes index 0..5 into the first ".bin" entry that starts with the chip name, when that file
// holds both mark bytes at the field's offset; a file without them, or too short, is left as it
// is. Reports a bad index ("nonlegal mulitplier") or a missing firmware file ("Firmware file not
// found") to the operator in 'language'. Returns true when the file was changed.
bool writeCapMultiplierToFirmware(const FileList& preCopyList, const StationFolder& folder,
                                  int index, OperatorPrompt& prompt, int language);

}  // namespace corvid
