// The disk finishing of NAND devices produced with firmware upgrade, end to end against
// corvid-devsim: every produced volume (the simulator's backing file of each disk part) is checked
// with fsck.fat and read with mtools, its files and their directory order. Where the simulator
// cannot show a case, the same runs go against the recording volume tools.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <sstream>

#include "simlink/sim_dir.h"
#include "station/firmware_picks.h"
#include "station/station_folder.h"
#include "tests/integration/production_fixture.h"

namespace corvid {
namespace {

namespace fs = std::filesystem;
using test::ProgramRun;
using test::RecordingSlotView;
using test::runProgram;
using test::VolumeCall;
using namespace std::chrono_literals;

constexpr char kE = 'E';
using Lines = std::vector<std::string>;

bool contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::string joinedLines(const std::vector<std::string>& texts) {
    std::string all;
    for (const auto& text : texts) {
        all += text + "\n";
    }
    return all;
}

// dosfstools live in /usr/sbin, which a user's PATH may lack.
std::string dosfsTool(const std::string& name) {
    for (const char* folder : {"/usr/sbin", "/sbin"}) {
        const fs::path path = fs::path(folder) / name;
        if (fs::exists(path)) {
            return path.string();
        }
    }
    return name;
}

// mtools on a volume file, with no configuration of the user's and long names in UTF-8.
ProgramRun mtool(const std::vector<std::string>& argv) {
    return runProgram(
        argv, 60s, {{"MTOOLS_SKIP_CHECK", "1"}, {"MTOOLSRC", "/dev/null"}, {"LC_ALL", "C.UTF-8"}});
}

// What a produced volume holds, as the system's own tools read it.
struct VolumeLook {
    explicit VolumeLook(fs::path volume) : path(std::move(volume)) {}

    // fsck.fat -n finds nothing to mend.
    void expectSound() const {
        const auto check = runProgram({dosfsTool("fsck.fat"), "-n", path.string()});
        EXPECT_EQ(check.exitCode, 0) << path << ":\n" << check.output;
    }

    // An image's volume label entry is written as the station's image format has it: its name
    // padded with zero bytes and holding a cluster. fsck.fat takes that for an invalid label and
    // a file of the wrong length; those two findings about the label entry are all it may find.
    void expectSoundButForAnImageLabel(const std::string& label) const {
        const auto check = runProgram({dosfsTool("fsck.fat"), "-n", path.string()});
        if (check.exitCode == 0) {
            return;
        }
        EXPECT_EQ(check.exitCode, 1) << check.output;
        const Lines labelFindings = {
            "/" + label, "  File size is 0 bytes, cluster chain length is > 0 bytes.",
            "  Truncating file to 0 bytes.",
            "Volume label '" + label + "' stored in root directory is not valid.",
            "  Auto-removing label."};
        std::istringstream in(check.output);
        for (std::string line; std::getline(in, line);) {
            const bool routine = line.empty() || line.rfind("fsck.fat ", 0) == 0 ||
                                 line == "Leaving filesystem unchanged." ||
                                 line.rfind(path.string() + ": ", 0) == 0;
            EXPECT_TRUE(routine || contains(labelFindings, line))
                << "fsck.fat finds more than the image label:\n"
                << check.output;
        }
    }

    // Every entry below the root in directory order, folder by folder: "::/Music/", "::/a.txt".
    Lines entries() const {
        const auto listing = mtool({"mdir", "-/", "-b", "-i", path.string(), "::"});
        EXPECT_EQ(listing.exitCode, 0) << path << ":\n" << listing.output;
        Lines lines;
        std::istringstream in(listing.output);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty()) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    // The file-system type its boot sector names: "FAT12", "FAT16" or "FAT32".
    std::string fatType() const {
        std::ifstream in(path, std::ios::binary);
        std::string boot(512, '\0');
        in.read(boot.data(), static_cast<std::streamsize>(boot.size()));
        return boot.substr(82, 5) == "FAT32" ? "FAT32" : boot.substr(54, 5);
    }

    std::string label() const {
        const auto shown = mtool({"mlabel", "-s", "-i", path.string(), "::"});
        EXPECT_EQ(shown.exitCode, 0) << path << ":\n" << shown.output;
        const std::string prefix = " Volume label is ";
        const auto at = shown.output.find(prefix);
        if (at == std::string::npos) {
            return {};
        }
        std::string label = shown.output.substr(at + prefix.size());
        while (!label.empty() && (label.back() == '\n' || label.back() == ' ')) {
            label.pop_back();
        }
        return label;
    }

    // The bytes of the file 'name' ("::/Music/A.mp3") on the volume.
    std::string bytesOf(const std::string& name, const fs::path& scratch) const {
        const fs::path out = scratch / "read-back";
        fs::remove(out);
        const auto copied = mtool({"mcopy", "-n", "-i", path.string(), name, out.string()});
        EXPECT_EQ(copied.exitCode, 0) << name << " on " << path << ":\n" << copied.output;
        std::ifstream in(out, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path path;
};

class DiskFinishingTest : public test::ProductionSimTest {
  protected:
    void SetUp() override {
        ProductionSimTest::SetUp();
        stateDir_ = dir_ / "state-E";
    }

    // A file of the station folder's content/ with bytes of its own.
    fs::path content(const std::string& relative, std::size_t size = 1000) {
        const fs::path path = home_ / "content" / relative;
        fs::create_directories(path.parent_path());
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>('a' + (i + relative.size()) % 26);
        }
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    static std::string fileBytes(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // The pre-copy list: the station's firmware and prefer.dat, then these entries.
    void preCopy(const std::vector<std::string>& entries) {
        auto& settings = harness_->settings;
        settings.preCopyList = {"misc/program.bin", "misc/prefer.dat"};
        settings.preCopyList.insert(settings.preCopyList.end(), entries.begin(), entries.end());
        recomputeFirmwarePicks(settings, StationFolder(home_));
    }

    void plugDevice(const std::string& profile = "nand-2k", std::vector<std::string> extra = {}) {
        extra.insert(extra.end(), {"--state", stateDir_.string()});
        plug(kE, profile, extra);
    }

    VolumeLook normalPart() const { return VolumeLook(stateDir_ / "disk-normal.img"); }
    VolumeLook hiddenPart() const { return VolumeLook(stateDir_ / "disk-hidden.img"); }

    // The drive shows this part now.
    void expectShown(const VolumeLook& part) const {
        const auto shown = simlink::simVolumePath(simDir_, kE);
        ASSERT_TRUE(shown.has_value());
        EXPECT_EQ(fs::canonical(*shown), fs::canonical(part.path));
    }

    void expectPassed(const RecordingSlotView& slot) const {
        EXPECT_EQ(slot.status(), "successful")
            << joinedLines(slot.statuses()) << joinedLines(diagnostics());
        EXPECT_EQ(slot.colour(), StatusColour::Blue);
        EXPECT_EQ(slot.picture(), SlotPicture::Pass);
    }
    void expectFailed(const RecordingSlotView& slot, const std::string& text) const {
        EXPECT_EQ(slot.status(), text)
            << joinedLines(slot.statuses()) << joinedLines(diagnostics());
        EXPECT_EQ(slot.colour(), StatusColour::Red);
        EXPECT_EQ(slot.picture(), SlotPicture::Fail);
        EXPECT_EQ(harness_->counters.snapshot().iFail, 1);
    }

    // corvid-cli image build of content/ entries into the station folder.
    fs::path buildImage(const std::string& name, int sizeMB, const std::string& label,
                        const std::vector<std::string>& entries) {
        const fs::path image = home_ / name;
        std::vector<std::string> arguments = {"image", "build",       "--label",
                                              label,   "--size",      std::to_string(sizeMB),
                                              "--out", image.string()};
        for (const auto& entry : entries) {
            arguments.push_back((home_ / "content" / entry).string());
        }
        const auto built = test::runBinProgram("corvid-cli", arguments);
        EXPECT_EQ(built.exitCode, 0) << built.output;
        return image;
    }

    fs::path stateDir_;
};

// A normal disk: formatted (it holds no file system yet) with the FAT type its size asks for,
// labelled, given the pre-copy files and folders without the firmware picks, in the order of the
// list and of the names, and checked.
TEST_F(DiskFinishingTest, NormalDiskIsFormattedLabelledFilledAndChecked) {
    const fs::path song = content("Music/b.mp3", 70000);
    content("Music/A.mp3");
    content("Music/.thumbs");
    content("Music/z/d.mp3", 3000);
    content("readme.txt", 10);
    preCopy({"content/Music", "content/readme.txt"});
    harness_->settings.LabelEdit = "Corvid";
    struct Case {
        const char* profile;
        const char* format;
        const char* fatType;
    };
    const Case cases[] = {
        {"nand-512", "FormatFAT16...", "FAT16"},  // about 30 MB: 1 KB clusters
        {"nand-2k", "FormatFAT16...", "FAT16"},   // about 250 MB: the system's unit
        {"nand-4k", "FormatFAT32...", "FAT32"},   // about 4 GB
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        stateDir_ = dir_ / (std::string("state-") + c.profile);
        plugDevice(c.profile);
        RecordingSlotView slot;
        produce(kE, slot);

        expectPassed(slot);
        const auto statuses = slot.statuses();
        EXPECT_TRUE(contains(statuses, c.format)) << joinedLines(statuses);
        EXPECT_TRUE(contains(statuses, "Copy Files..."));
        EXPECT_TRUE(contains(statuses, "Check Disk"));
        const auto progress = slot.progress();
        for (const int position : {80, 85, 95}) {
            EXPECT_NE(std::find(progress.begin(), progress.end(), position), progress.end())
                << position;
        }
        // The disk's size from its last block address, as the result line gives it.
        const std::uint32_t sectorSize = simlink::simVolumeSectorSize(simDir_, kE);
        const std::uint64_t lastBlock = fs::file_size(normalPart().path) / sectorSize - 1;
        EXPECT_EQ(slot.detailF(), std::to_string(sectorSize / 512 * lastBlock / 2048) + "MB, 0Sec");

        const VolumeLook disk = normalPart();
        expectShown(disk);
        disk.expectSound();
        EXPECT_EQ(disk.fatType(), c.fatType);
        EXPECT_EQ(disk.label(), "CORVID");
        EXPECT_EQ(disk.entries(), (Lines{"::/Music/", "::/readme.txt", "::/Music/A.mp3",
                                         "::/Music/b.mp3", "::/Music/z/", "::/Music/z/d.mp3"}));
        EXPECT_EQ(disk.bytesOf("::/Music/b.mp3", dir_), fileBytes(song));
        unplug(kE);
    }
    EXPECT_TRUE(diagnostics().empty()) << joinedLines(diagnostics());
}

// A hidden part from HideFileList: the normal part as always, the switch, then the hidden part
// formatted, labelled and filled; the drive shows the hidden part at the end, which is checked.
// A hidden part of 1 % is a FAT12 volume of about 2 MB.
TEST_F(DiskFinishingTest, HiddenPartFromAList) {
    content("readme.txt", 10);
    const fs::path secret = content("secret.txt", 5000);
    content("Vault/b.doc");
    content("Vault/a.doc");
    preCopy({"content/readme.txt"});
    auto& settings = harness_->settings;
    settings.LabelEdit = "PUBLIC";
    settings.record.eDeviceFeature = DeviceFeature::Hidden;
    settings.record.HideFileList = {"content/secret.txt", "content/Vault"};
    settings.record.sHideDiskLabel = "SECRET";
    struct Case {
        int ratio;
        const char* fatType;
    };
    for (const Case c : {Case{50, "FAT16"}, Case{1, "FAT12"}}) {
        SCOPED_TRACE(std::to_string(c.ratio) + " %");
        stateDir_ = dir_ / ("state-" + std::to_string(c.ratio));
        settings.record.iHideDiskRatio = c.ratio;
        plugDevice();
        RecordingSlotView slot;
        produce(kE, slot);

        expectPassed(slot);
        const auto statuses = slot.statuses();
        EXPECT_TRUE(contains(statuses, "Change to Hidden disk...")) << joinedLines(statuses);
        EXPECT_TRUE(contains(statuses, "Hidden diskCopy Files..."));
        EXPECT_EQ(named(trace(kE), "SUB_SCSI_OP_SWITCH_HIDDEN_DISK").size(), 1u);

        const VolumeLook normal = normalPart();
        normal.expectSound();
        EXPECT_EQ(normal.label(), "PUBLIC");
        EXPECT_EQ(normal.entries(), (Lines{"::/readme.txt"}));

        const VolumeLook hidden = hiddenPart();
        expectShown(hidden);
        hidden.expectSound();
        EXPECT_EQ(hidden.fatType(), c.fatType);
        EXPECT_EQ(hidden.label(), "SECRET");
        EXPECT_EQ(hidden.entries(),
                  (Lines{"::/secret.txt", "::/Vault/", "::/Vault/a.doc", "::/Vault/b.doc"}));
        EXPECT_EQ(hidden.bytesOf("::/secret.txt", dir_), fileBytes(secret));
        unplug(kE);
    }
}

// A hidden part from an image built by corvid-cli: "Map Image file", the image written through
// the device, and the run ends there; the image's size is the result line's.
TEST_F(DiskFinishingTest, HiddenPartFromAnImage) {
    content("readme.txt", 10);
    const fs::path secret = content("secret.txt", 5000);
    content("Vault/a.doc");
    buildImage("hidden.img", 32, "IMGDISK", {"secret.txt", "Vault"});
    preCopy({"content/readme.txt"});
    auto& settings = harness_->settings;
    settings.LabelEdit = "PUBLIC";
    settings.record.eDeviceFeature = DeviceFeature::Hidden;
    settings.record.iHideDiskRatio = 50;
    settings.record.bUseImgFile = true;
    settings.record.ImageFile = "hidden.img";
    plugDevice();
    produce();

    expectPassed(harness_->slot);
    EXPECT_TRUE(contains(harness_->slot.statuses(), "Map Image file"));
    EXPECT_EQ(harness_->slot.detailF().rfind("32MB, ", 0), 0u) << harness_->slot.detailF();
    EXPECT_FALSE(named(trace(kE), "WRITE(10)").empty());

    const VolumeLook normal = normalPart();
    normal.expectSound();
    EXPECT_EQ(normal.label(), "PUBLIC");
    EXPECT_EQ(normal.entries(), (Lines{"::/readme.txt"}));

    const VolumeLook hidden = hiddenPart();
    expectShown(hidden);
    hidden.expectSoundButForAnImageLabel("IMGDISK");
    EXPECT_EQ(hidden.label(), "IMGDISK");
    EXPECT_EQ(hidden.entries(), (Lines{"::/secret.txt", "::/Vault/", "::/Vault/a.doc"}));
    EXPECT_EQ(hidden.bytesOf("::/secret.txt", dir_), fileBytes(secret));
}

// An image larger than the hidden part fails before anything is written to the part.
TEST_F(DiskFinishingTest, AnImageLargerThanTheHiddenPartFails) {
    content("secret.txt", 5000);
    buildImage("big.img", 64, "BIG", {"secret.txt"});
    auto& settings = harness_->settings;
    settings.record.eDeviceFeature = DeviceFeature::Hidden;
    settings.record.iHideDiskRatio = 10;
    settings.record.bUseImgFile = true;
    settings.record.ImageFile = "big.img";
    plugDevice();
    produce();

    expectFailed(harness_->slot, "Hidden disk too small!");
    EXPECT_TRUE(named(trace(kE), "WRITE(10)").empty());
    normalPart().expectSound();
}

// An image that is not there fails the run before anything is written, and the station's log
// names the file.
TEST_F(DiskFinishingTest, AMissingImageIsNamedInTheStationsLog) {
    auto& settings = harness_->settings;
    settings.record.eDeviceFeature = DeviceFeature::Hidden;
    settings.record.iHideDiskRatio = 10;
    settings.record.bUseImgFile = true;
    settings.record.ImageFile = "missing.img";
    plugDevice();
    produce();

    expectFailed(harness_->slot, "IMG file error!");
    EXPECT_TRUE(named(trace(kE), "WRITE(10)").empty());
    EXPECT_EQ(
        diagnostics(),
        (std::vector<std::string>{"The hidden-disk image " + (home_ / "missing.img").string() +
                                  " cannot be read or is no \"5VX6 IMG\" image; the run "
                                  "fails."}));
}

// A device that falls silent before its disk is finished: the host's tools cannot read its disk
// either (as with a real device), so the run fails instead of formatting and filling the disk
// behind the device's back.
TEST_F(DiskFinishingTest, ADeviceThatFallsSilentFailsTheDiskFinishing) {
    content("readme.txt", 10);
    preCopy({"content/readme.txt"});
    plugDevice("nand-2k", {"--silent", "READ_CAPACITY@2"});
    produce();

    EXPECT_NE(harness_->slot.picture(), SlotPicture::Pass)
        << joinedLines(harness_->slot.statuses());
    EXPECT_EQ(harness_->counters.snapshot().iFail, 1);
    EXPECT_EQ(harness_->counters.snapshot().iSuccess, 0);
}

class EncryptedDiskTest : public DiskFinishingTest {
  protected:
    void SetUp() override {
        DiskFinishingTest::SetUp();
        content("readme.txt", 10);
        content("private.txt", 2000);
        preCopy({"content/readme.txt"});
        auto& settings = harness_->settings;
        settings.LabelEdit = "PUBLIC";
        settings.record.eDeviceFeature = DeviceFeature::Encrypted;
        settings.record.HideFileList = {"content/private.txt"};
        settings.record.sHideDiskLabel = "PRIVATE";
    }
};

// An encrypted part of 30 %: the PASS image goes down with the firmware, the normal part is
// finished as always, then the encrypted part from its list.
TEST_F(EncryptedDiskTest, APartOfTheDisk) {
    harness_->settings.record.iHideDiskRatio = 30;
    plugDevice();
    produce();

    expectPassed(harness_->slot);
    const auto statuses = harness_->slot.statuses();
    EXPECT_TRUE(contains(statuses, "PASS Write End...")) << joinedLines(statuses);
    EXPECT_TRUE(contains(statuses, "Copy Files..."));
    EXPECT_TRUE(contains(statuses, "Hidden diskCopy Files..."));
    EXPECT_EQ(named(trace(kE), "SUB_SCSI_OP_SWITCH_HIDDEN_DISK").size(), 1u);

    const VolumeLook normal = normalPart();
    normal.expectSound();
    EXPECT_EQ(normal.label(), "PUBLIC");
    EXPECT_EQ(normal.entries(), (Lines{"::/readme.txt"}));
    const VolumeLook encrypted = hiddenPart();
    expectShown(encrypted);
    encrypted.expectSound();
    EXPECT_EQ(encrypted.label(), "PRIVATE");
    EXPECT_EQ(encrypted.entries(), (Lines{"::/private.txt"}));
}

// The whole disk encrypted (100 %): the disk is measured, then the run goes straight to the
// switch, with no format, label or copy on the normal part. 100 % gives the CFG's split byte 0
// (256 does not fit); the device then has one part, the encrypted one, which the switch leaves
// shown: it is formatted, labelled and given the encrypted list.
TEST_F(EncryptedDiskTest, TheWholeDiskIsTheEncryptedPart) {
    harness_->settings.record.iHideDiskRatio = 100;
    plugDevice();
    produce();

    const auto& slot = harness_->slot;
    expectPassed(slot);
    const auto statuses = slot.statuses();
    const auto switched = std::find(statuses.begin(), statuses.end(), "Change to Hidden disk...");
    ASSERT_NE(switched, statuses.end()) << joinedLines(statuses);
    const std::vector<std::string> before(statuses.begin(), switched);
    EXPECT_FALSE(contains(before, "FormatFAT16...")) << joinedLines(statuses);
    EXPECT_FALSE(contains(before, "Set Volume Label..."));
    EXPECT_FALSE(contains(before, "Copy Files..."));
    const auto lines = trace(kE);
    const auto started = std::find_if(lines.begin(), lines.end(), [](const auto& line) {
        return line.name == "SUB_SCSI_OP_START_DISK";
    });
    ASSERT_NE(started, lines.end());
    ASSERT_GE(lines.end() - started, 3);
    EXPECT_EQ(started[1].name, "READ_CAPACITY(10)");
    EXPECT_EQ(started[2].name, "SUB_SCSI_OP_SWITCH_HIDDEN_DISK");

    const VolumeLook whole = normalPart();  // the device's only part
    expectShown(whole);
    whole.expectSound();
    EXPECT_EQ(whole.label(), "PRIVATE");
    EXPECT_EQ(whole.entries(), (Lines{"::/private.txt"}));
}

// A disk that is formatted already keeps its file system and its files; only its label changes.
TEST_F(DiskFinishingTest, AFormattedDiskWithAnotherLabelIsOnlyRelabelled) {
    content("first.txt", 100);
    content("second.txt", 200);
    auto& settings = harness_->settings;
    preCopy({"content/first.txt"});
    settings.LabelEdit = "FIRST";
    plugDevice();
    produce();
    expectPassed(harness_->slot);
    ASSERT_EQ(normalPart().label(), "FIRST");

    preCopy({"content/second.txt"});
    settings.LabelEdit = "SECOND";
    RecordingSlotView again;
    produce(kE, again);
    expectPassed(again);
    const auto statuses = again.statuses();
    EXPECT_TRUE(contains(statuses, "Set Volume Label...")) << joinedLines(statuses);
    EXPECT_FALSE(contains(statuses, "FormatFAT16..."));
    const VolumeLook disk = normalPart();
    disk.expectSound();
    EXPECT_EQ(disk.label(), "SECOND");
    EXPECT_EQ(disk.entries(), (Lines{"::/first.txt", "::/second.txt"}));
}

// A device whose disk cannot be read (the simulator's unreadable-disk fault): the format fails
// with its text. Without the operator's Format the disk is not even formatted: a volume that
// cannot be read may hold data.
TEST_F(DiskFinishingTest, AnUnreadableDiskFailsTheFormat) {
    const fs::path profile = dir_ / "unreadable.ini";
    std::ofstream(profile) << "[device]\nbase = nand-2k\nunreadable-disk = 1\n";
    struct Case {
        bool chkFormat;
        const char* reason;  // the start of the reason given for the failed step
    };
    for (const Case c : {Case{true, "The size of "}, Case{false, "The volume "}}) {
        SCOPED_TRACE(c.chkFormat ? "Format checked" : "Format not checked");
        stateDir_ = dir_ / (c.chkFormat ? "state-format" : "state-keep");
        harness_->settings.chkFormat = c.chkFormat;
        plugDevice(profile.string());
        RecordingSlotView slot;
        produce(kE, slot);

        EXPECT_EQ(slot.status(), "Format fail") << joinedLines(slot.statuses());
        EXPECT_EQ(slot.colour(), StatusColour::Red);
        EXPECT_EQ(slot.picture(), SlotPicture::Fail);
        EXPECT_EQ(contains(slot.statuses(), "FormatFAT16..."), c.chkFormat);
        const auto reasons = diagnostics();
        ASSERT_FALSE(reasons.empty());
        EXPECT_EQ(reasons.back().rfind(c.reason, 0), 0u) << reasons.back();
        EXPECT_NE(reasons.back().find("disk-unreadable"), std::string::npos) << reasons.back();
        unplug(kE);
    }
    EXPECT_EQ(harness_->counters.snapshot().iFail, 2);
}

// The device pulled out while its disk is being formatted or filled: the run ends failed and
// counted, the freed slot waits for the next device, and nothing hangs.
TEST_F(DiskFinishingTest, UnplugDuringTheFormatOrTheCopiesEndsTheRunFailed) {
    std::vector<std::string> songs;
    for (int i = 0; i < 8; ++i) {
        const std::string name = "song" + std::to_string(i) + ".mp3";
        content(name, 8 << 20);
        songs.push_back("content/" + name);
    }
    preCopy(songs);
    for (const char* during : {"FormatFAT16...", "Copy Files..."}) {
        SCOPED_TRACE(during);
        stateDir_ = dir_ / (std::string("state-") + during);
        freedSlot_ = 0;
        plugDevice();
        RecordingSlotView slot;
        const auto started = std::chrono::steady_clock::now();
        auto worker = std::async(std::launch::async, [&] { return produce(kE, slot); });
        // What the removal handling does when the device goes: the slot is freed.
        while (slot.status() != during && worker.wait_for(1ms) != std::future_status::ready) {
        }
        freedSlot_ = kE;
        unplug(kE);
        ASSERT_EQ(worker.wait_for(120s), std::future_status::ready) << "the run hangs";
        const auto ran = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(worker.get()->state().bPass, 0);

        const auto statuses = slot.statuses();
        EXPECT_TRUE(contains(statuses, during)) << joinedLines(statuses);
        const auto failed = std::find_if(statuses.begin(), statuses.end(), [](const auto& text) {
            return text.size() >= 4 && text.compare(text.size() - 4, 4, "fail") == 0;
        });
        EXPECT_NE(failed, statuses.end()) << joinedLines(statuses);
        EXPECT_EQ(slot.status(), "Waiting device...");
        EXPECT_EQ(slot.picture(), SlotPicture::None);
        EXPECT_LT(ran, 60s);
    }
    const auto counts = harness_->counters.snapshot();
    EXPECT_EQ(counts.iFail, 2);
    EXPECT_EQ(counts.iRunning, 0);
}

// The same runs with the recording volume tools, for what the simulator's disks cannot show: a
// disk found formatted, unreadable, and the volume calls of each case.
class DiskFinishingSequenceTest : public DiskFinishingTest {
  protected:
    void SetUp() override {
        DiskFinishingTest::SetUp();
        harness_->useVolumes(harness_->volumes);
    }

    test::RecordingVolumeTools& volumes() { return harness_->volumes; }

    std::vector<VolumeCall> kinds() { return volumes().kinds(); }

    // The calls that reach the disk's contents, as lines: "copyFiles / <- readme.txt".
    Lines copyLines() {
        Lines lines;
        for (const auto& call : volumes().calls()) {
            if (call.kind == VolumeCall::MakeFolder) {
                lines.push_back("makeFolder " + call.folder);
            } else if (call.kind == VolumeCall::CopyFiles) {
                std::string line = "copyFiles " + (call.folder.empty() ? "/" : call.folder) + " <-";
                for (const fs::path& file : call.files) {
                    line += " " + file.filename().string();
                }
                lines.push_back(line);
            }
        }
        return lines;
    }
};

// The firmware, prefer.dat and image.iso of the pre-copy list are the device's system files,
// never copied onto its disk, whether the image is downloaded or not.
TEST_F(DiskFinishingSequenceTest, TheFirmwarePicksAreNeverCopied) {
    content("readme.txt", 10);
    content("image.iso", 4096);
    content("Music/a.mp3");
    auto& settings = harness_->settings;
    settings.preCopyList = {"content/readme.txt", "misc/program.bin", "content/image.iso",
                            "misc/prefer.dat", "content/Music"};
    recomputeFirmwarePicks(settings, StationFolder(home_));
    ASSERT_EQ(settings.iIsoIndex, 2);
    for (const bool iso : {false, true}) {
        SCOPED_TRACE(iso ? "ISO upgrade" : "no ISO upgrade");
        stateDir_ = dir_ / (iso ? "state-iso" : "state");
        settings.chkISOupgrade = iso;
        volumes().clear();
        plugDevice();
        RecordingSlotView slot;
        produce(kE, slot);
        expectPassed(slot);
        EXPECT_EQ(copyLines(), (Lines{"copyFiles / <- readme.txt", "makeFolder Music",
                                      "copyFiles Music <- a.mp3"}));
        unplug(kE);
    }
}

// A disk with a readable FAT is formatted only when the operator asks for it; otherwise only its
// label is set, and only when it differs. An empty label removes the one the disk has.
TEST_F(DiskFinishingSequenceTest, FormatWhenItMustElseOnlyTheLabel) {
    using K = VolumeCall;
    struct Case {
        const char* what;
        VolumeState state;
        bool chkFormat;
        const char* storedLabel;
        const char* labelEdit;
        std::vector<VolumeCall> calls;
        const char* status;  // shown for the label or the format, if any
    };
    const Case cases[] = {
        {"FAT, same label",
         VolumeState::Fat,
         false,
         "CORVID",
         "CORVID",
         {K::Refresh, K::Probe, K::Label, K::Flush, K::CheckDisk},
         nullptr},
        {"FAT, another label",
         VolumeState::Fat,
         false,
         "OLD",
         "NEW",
         {K::Refresh, K::Probe, K::Label, K::SetLabel, K::Flush, K::CheckDisk},
         "Set Volume Label..."},
        {"FAT, empty label",
         VolumeState::Fat,
         false,
         "OLD",
         "",
         {K::Refresh, K::Probe, K::Label, K::SetLabel, K::Flush, K::CheckDisk},
         "Set Volume Label..."},
        {"FAT, Format checked",
         VolumeState::Fat,
         true,
         "NEW",
         "NEW",
         {K::Refresh, K::Probe, K::Format, K::SetLabel, K::Flush, K::CheckDisk},
         "FormatFAT16..."},
        {"no FAT",
         VolumeState::NoFat,
         false,
         "",
         "NEW",
         {K::Refresh, K::Probe, K::Format, K::SetLabel, K::Flush, K::CheckDisk},
         "FormatFAT16..."},
        {"exFAT, Format checked",
         VolumeState::OtherFileSystem,
         true,
         "",
         "NEW",
         {K::Refresh, K::Probe, K::Format, K::SetLabel, K::Flush, K::CheckDisk},
         "FormatFAT16..."},
        {"unreadable, Format checked",
         VolumeState::Unreadable,
         true,
         "",
         "NEW",
         {K::Refresh, K::Probe, K::Format, K::SetLabel, K::Flush, K::CheckDisk},
         "FormatFAT16..."},
    };
    auto& settings = harness_->settings;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        stateDir_ = dir_ / (std::string("state-") + c.what);
        volumes().clear();
        volumes().setProbe(kE, {c.state, 0, "scripted"});
        volumes().setStoredLabel(kE, c.storedLabel);
        settings.chkFormat = c.chkFormat;
        settings.LabelEdit = c.labelEdit;
        plugDevice();
        RecordingSlotView slot;
        produce(kE, slot);

        expectPassed(slot);
        EXPECT_EQ(kinds(), c.calls);
        for (const auto& call : volumes().calls()) {
            if (call.kind == K::Format) {
                EXPECT_EQ(call.choice, FileSystemChoice::Fat16SystemUnit);  // a 251 MB disk
                EXPECT_TRUE(call.quick);
                EXPECT_EQ(call.limit, kFormatLimit);
            }
            if (call.kind == K::SetLabel) {
                EXPECT_EQ(call.label, c.labelEdit);
            }
        }
        EXPECT_EQ(volumes().storedLabel(kE), c.labelEdit);
        if (c.status != nullptr) {
            EXPECT_TRUE(contains(slot.statuses(), c.status)) << joinedLines(slot.statuses());
        }
        unplug(kE);
    }
}

// A volume that cannot be read may hold data: without the operator's Format the run fails at
// the format step and leaves the disk alone; the reason goes to the diagnostics.
TEST_F(DiskFinishingSequenceTest, AnUnreadableDiskIsNotFormattedUnlessAsked) {
    volumes().setProbe(kE, {VolumeState::Unreadable, 0, "read error at sector 0"});
    plugDevice();
    produce();
    expectFailed(harness_->slot, "Format fail");
    EXPECT_EQ(kinds(), (std::vector<VolumeCall>{VolumeCall::Refresh, VolumeCall::Probe}));
    EXPECT_EQ(diagnostics(), (Lines{"read error at sector 0"}));
}

// A stored CFG of another flash type (the device was produced with another layout): its old
// volume went with that layout, so the disk is formatted without the operator's Format, also when
// it cannot be read or holds another file system. (On an unchanged layout an unreadable disk
// fails, above.)
TEST_F(DiskFinishingSequenceTest, AChangedLayoutIsFormattedEvenWhenTheOldVolumeIsUnreadable) {
    using K = VolumeCall;
    auto& settings = harness_->settings;
    settings.chkBlankCheck = false;
    settings.chkFormat = false;
    const std::uint8_t type = describedFlashType();
    for (const VolumeState old :
         {VolumeState::Fat, VolumeState::Unreadable, VolumeState::OtherFileSystem}) {
        SCOPED_TRACE(static_cast<int>(old));
        stateDir_ = dir_ / ("state-" + std::to_string(static_cast<int>(old)));
        plugDevice();
        // A first run, without the firmware, leaves the CFG of another flash type.
        setDescribedFlashType(static_cast<std::uint8_t>((type + 1) % 8));
        settings.chkFwUpgrade = false;
        RecordingSlotView first;
        produce(kE, first);
        ASSERT_EQ(first.status(), "successful");

        setDescribedFlashType(type);
        settings.chkFwUpgrade = true;
        volumes().clear();
        volumes().setProbe(kE, {old, 0, "scripted", "exfat"});
        RecordingSlotView slot;
        produce(kE, slot);
        expectPassed(slot);
        EXPECT_EQ(kinds(), (std::vector<VolumeCall>{K::Refresh, K::Probe, K::Format, K::SetLabel,
                                                    K::Flush, K::CheckDisk}));
        unplug(kE);
    }
}

// Another file system holds somebody's data: without Format the run fails naming it and formats
// nothing.
TEST_F(DiskFinishingSequenceTest, AnotherFileSystemIsKeptUnlessFormatIsAsked) {
    volumes().setProbe(kE, {VolumeState::OtherFileSystem, 0, "The volume holds exfat.", "exfat"});
    plugDevice();
    produce();
    expectFailed(harness_->slot, "Format fail (exfat)");
    EXPECT_EQ(kinds(), (std::vector<VolumeCall>{VolumeCall::Refresh, VolumeCall::Probe}));
    EXPECT_EQ(diagnostics(),
              (Lines{"The volume holds exfat. It is kept: only Format formats it."}));
}

// The check disk runs only on a station whose system class is 2 or less.
TEST_F(DiskFinishingSequenceTest, TheCheckDiskRunsUpToSystemClassTwo) {
    for (const int osClass : {0, 2, 3, 4}) {
        SCOPED_TRACE("iOsClass " + std::to_string(osClass));
        stateDir_ = dir_ / ("state-" + std::to_string(osClass));
        harness_->settings.iOsClass = osClass;
        volumes().clear();
        plugDevice();
        RecordingSlotView slot;
        produce(kE, slot);
        expectPassed(slot);
        const auto calls = kinds();
        const bool checked =
            std::find(calls.begin(), calls.end(), VolumeCall::CheckDisk) != calls.end();
        EXPECT_EQ(checked, osClass <= 2);
        EXPECT_EQ(contains(slot.statuses(), "Check Disk"), osClass <= 2);
        const auto progress = slot.progress();
        EXPECT_NE(std::find(progress.begin(), progress.end(), 95), progress.end());
        unplug(kE);
    }
}

// A failed check fails the run with its text; so does a write the device refuses when the
// copies are written out, before anything is checked or counted.
TEST_F(DiskFinishingSequenceTest, AFailedCheckDiskOrFlushFailsTheRun) {
    struct Case {
        VolumeCall failing;
        const char* why;
        const char* status;
    };
    for (const Case& c :
         {Case{VolumeCall::CheckDisk, "fsck.fat finds the FAT damaged", "Check Diskfail"},
          Case{VolumeCall::Flush, "What was written did not all reach the device",
               "Copy Filesfail"}}) {
        SCOPED_TRACE(c.status);
        stateDir_ = dir_ / ("state-" + std::string(c.status));
        volumes().clear();
        volumes().failAlways(c.failing, c.why);
        plugDevice();
        RecordingSlotView slot;
        produce(kE, slot);
        EXPECT_EQ(slot.status(), c.status) << joinedLines(slot.statuses());
        EXPECT_EQ(slot.colour(), StatusColour::Red);
        EXPECT_EQ(kinds().back(), c.failing);
        unplug(kE);
    }
}

}  // namespace
}  // namespace corvid
