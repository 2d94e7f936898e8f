// A station assembled from its folder in one call, as every program that runs workers does it.
#include "production/station_setup.h"

#include <gtest/gtest.h>

#include "production/station_home_writer.h"
#include "station/language.h"
#include "station/settings_files.h"
#include "station/station_registry.h"
#include "tests/support/recording_views.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

class StationSetupTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        home_ = dir_ / "station";
        writeStationHome(home_, false);
        languageBefore_ = readLanguageId(*openRegistryStore(home_.string()));
    }
    // On Windows the machine's store is the registry, which the station on this machine reads
    // too: the language choice a test made is put back.
    void TearDown() override {
        writeLanguageId(*openRegistryStore(home_.string()), languageBefore_);
        TempDirTest::TearDown();
    }
    std::filesystem::path home_;
    int languageBefore_ = 0;
};

TEST_F(StationSetupTest, ReadsTheFolderAsTheWindowsShowDoes) {
    const StationFolder folder(home_);
    // A pre-copy entry whose file has gone, and Traditional Chinese chosen on this machine.
    FileList list = readListFile(folder.preCopyListFile());
    list.push_back("misc/gone.bin");
    writeListFile(folder.preCopyListFile(), list);
    writeLanguageId(*openRegistryStore(home_.string()),
                    languageIdOf(LanguageChoice::TraditionalChinese));

    StationSetupOptions options;
    options.pauseScale = 0.0;
    options.portLocations = PortLocationOrigin::SingleHub;
    const auto station = loadStation(home_, options);

    EXPECT_EQ(station->folder.home(), home_);
    EXPECT_EQ(station->settingsReport.droppedPreCopy, FileList{"misc/gone.bin"});
    EXPECT_EQ(station->settings.preCopyList.size(), 2u);
    EXPECT_EQ(station->settings.iProgramIndex, 0);
    EXPECT_EQ(station->settings.iPreferIndex, 1);
    EXPECT_TRUE(station->settingsReport.multiplierFromFirmware);
    EXPECT_EQ(station->settings.iFsmSize,
              static_cast<std::int32_t>(std::filesystem::file_size(folder.fsmBin())));
    EXPECT_EQ(station->language.iLanguage, kLanguageTraditionalChinese);
    EXPECT_EQ(station->messages.text(MessageKey::FailMsg), "失敗");
    EXPECT_FALSE(station->language.captions.empty());
    EXPECT_EQ(station->clock.pauseScale(), 0.0);
    EXPECT_EQ(readLanguageId(*station->registry), languageIdOf(LanguageChoice::TraditionalChinese));
}

// A folder in the place of a file the station reads at start and writes at its end stops the
// start with one sentence naming it: neither defaults taken in silence nor a crash.
TEST_F(StationSetupTest, AFolderInThePlaceOfAStationFileStopsTheStartByName) {
    for (const char* name : {"prefer.ini", "registry.ini", "lang.ini"}) {
        SCOPED_TRACE(name);
        const auto file = home_ / "misc" / name;
        const auto kept = dir_ / "kept";
        const bool existed = std::filesystem::exists(file);
        if (existed) {
            std::filesystem::rename(file, kept);
        }
        std::filesystem::create_directory(file);
        std::string said;
        try {
            loadStation(home_, StationSetupOptions{});
        } catch (const SettingsError& error) {
            said = error.what();
        }
        EXPECT_EQ(said, file.string() +
                            " is a folder, not a file; the station does not start until it is a "
                            "file or gone");
        std::filesystem::remove(file);
        if (existed) {
            std::filesystem::rename(kept, file);
        }
    }
}

TEST_F(StationSetupTest, TheWorkersEnvironmentPointsIntoTheStation) {
    StationSetupOptions options;
    options.portLocations = PortLocationOrigin::SingleHub;
    const auto station = loadStation(home_, options);
    test::RecordingStationView view;
    test::RecordingPrompt prompt;
    StationCounters counters(view);
    const ProductionEnvironment environment = station->environment(view, prompt, counters);
    const WorkerSeams& seams = environment.seams;
    EXPECT_EQ(&seams.station, &view);
    EXPECT_EQ(&seams.prompt, &prompt);
    EXPECT_EQ(&environment.counters, &counters);
    EXPECT_EQ(&seams.registry, station->registry.get());
    EXPECT_EQ(&seams.messages, &station->messages);
    EXPECT_EQ(&seams.settings, &station->settings);
    EXPECT_EQ(&seams.clock, &station->clock);
    EXPECT_EQ(seams.home, home_);
    EXPECT_EQ(environment.portLocations, station->portLocations.get());
    EXPECT_EQ(station->clock.pauseScale(), 1.0);  // the station's own pauses by default
}

TEST_F(StationSetupTest, ThePortLocationComesFromTheChosenOrigin) {
    struct Case {
        PortLocationOrigin origin;
        bool source;
        const char* location;  // for port 3 of drive E; "" when the source gives none
    };
    const Case cases[] = {
        {PortLocationOrigin::None, false, ""},
        {PortLocationOrigin::SingleHub, true, "<1-0-3>"},
#ifdef __linux__
        // Drive E is /dev/sde, which this machine may or may not have; the kind is what counts.
        {PortLocationOrigin::UsbSysfs, true, nullptr},
#endif
    };
    for (const auto& c : cases) {
        StationSetupOptions options;
        options.portLocations = c.origin;
        const auto station = loadStation(home_, options);
        ASSERT_EQ(station->portLocations != nullptr, c.source) << static_cast<int>(c.origin);
        if (c.source && c.location != nullptr) {
            const auto location = station->portLocations->locate('E', 3);
            EXPECT_EQ(location ? portLocationText(*location) : "", c.location);
        }
    }
}

TEST_F(StationSetupTest, AFolderWithoutMiscIsRefusedByName) {
    const auto nowhere = dir_ / "nowhere";
    try {
        loadStation(nowhere, {});
        FAIL() << "a folder without misc was taken for a station";
    } catch (const StationFolderError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "the station folder " + nowhere.string() + " has no misc folder");
    }
}

}  // namespace
}  // namespace corvid
