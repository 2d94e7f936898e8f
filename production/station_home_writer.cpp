#include "production/station_home_writer.h"

#include <array>
#include <fstream>
#include <system_error>

#include "characterisation/flash_database.h"
#include "characterisation/flash_info.h"
#include "platform/ini_file.h"
#include "production/bitmap_writer.h"
#include "production/sample_files.h"
#include "station/lang_ini_writer.h"
#include "station/settings_files.h"
#include "station/station_folder.h"

namespace corvid {

namespace {

constexpr char kProgramEntry[] = "misc/program.bin";
constexpr char kPreferEntry[] = "misc/prefer.dat";

bool holdsAnything(const std::filesystem::path& folder) {
    std::error_code error;
    return std::filesystem::exists(folder, error) &&
           std::filesystem::directory_iterator(folder, error) !=
               std::filesystem::directory_iterator();
}

void createFolder(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error || !std::filesystem::is_directory(folder)) {
        throw StationHomeError("The folder " + folder.string() + " cannot be created.");
    }
}

// A description file: the CFG built from the flash ID, with the name at offset 480.
void writeDescription(const std::filesystem::path& path, const SampleFlash& flash) {
    std::array<std::uint8_t, cfg::kSize> block{};
    FlashIdBytes id{};
    std::copy(std::begin(flash.id), std::end(flash.id), id.begin());
    if (!buildCfgFromId(id, 1, block)) {
        throw StationHomeError("The flash " + flash.fileName +
                               " has a device code the CFG table does not know.");
    }
    const std::string name(flash.embeddedName);
    std::copy(name.begin(), name.begin() + std::min(name.size(), cfg::kFlashNameLength - 1),
              block.begin() + cfg::kFlashName);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(block.data()), block.size());
    if (!out.flush()) {
        throw StationHomeError("The flash description " + path.string() + " cannot be written.");
    }
}

void writeFlashFolder(const std::filesystem::path& flashDir) {
    createFolder(flashDir);
    IniFile names(flashDir / "flash.ini");
    for (const auto& flash : sampleFlashes()) {
        writeDescription(flashDir / flash.fileName, flash);
        names.writeString(flash.fileName, "1", flash.displayName);
    }
}

}  // namespace

const std::vector<SampleFlash>& sampleFlashes() {
    static const std::vector<SampleFlash> flashes = {
        {"Samsung_2Gbit_SLC.txt", {0xEC, 0xDA, 0x10, 0x95, 0x44}, "Samsung 2Gbit SLC", ""},
        {"Samsung_256Mbit_SP.txt",
         {0xEC, 0x75, 0x00, 0x00, 0x00},
         "Samsung 256Mbit small page",
         ""},
        {"Samsung_32Gbit_MLC.txt",
         {0xEC, 0xD7, 0x94, 0xB6, 0x74},
         "Samsung 32Gbit MLC",
         "SAMSUNG 32G MLC 4K"},
    };
    return flashes;
}

void writeStationHome(const std::filesystem::path& home, bool overwrite) {
    std::error_code error;
    if (std::filesystem::exists(home, error) && !std::filesystem::is_directory(home, error)) {
        throw StationHomeRefused(home.string() + " is a file, not a folder.");
    }
    if (!overwrite && holdsAnything(home)) {
        throw StationHomeRefused("The folder " + home.string() +
                                 " is not empty; give --force to write the station files into it.");
    }
    const StationFolder folder(home);
    createFolder(folder.misc());
    createFolder(home / "log");
    try {
        writeStationLangIni(folder.langIni());
        writeSampleFsm(folder.fsmBin());
        writeSampleFirmware(folder.resolve(kProgramEntry), 0);
        writeSamplePreferDat(folder.resolve(kPreferEntry));
        writeSamplePassImage(folder.misc() / "PASS.IMG");
        writeFormatResponses(folder.misc() / "response.txt");
        writeVerdictBitmap(folder.misc() / "success.bmp", VerdictPicture::Pass);
        writeVerdictBitmap(folder.misc() / "fail.bmp", VerdictPicture::Fail);
        writeFlashFolder(home / "flash");

        // prefer.ini is rewritten from the defaults; the lists are written as the station
        // writes them at its close.
        std::error_code ignored;
        std::filesystem::remove(folder.preferIni(), ignored);
        StationSettings settings = newStationSettings(folder);
        settings.preCopyList = {kProgramEntry, kPreferEntry};
        saveStationSettings(folder, settings);
    } catch (const StationHomeError&) {
        throw;
    } catch (const std::exception& e) {
        throw StationHomeError(e.what());
    }
}

}  // namespace corvid
