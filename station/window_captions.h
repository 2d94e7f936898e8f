#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "station/messages.h"
#include "station/production_settings.h"

namespace corvid {

// The FSM file keeps its version text ("FSM...", up to 255 bytes, zero-terminated) at this offset.
inline constexpr std::uint32_t kFsmVersionOffset = 8192;
inline constexpr std::size_t kFsmVersionMaxBytes = 255;
inline constexpr char kFsmVersionUnknown[] = "FSM Ver.x.x";

struct FsmVersion {
    bool opened = false;
    std::int32_t size = 0;  // bytes; meaningful when opened
    std::string text;       // kFsmVersionUnknown when the file has no version text
};
FsmVersion readFsmVersion(const std::filesystem::path& fsmPath);

// One control's new caption or text.
struct Caption {
    std::string control;  // the window's control name, for example "chkFormat"
    std::string text;
};

// Names that are not a control of the main window.
inline constexpr char kCaptionWindow[] = "Caption";  // the main window's caption
inline constexpr char kCaptionApplication[] = "Application.Title";
inline constexpr char kCaptionSettingsDialog[] = "frmSetting.Caption";

// The captions the window sets at a language load, in the order it sets them: the eight slot
// status lines (the window also sets every progress bar to 0 at that point), the disk-feature
// label (left out for an unknown split), the buttons, the window caption with 'fsmVersion', the
// application title, and on to the settings dialog's caption.
std::vector<Caption> composeWindowCaptions(const MessageTable& messages, int iLanguage,
                                           const StationSettings& settings,
                                           const std::string& fsmVersion);

}  // namespace corvid
