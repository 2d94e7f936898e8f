#pragma once

#include <filesystem>
#include <string>

namespace corvid {

// The station folder ("home") and the files the settings and texts live in. Relative entries of
// the file lists resolve against it.
class StationFolder {
  public:
    explicit StationFolder(std::filesystem::path home) : home_(std::move(home)) {}

    const std::filesystem::path& home() const { return home_; }
    std::filesystem::path misc() const { return home_ / "misc"; }
    std::filesystem::path preferIni() const { return misc() / "prefer.ini"; }
    std::filesystem::path preCopyListFile() const { return misc() / "seting.ini"; }
    std::filesystem::path hideListFile() const { return misc() / "hideseting.ini"; }
    std::filesystem::path spiListFile() const { return misc() / "spiseting.ini"; }
    std::filesystem::path langIni() const { return misc() / "lang.ini"; }
    std::filesystem::path fsmBin() const { return misc() / "FSM.bin"; }

    // A list entry as a path to open: relative entries are taken inside the station folder.
    std::filesystem::path resolve(const std::string& entry) const {
        const std::filesystem::path path(entry);
        return path.is_absolute() ? path : home_ / path;
    }

  private:
    std::filesystem::path home_;
};

}  // namespace corvid
