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
#include "fuzz/device_questions.h"
#include "fuzz/replay_transport.h"
#include "fuzz/worker_cfg_steps.h"
#include "image/fat_volume.h"
#include "image/image_file.h"
#include "image/ram_disk.h"
#include "platform/ini_file.h"
#include "platform/registry_store.h"
#include "production/disk_size.h"
#include "production/file_downloads.h"
#include "production/sample_files.h"
#include "simlink/wire.h"
#include "station/lang_ini_writer.h"
#include "station/settings_files.h"
#include "station/station_folder.h"
#include "transport/plugin_checks.h"
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
        if (const corvid::Result saved = corvid::ImgSave(disk, image, false, sectors / 2048);
            !saved) {
            throw std::runtime_error(saved.reason);
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
// (the devsim_request seeds), and each reply both as the replay transport plays it and as the
// simulator's wire carries it.
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
        corvid::fuzz::appendReply(replies, reply.data, ok);
        const auto* header = reinterpret_cast<const std::uint8_t*>(&reply.header);
        wireReplies.insert(wireReplies.end(), header, header + sizeof(reply.header));
        wireReplies.insert(wireReplies.end(), reply.data.begin(), reply.data.end());
        if (!out && request.data != nullptr && !reply.data.empty()) {
            std::memcpy(request.data, reply.data.data(),
                        std::min<std::size_t>(reply.data.size(), request.transferLength));
        }
        return ok;
    }

    void forgetReplies() {
        replies.clear();
        wireReplies.clear();
    }

    std::vector<Bytes> requests;
    Bytes replies;
    Bytes wireReplies;

  private:
    corvid::devsim::Device& device_;
};

corvid::devsim::DeviceSettings deviceSettings(const char* profile, const fs::path& work) {
    corvid::devsim::DeviceSettings settings;
    settings.profile = corvid::devsim::resolveProfile(profile);
    settings.stateDir = work / (std::string("device-") + profile);
    fs::create_directories(settings.stateDir);
    settings.timing.resetAwayMs = 0;
    return settings;
}

// As the station leaves a device before its run: reset out of its boot code, with the FSM loaded.
void readyDevice(RecordingDevice& transport, const fs::path& work) {
    if (corvid::needsReset(transport, 'E') && !corvid::resetByLetter(transport, 'E')) {
        throw std::runtime_error("the simulated device refused its reset");
    }
    const fs::path fsm = work / "fsm.bin";
    corvid::writeSampleFsm(fsm);
    if (!corvid::bDownloadFsm(transport, 'E', fsm, corvid::announcedFileSize(fsm))) {
        throw std::runtime_error("the simulated device refused its FSM");
    }
    transport.forgetReplies();
}

void deviceSeeds(const fs::path& corpus, const fs::path& work) {
    for (const char* profile : {"nand-2k", "spi"}) {
        corvid::devsim::Device device(deviceSettings(profile, work));
        device.powerUp(false);
        RecordingDevice transport(device);
        readyDevice(transport, work);

        (void)corvid::bGetDiskSizeMB(transport, 'E');
        Bytes replies = transport.replies;
        transport.forgetReplies();
        corvid::fuzz::askEveryQuestion(transport, 1);
        replies.insert(replies.end(), transport.replies.begin(), transport.replies.end());
        writeSeed(corpus / "device_replies", profile, replies);
        writeSeed(corpus / "sim_replies", profile, transport.wireReplies);

        // A few writes too, for the device side.
        std::array<std::uint8_t, corvid::kCfgBlockSize> cfg{};
        (void)corvid::readCfg(transport, 1, cfg);
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

// The CFG steps on a simulated nand-2k device: the CFG built from its ID with what the device kept,
// the same CFG as a description file with the blanking check, and as a given CFG with the page
// scan.
void workerCfgSeeds(const fs::path& corpus, const fs::path& work) {
    using namespace corvid::fuzz;
    corvid::devsim::Device device(deviceSettings("nand-2k", work));
    device.powerUp(false);
    RecordingDevice transport(device);
    readyDevice(transport, work);
    std::uint8_t maker = 0;
    std::uint32_t flashId = 0;
    if (!corvid::readFlashId(transport, 1, maker, flashId)) {
        throw std::runtime_error("the simulated device gave no flash ID");
    }
    CfgRunHeader header{};
    header.flashId[0] = maker;
    for (int i = 0; i < 4; ++i) {
        header.flashId[1 + i] = static_cast<std::uint8_t>(flashId >> (24 - 8 * i));
    }
    header.chips = std::max<std::uint8_t>(corvid::getFlashCount(transport, 1), 1);
    Bytes file(kCfgRunFileSize, 0);
    const corvid::FlashIdBytes id{header.flashId[0], header.flashId[1], header.flashId[2],
                                  header.flashId[3], header.flashId[4]};
    if (!corvid::buildCfgFromId(id, header.chips, file)) {
        throw std::runtime_error("no CFG for the simulated device's flash ID");
    }
    const fs::path home = work / "worker";
    fs::create_directories(home / "flash");
    fs::create_directories(home / "log");

    const std::pair<const char*, std::uint8_t> runs[] = {
        {"kept", FirmwareUpgrade},
        {"described-blank", Described | BlankCheck | WriteLogs},
        {"given-page-scan", RawCfg | BlankCheck | PageScan},
    };
    for (const auto& [name, flags] : runs) {
        header.flags = flags;
        transport.forgetReplies();
        runCfgSteps(transport, home, header, file);
        Bytes seed(sizeof(header));
        std::memcpy(seed.data(), &header, sizeof(header));
        seed.insert(seed.end(), file.begin(), file.end());
        seed.insert(seed.end(), transport.replies.begin(), transport.replies.end());
        writeSeed(corpus / "worker_cfg", name, seed);
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
        workerCfgSeeds(corpus, work);
        fs::remove_all(work);
    } catch (const std::exception& e) {
        std::cerr << "corvid-fuzz-seeds: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
