// Writes the seed corpus of every fuzz target, each made by the station's own writers or by the
// simulated device: corvid-fuzz-seeds FOLDER makes FOLDER/<target>/<seed>.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "devsim/device.h"
#include "devsim/profile.h"
#include "image/fat_volume.h"
#include "image/image_file.h"
#include "image/ram_disk.h"
#include "platform/ini_file.h"
#include "platform/registry_store.h"
#include "production/disk_size.h"
#include "simlink/wire.h"
#include "station/lang_ini_writer.h"
#include "station/settings_files.h"
#include "station/station_folder.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

void writeSeed(const fs::path& folder, const std::string& name,
               std::span<const std::uint8_t> bytes) {
    fs::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write the seed " + (folder / name).string());
    }
}

Bytes readWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && in.fail()) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return bytes;
}

void copySeed(const fs::path& folder, const std::string& name, const fs::path& file) {
    const Bytes bytes = readWhole(file);
    writeSeed(folder, name, bytes);
}

// A small volume as the image builder leaves it: a folder, a file with a long name, a label.
void buildVolume(corvid::RamDisk& disk, std::uint32_t sectors) {
    corvid::FAT_VOLUME volume(disk);
    if (!volume.ImgDiskCreate(sectors, 512) || !volume.ImgSetLabel("CORVID")) {
        throw std::runtime_error("cannot format a seed volume: " + volume.failure());
    }
    auto file = volume.ImgCreateFile(u"\\Docs\\A long file name.txt", "\\DOCS\\ALONGF~1.TXT");
    std::array<std::byte, 512> sector{};
    std::memset(sector.data(), 'c', sector.size());
    if (!file || volume.ImgWriteFile(*file, sector) == 0 || !volume.ImgCloseFile(std::move(file))) {
        throw std::runtime_error("cannot write a seed file: " + volume.failure());
    }
}

void imageSeeds(const fs::path& corpus, const fs::path& work) {
    for (const std::uint32_t sectors : {65536u, 1u << 21}) {  // FAT16 at 32 MB, FAT32 at 1 GB
        const std::string name = sectors == 65536u ? "fat16" : "fat32";
        corvid::RamDisk disk;
        if (!disk.start(512)) {
            throw std::runtime_error("cannot start a sector store");
        }
        buildVolume(disk, sectors);
        // The used sectors as records, before the save clears their marks.
        Bytes records;
        std::array<std::byte, 512> sector{};
        for (std::uint32_t s = 0; s < sectors; ++s) {
            if (!disk.isUsed(s)) {
                continue;
            }
            if (!disk.RamDiskRead(s, 1, sector.data())) {
                throw std::runtime_error("cannot read seed sector " + std::to_string(s));
            }
            // A sector without a record reads as zeros: leave the zero ones out.
            if (std::all_of(sector.begin(), sector.end(),
                            [](std::byte b) { return b == std::byte{0}; })) {
                continue;
            }
            for (int shift = 0; shift < 32; shift += 8) {
                records.push_back(static_cast<std::uint8_t>(s >> shift));
            }
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(sector.data());
            records.insert(records.end(), bytes, bytes + sector.size());
        }
        writeSeed(corpus / "fat_volume", name, records);

        const fs::path image = work / (name + ".img");
        std::string failure;
        if (!corvid::ImgSave(disk, image, false, sectors / 2048, &failure)) {
            throw std::runtime_error(failure);
        }
        copySeed(corpus / "image_file", name, image);
    }
}

void stationSeeds(const fs::path& corpus, const fs::path& work) {
    const corvid::StationFolder folder(work / "station");
    fs::create_directories(folder.misc());
    const corvid::StationSettings settings = corvid::newStationSettings(folder);
    corvid::writePreferIni(folder.preferIni(), settings);
    copySeed(corpus / "settings", "prefer.ini", folder.preferIni());

    const auto registry = corvid::openIniRegistryStore(folder.misc() / "registry.ini");
    registry->writeInt("SoftWare\\ZQL5V16\\MPTool", "LanguageID", 2052);
    registry->writeString("SoftWare\\ZQL5V16\\MPTool", "Station", "line 3");
    copySeed(corpus / "settings", "registry.ini", folder.misc() / "registry.ini");

    corvid::writeListFile(folder.preCopyListFile(),
                          {"files\\readme.txt", "files\\Folder", "C:\\absolute\\name.bin"});
    copySeed(corpus / "list_file", "seting.ini", folder.preCopyListFile());
    const std::string eightBit = "files\\one.txt\r\nfiles\\two.txt\r\n";
    writeSeed(corpus / "list_file", "eight-bit.ini",
              {reinterpret_cast<const std::uint8_t*>(eightBit.data()), eightBit.size()});

    corvid::writeStationLangIni(folder.langIni());
    copySeed(corpus / "lang_ini", "lang.ini", folder.langIni());

    const fs::path flash = work / "flash";
    fs::create_directories(flash);
    corvid::IniFile flashIni(flash / "flash.ini");
    flashIni.writeString("K9GAG08U0M.txt", "1", "Samsung 2 GB");
    flashIni.writeString("K9GAG08U0M.txt", "2", "Samsung 4 GB");
    copySeed(corpus / "flash_file", "flash.ini", flash / "flash.ini");
    Bytes description(512, 0);
    const std::string embedded = "K9GAG08U0M";
    std::memcpy(description.data() + 480, embedded.data(), embedded.size());
    writeSeed(corpus / "flash_file", "description.txt", description);

    for (const corvid::devsim::ProfileSummary& summary : corvid::devsim::builtinProfiles()) {
        const std::string ini =
            corvid::devsim::profileToIni(corvid::devsim::resolveProfile(summary.name));
        writeSeed(corpus / "devsim_profile", summary.name + ".ini",
                  {reinterpret_cast<const std::uint8_t*>(ini.data()), ini.size()});
    }
}

// A transport straight to a simulated device that keeps each request as the host receives it
// (the devsim_request seeds) and each reply as the station receives it (one device_replies seed).
class RecordingDevice : public corvid::Transport {
  public:
    explicit RecordingDevice(corvid::devsim::Device& device) : device_(device) {}

    corvid::DeviceHandle open(char) override { return 1; }
    void close(corvid::DeviceHandle) override {}
    bool sendBuffered(corvid::DeviceHandle handle, const corvid::ScsiRequest& request) override {
        return sendDirect(handle, request);
    }
    bool sendDirect(corvid::DeviceHandle, const corvid::ScsiRequest& request) override {
        namespace simlink = corvid::simlink;
        simlink::WireRequest wire{};
        wire.magic = simlink::kWireMagic;
        wire.version = simlink::kWireVersion;
        wire.cdbLength = request.cdbLength;
        const bool out = request.direction == corvid::DataDirection::Out;
        wire.direction = static_cast<std::uint8_t>(out ? simlink::WireDirection::Out
                                                       : simlink::WireDirection::In);
        std::memcpy(wire.cdb, request.cdb.data(), request.cdbLength);
        wire.transferLength = request.transferLength;
        std::span<const std::uint8_t> dataOut;
        if (out) {
            dataOut = {request.data, request.transferLength};
        }
        Bytes seed(sizeof(wire));
        std::memcpy(seed.data(), &wire, sizeof(wire));
        seed.insert(seed.end(), dataOut.begin(), dataOut.end());
        requests.push_back(std::move(seed));

        const corvid::devsim::DeviceReply reply = device_.handle(wire, dataOut);
        const bool ok = reply.header.status == static_cast<std::uint8_t>(simlink::WireStatus::Good);
        const auto length =
            static_cast<std::uint16_t>(std::min<std::size_t>(reply.data.size(), 0xFFFF));
        replies.push_back(static_cast<std::uint8_t>(length));
        replies.push_back(static_cast<std::uint8_t>(length >> 8));
        replies.push_back(ok ? 1 : 0);
        replies.insert(replies.end(), reply.data.begin(), reply.data.begin() + length);
        if (!out && request.data != nullptr && !reply.data.empty()) {
            std::memcpy(request.data, reply.data.data(),
                        std::min<std::size_t>(reply.data.size(), request.transferLength));
        }
        return ok;
    }

    std::vector<Bytes> requests;
    Bytes replies;

  private:
    corvid::devsim::Device& device_;
};

void deviceSeeds(const fs::path& corpus, const fs::path& work) {
    for (const char* profile : {"nand-2k", "spi"}) {
        corvid::devsim::DeviceSettings settings;
        settings.profile = corvid::devsim::resolveProfile(profile);
        settings.stateDir = work / (std::string("device-") + profile);
        fs::create_directories(settings.stateDir);
        settings.timing.resetAwayMs = 0;
        corvid::devsim::Device device(settings);
        device.powerUp(false);
        RecordingDevice transport(device);

        // The commands of fuzz_device_replies, in its order.
        (void)corvid::bGetDiskSizeMB(transport, 'E');
        std::array<std::uint8_t, corvid::kInquiryLength> inquiry{};
        (void)corvid::inquiry(transport, 1, inquiry);
        std::uint8_t maker = 0;
        std::uint32_t flashId = 0;
        (void)corvid::readFlashId(transport, 1, maker, flashId);
        (void)corvid::getFlashCount(transport, 1);
        (void)corvid::getPort(transport, 1);
        std::array<std::uint8_t, corvid::kCfgBlockSize> cfg{};
        (void)corvid::readCfg(transport, 1, cfg);
        std::vector<std::uint8_t> map(2048);
        (void)corvid::readBlockMap(transport, 1, map);
        corvid::ScanBlockArgs scan;
        scan.blockCount = 4;
        std::vector<std::uint8_t> results(64);
        (void)corvid::scanBlock(transport, 1, scan, results);
        scan.resultPerPage = true;
        scan.pagesPerBlock = 64;
        (void)corvid::scanBlock(transport, 1, scan, results);
        writeSeed(corpus / "device_replies", profile, transport.replies);

        // A few writes too, for the device side.
        (void)corvid::writeCfgBlock(transport, 1, cfg);
        (void)corvid::setCapMultiplier(transport, 1, 1);
        std::vector<std::uint8_t> page(2048 + 64, 0x5A);
        (void)corvid::writePage(transport, 1, 0, 1, 0, page);
        (void)corvid::eraseBlock(transport, 1, 0, 1);
        for (std::size_t i = 0; i < transport.requests.size(); ++i) {
            writeSeed(corpus / "devsim_request", std::string(profile) + "-" + std::to_string(i),
                      transport.requests[i]);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: corvid-fuzz-seeds FOLDER\n";
        return 2;
    }
    try {
        const fs::path corpus = argv[1];
        const fs::path work = corpus / ".work";
        fs::remove_all(work);
        fs::create_directories(work);
        imageSeeds(corpus, work);
        stationSeeds(corpus, work);
        deviceSeeds(corpus, work);
        fs::remove_all(work);
    } catch (const std::exception& e) {
        std::cerr << "corvid-fuzz-seeds: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
