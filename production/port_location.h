#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace corvid {

class WorkerState;

// Where a device sits on the USB tree, as three numbers the slot shows as "<a-b-c>".
struct HubLocation {
    int a = 0;
    int b = 0;
    int c = 0;
};

// The slot's text for a location: "<" a "-" b "-" c ">".
std::string portLocationText(const HubLocation& location);

// The exit code of the port-location program: decimal digits give the location (code / 100 mod
// 100, code / 10 mod 10, code mod 10); a multiple of 100 means it found none.
std::optional<HubLocation> decodePortProgramCode(int exitCode);

// Another source of the same three numbers when the station has no port-location program: the
// device bus backend (the simulator's port, or the USB hub path of the disk on Linux).
class PortLocationSource {
  public:
    virtual ~PortLocationSource() = default;
    virtual std::optional<HubLocation> locate(char driveLetter, int portNumber) const = 0;
};

// A device that sits on the one hub of its bus (the simulator's): its own port number is the
// whole location, shown as "<1-0-port>".
class SingleHubPortLocationSource : public PortLocationSource {
  public:
    std::optional<HubLocation> locate(char driveLetter, int portNumber) const override;
};

// misc/usbdos (misc\usbdos.exe on Windows) of the station folder.
std::filesystem::path portProgramPath(const std::filesystem::path& home);

// The system's own source of the USB location (port_location_linux.cpp: sysfs), or null where
// the system has none and the port-location program alone tells it (port_location_win32.cpp).
std::unique_ptr<PortLocationSource> systemPortLocationSource();

// Asks the device for its port number and shows where it sits in the slot's detail text P: from
// the port-location program when the station has one, else from 'source' (may be null).
void QueryPortLocation(WorkerState& w, const PortLocationSource* source);

}  // namespace corvid
