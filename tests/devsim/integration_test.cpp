// The real corvid-devsim program, driven through the station's own command routines, the sim
// transport and bus, and corvid-cli: as the station and a service engineer meet it.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "production/file_downloads.h"
#include "simlink/sim_device_bus.h"
#include "simlink/sim_dir.h"
#include "simlink/sim_transport.h"
#include "tests/devsim/cfg_builder.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "transport/plugin_checks.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

const std::string kBin = CORVID_BIN_DIR;

using test::ProgramRun;

// Runs a program line of the test's own making, split at its blanks (temporary paths hold none).
ProgramRun runLine(const std::string& line) {
    std::istringstream words(line);
    std::vector<std::string> argv{std::istream_iterator<std::string>(words),
                                  std::istream_iterator<std::string>()};
    return test::runProgram(argv);
}

std::vector<std::string> readLines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Field i (0-based) of a trace line: time, letter, CDB, direction, length, result, name.
std::string field(const std::string& line, int i) {
    std::istringstream in(line);
    std::string word;
    for (int k = 0; k <= i; ++k) {
        in >> word;
    }
    return word;
}

Bytes blockBitmap(std::uint32_t blocks, const std::vector<std::uint32_t>& bad) {
    Bytes map(blocks / 8, 0xFF);
    for (const auto b : bad) {
        map[b / 8] &= static_cast<std::uint8_t>(~(0x80 >> (b % 8)));
    }
    return map;
}

class SimulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const ProgramRun serve = runDevsim("serve --daemon");
        ASSERT_EQ(serve.exitCode, 0) << serve.output;
    }
    void TearDown() override {
        const ProgramRun stop = runDevsim("stop");
        EXPECT_EQ(stop.exitCode, 0) << stop.output;
        EXPECT_FALSE(fs::exists(simlink::controlSocketPath(simDir_)));
    }

    ProgramRun runDevsim(const std::string& arguments) {
        const auto space = arguments.find(' ');
        const std::string command = arguments.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : arguments.substr(space);
        return runLine(kBin + "/corvid-devsim " + command + " --dir " + simDir_.string() + rest);
    }
    void plug(char letter, const std::string& profile, const std::string& extra = "") {
        const ProgramRun run = runDevsim("plug --letter " + std::string(1, letter) + " --profile " +
                                         profile + " " + extra);
        ASSERT_EQ(run.exitCode, 0) << run.output;
    }
    std::vector<std::string> trace(char letter) {
        return readLines(simlink::defaultTracePath(simDir_, letter));
    }
    fs::path writeFile(const std::string& name, const Bytes& bytes) {
        std::ofstream(root_ / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return root_ / name;
    }
    fs::path fsmFile(std::size_t size = 3000) {
        Bytes fsm(size);
        for (std::size_t i = 0; i < size; ++i) {
            fsm[i] = static_cast<std::uint8_t>(i * 7);
        }
        return writeFile("FSM.bin", fsm);
    }
    bool loadFsm(char letter, std::size_t size = 3000) {
        return bDownloadFsm(transport_, letter, fsmFile(size), static_cast<std::uint32_t>(size));
    }

    // Each test has its own simulator directory and simulator.
    test::TempDir temp_{"devsim-it"};
    fs::path root_ = temp_.path();
    fs::path simDir_ = root_ / "sim";
    SimTransport transport_{SimTransportOptions{simDir_, 1.0}};
};

TEST_F(SimulatorTest, PlugInChecksOfEveryProfile) {
    struct Case {
        char letter;
        const char* profile;
        bool ours;
        const char* flashId;  // nullptr: cannot be read
        int chips;
    };
    const Case cases[] = {
        {'E', "nand-2k", true, "ID:ECDA109544", 1},    {'F', "nand-512", true, "ID:EC75000000", 1},
        {'G', "nand-2chip", true, "ID:ECDA109544", 2}, {'H', "spi", true, "ID:FF00FF00FF", 1},
        {'I', "foreign", false, nullptr, 0},
    };
    for (const Case& c : cases) {
        plug(c.letter, c.profile);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        EXPECT_FALSE(needsReset(transport_, c.letter));
        EXPECT_EQ(cmd_bInquiry(transport_, c.letter), c.ours);
        std::uint8_t maker = 0;
        std::uint32_t id = 0;
        EXPECT_EQ(readFlashIdByLetter(transport_, c.letter, maker, id), c.flashId != nullptr);
        if (c.flashId != nullptr) {
            EXPECT_EQ(formatFlashId(maker, id), c.flashId);
        }
        const ScopedDevice device(transport_, c.letter);
        EXPECT_EQ(getFlashCount(transport_, device.handle()), c.chips);
    }
    // A letter nobody answers: the routines give their failure values without sending.
    EXPECT_FALSE(needsReset(transport_, 'K'));
    EXPECT_FALSE(cmd_bInquiry(transport_, 'K'));
    EXPECT_EQ(transport_.open('K'), kInvalidHandle);

    // The device that asks for a reset leaves and comes back, then is ready.
    SimDeviceBus bus(simDir_);
    plug('J', "needs-reset", "--reset-ms 50");
    EXPECT_EQ(bus.waitEvent(5s), (DeviceEvent{DeviceEventKind::Arrival, driveLetterBit('J')}));
    EXPECT_TRUE(needsReset(transport_, 'J'));
    std::uint8_t maker = 0;
    std::uint32_t id = 0;
    EXPECT_FALSE(readFlashIdByLetter(transport_, 'J', maker, id)) << "boot code: no flash access";
    EXPECT_TRUE(resetByLetter(transport_, 'J'));
    EXPECT_EQ(bus.waitEvent(5s), (DeviceEvent{DeviceEventKind::Removal, driveLetterBit('J')}));
    EXPECT_EQ(bus.waitEvent(5s), (DeviceEvent{DeviceEventKind::Arrival, driveLetterBit('J')}));
    EXPECT_FALSE(needsReset(transport_, 'J'));
    EXPECT_TRUE(readFlashIdByLetter(transport_, 'J', maker, id));
}

TEST_F(SimulatorTest, StationRoutinesTakeADeviceToItsDisk) {
    plug('E', "nand-2k");
    ASSERT_TRUE(loadFsm('E'));
    const DeviceHandle h = transport_.open('E');
    ASSERT_NE(h, kInvalidHandle);

    // The CFG as the station sends it, kept in the controller's memory.
    const Bytes cfg = test::buildCfg(test::cfgWith(1, 25));
    ASSERT_TRUE(writeCfgBlock(transport_, h, cfg));
    std::array<std::uint8_t, kCfgBlockSize> ramCfg{};
    ASSERT_TRUE(subOp99(transport_, h, ramCfg));
    EXPECT_TRUE(std::equal(cfg.begin(), cfg.end(), ramCfg.begin()));

    // A blanking check of every block: the profile's bad blocks fail.
    std::vector<std::uint32_t> bad;
    for (std::uint32_t block = 0; block < 2048; ++block) {
        std::uint8_t result = 0;
        ScanBlockArgs args;
        args.firstBlock = block;
        args.pattern = kScanPattern55AA;
        args.mode = 2;
        ASSERT_TRUE(scanBlock(transport_, h, args, std::span(&result, 1)));
        if (result != 0xFF) {
            bad.push_back(block);
        }
    }
    EXPECT_EQ(bad, (std::vector<std::uint32_t>{5, 700, 1500}));

    // The CFG write: CFG and bitmap into the first two usable blocks; then they read back.
    const Bytes bitmap = blockBitmap(2048, bad);
    for (const std::uint32_t block : {0u, 1u}) {
        ASSERT_TRUE(eraseBlock(transport_, h, block, 1));
        Bytes page(2048, 0);
        std::copy(cfg.begin(), cfg.end(), page.begin());
        ASSERT_TRUE(writePage(transport_, h, block * 64, 1, 0, page));
        std::fill(page.begin(), page.end(), 0);
        std::copy(bitmap.begin(), bitmap.end(), page.begin());
        ASSERT_TRUE(writePage(transport_, h, block * 64 + 1, 1, 0, page));
    }
    std::array<std::uint8_t, kCfgBlockSize> stored{};
    ASSERT_TRUE(readCfg(transport_, h, stored));
    EXPECT_TRUE(std::equal(cfg.begin(), cfg.end(), stored.begin()));
    Bytes map(256);
    ASSERT_TRUE(readBlockMap(transport_, h, map));
    EXPECT_EQ(map, bitmap);
    ASSERT_TRUE(fsmInit(transport_, h));

    // Firmware download with the station's chunking, parity check, multiplier, start disk.
    Bytes firmware(4096, 0x5A);
    std::copy_n("5V16", 4, firmware.begin());
    const fs::path firmwareFile = writeFile("program.bin", firmware);
    ASSERT_TRUE(bFileWriteSetup(transport_, h, firmwareFile));
    ASSERT_TRUE(bSendFileChunks(transport_, h, firmwareFile, SUB_SCSI_OP_FILE_WRITE));
    ASSERT_TRUE(bFileWriteEnd(transport_, h));
    ASSERT_TRUE(bFwParityCheck(transport_, h));
    EXPECT_FALSE(bFileWriteSetup(transport_, h, root_ / "missing.bin")) << "0xFFFFFFFF refused";
    EXPECT_TRUE(setCapMultiplier(transport_, h, 0));
    EXPECT_FALSE(setCapMultiplier(transport_, h, 6));
    ASSERT_TRUE(startDisk(transport_, h));
    transport_.close(h);

    // The disk: 2013 blocks of 128 KiB beside one 4 MiB unit, 25/256 of it hidden.
    const std::uint64_t sectors = 2013ull * 256;
    const std::uint64_t hidden = sectors * 25 / 256;
    const ScopedDevice disk(transport_, 'E');
    std::uint32_t last = 0, blockLength = 0;
    ASSERT_TRUE(readCapacity10(transport_, disk.handle(), last, blockLength));
    EXPECT_EQ(last + 1ull, sectors - hidden);
    EXPECT_EQ(blockLength, 512u);
    const Bytes sector(512, 0xC3);
    ASSERT_TRUE(write10(transport_, disk.handle(), 100, sector, 512, 1));
    Bytes back(512);
    ASSERT_TRUE(read10(transport_, disk.handle(), 100, back, 512, 1));
    EXPECT_EQ(back, sector);
    EXPECT_FALSE(write10(transport_, disk.handle(), last, Bytes(1024), 512, 2))
        << "beyond the disk";

    // The volume tools reach the same bytes through the backing file.
    const auto volume = simlink::simVolumePath(simDir_, 'E');
    ASSERT_TRUE(volume.has_value());
    EXPECT_EQ(fs::file_size(*volume), (sectors - hidden) * 512);
    std::ifstream file(*volume, std::ios::binary);
    file.seekg(100 * 512);
    Bytes onDisk(512);
    file.read(reinterpret_cast<char*>(onDisk.data()), 512);
    EXPECT_EQ(onDisk, sector);

    ASSERT_TRUE(switchHiddenDisk(transport_, disk.handle()));
    const ScopedDevice hiddenPart(transport_, 'E');
    ASSERT_TRUE(readCapacity10(transport_, hiddenPart.handle(), last, blockLength));
    EXPECT_EQ(last + 1ull, hidden);
    EXPECT_NE(simlink::simVolumePath(simDir_, 'E'), volume);

    // The trace holds one line per command, as the station sent it.
    const auto lines = trace('E');
    ASSERT_GE(lines.size(), 2048u + 20);
    EXPECT_EQ(field(lines[0], 1), "E");
    EXPECT_EQ(field(lines[0], 2), "EF7700000BB8");  // FSM_WRITE_SETUP, 3000 bytes
    EXPECT_EQ(field(lines[0], 6), "SUB_SCSI_OP_FSM_WRITE_SETUP");
    EXPECT_EQ(field(lines[1], 2), "EE7800000000");
    EXPECT_EQ(field(lines[1], 3), "out");
    EXPECT_EQ(field(lines[1], 4), "2048");
    EXPECT_EQ(field(lines[2], 4), "952");
    EXPECT_EQ(field(lines[3], 6), "SUB_SCSI_OP_FSM_CHECKSUM");
    // Block 5 of the blanking check: mode 2, phase 3, one result per block.
    const auto scan5 = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return field(line, 2) == "EF9300000005000155AA020300000000";
    });
    ASSERT_NE(scan5, lines.end());
    EXPECT_EQ(field(*scan5, 4), "2");
    EXPECT_EQ(field(*scan5, 5), "good");
    const auto refused = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return field(line, 5) == "refused";
    });
    EXPECT_EQ(refused, 1) << "only the write beyond the disk";
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) { return field(line, 5) == "failed-status"; }),
        2)
        << "the missing file's setup and multiplier index 6";
}

TEST_F(SimulatorTest, UnpluggedInTheMiddleOfACommand) {
    SimDeviceBus bus(simDir_);
    plug('E', "nand-2k", "--unplug-during FSM_WRITE@2");
    ASSERT_EQ(bus.waitEvent(5s), (DeviceEvent{DeviceEventKind::Arrival, driveLetterBit('E')}));
    const DeviceHandle held = transport_.open('E');
    ASSERT_NE(held, kInvalidHandle);

    EXPECT_FALSE(loadFsm('E', 5000));
    EXPECT_EQ(bus.waitEvent(5s), (DeviceEvent{DeviceEventKind::Removal, driveLetterBit('E')}));
    EXPECT_EQ(transport_.open('E'), kInvalidHandle);
    std::uint8_t maker = 0;
    std::uint32_t id = 0;
    EXPECT_FALSE(readFlashId(transport_, held, maker, id)) << "a handle of a pulled-out device";
    transport_.close(held);
    const auto lines = trace('E');
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(field(lines.back(), 5), "unplugged");
    EXPECT_EQ(field(lines.back(), 6), "SUB_SCSI_OP_FSM_WRITE");
    EXPECT_EQ(runDevsim("list").output, "");

    // Pulled out by hand while a slow command runs: the call fails at once.
    plug('F', "nand-2k", "--latency-ms 2000");
    const ScopedDevice device(transport_, 'F');
    std::thread unplug([&] {
        std::this_thread::sleep_for(100ms);
        runDevsim("unplug F");
    });
    EXPECT_FALSE(readFlashId(transport_, device.handle(), maker, id));
    unplug.join();
}

TEST_F(SimulatorTest, SilentDeviceRunsOutTheCallersTimeout) {
    plug('E', "nand-2k", "--silent READ_FLASH_ID");
    // 12 s of the command's timeout scaled down to 120 ms.
    SimTransport quick(SimTransportOptions{simDir_, 0.01});
    std::uint8_t maker = 0xAA;
    std::uint32_t id = 0;
    EXPECT_FALSE(readFlashIdByLetter(quick, 'E', maker, id));
    EXPECT_EQ(maker, 0);
    const ScopedDevice device(quick, 'E');
    ASSERT_TRUE(device.isOpen()) << "still on the bus";
    EXPECT_EQ(getFlashCount(quick, device.handle()), 0) << "and silent from then on";
    const auto lines = trace('E');
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(field(lines[0], 5), "silent");
}

TEST_F(SimulatorTest, InjectedFailuresOnTheirOccurrence) {
    plug('E', "nand-2k", "--fail GET_FLASH_COUNT@2 --fail SET_CAP_MULTIPLIER:status");
    ASSERT_TRUE(loadFsm('E'));
    const ScopedDevice device(transport_, 'E');
    EXPECT_EQ(getFlashCount(transport_, device.handle()), 1);
    EXPECT_EQ(getFlashCount(transport_, device.handle()), 0) << "the second one fails";
    EXPECT_EQ(getFlashCount(transport_, device.handle()), 1);
    EXPECT_FALSE(setCapMultiplier(transport_, device.handle(), 1));
    const auto lines = trace('E');
    // After the four commands of the FSM download.
    EXPECT_EQ(field(lines[5], 5), "fault-call");
    EXPECT_EQ(field(lines[7], 5), "fault-status");

    const ProgramRun cleared = runDevsim("fault E");
    ASSERT_EQ(cleared.exitCode, 0) << cleared.output;
    EXPECT_TRUE(setCapMultiplier(transport_, device.handle(), 1));
    const ProgramRun again = runDevsim("fault E --fail READ_FLASH_ID");
    ASSERT_EQ(again.exitCode, 0) << again.output;
    std::uint8_t maker = 0;
    std::uint32_t id = 0;
    EXPECT_FALSE(readFlashId(transport_, device.handle(), maker, id));
}

// A disk command the device answers with CHECK CONDITION is a failed call, for READ(10) and
// WRITE(10) of the disk as for any other: the reply's status counts, not only its arrival. The
// handle stays usable, and the next command succeeds.
TEST_F(SimulatorTest, CheckConditionFailsReadAndWriteOfTheDisk) {
    plug('E', "nand-2k", "--fail WRITE10@2:call --fail READ10@2:call");
    ASSERT_TRUE(loadFsm('E'));
    const ScopedDevice device(transport_, 'E');
    const Bytes cfg = test::buildCfg(test::CfgShape{});
    Bytes page(2048, 0);
    std::copy(cfg.begin(), cfg.end(), page.begin());
    ASSERT_TRUE(eraseBlock(transport_, device.handle(), 0, 1));
    ASSERT_TRUE(writePage(transport_, device.handle(), 0, 1, 0, page));
    const Bytes bitmap = blockBitmap(2048, {5, 700, 1500});
    std::fill(page.begin(), page.end(), 0);
    std::copy(bitmap.begin(), bitmap.end(), page.begin());
    ASSERT_TRUE(writePage(transport_, device.handle(), 1, 1, 0, page));
    ASSERT_TRUE(startDisk(transport_, device.handle()));

    const Bytes first(512, 0x11), second(512, 0x22), third(512, 0x33);
    EXPECT_TRUE(write10(transport_, device.handle(), 9, first, 512, 1));
    EXPECT_FALSE(write10(transport_, device.handle(), 9, second, 512, 1));
    Bytes back(512);
    EXPECT_TRUE(read10(transport_, device.handle(), 9, back, 512, 1));
    EXPECT_EQ(back, first) << "the refused write left the sector as it was";
    EXPECT_FALSE(read10(transport_, device.handle(), 9, back, 512, 1));
    EXPECT_TRUE(write10(transport_, device.handle(), 9, third, 512, 1));
    EXPECT_TRUE(read10(transport_, device.handle(), 9, back, 512, 1));
    EXPECT_EQ(back, third);

    const auto lines = trace('E');
    std::vector<std::string> disk;
    for (const auto& line : lines) {
        const std::string name = field(line, 6);
        if (name == "WRITE(10)" || name == "READ(10)") {
            disk.push_back(name + " " + field(line, 5));
        }
    }
    EXPECT_EQ(disk,
              (std::vector<std::string>{"WRITE(10) good", "WRITE(10) fault-call", "READ(10) good",
                                        "READ(10) fault-call", "WRITE(10) good", "READ(10) good"}));
}

TEST_F(SimulatorTest, TheSameStateFolderIsTheSameDevice) {
    const fs::path state = root_ / "stick";
    plug('E', "nand-2k", "--state " + state.string());
    ASSERT_TRUE(loadFsm('E'));
    {
        const ScopedDevice device(transport_, 'E');
        const Bytes cfg = test::buildCfg(test::CfgShape{});
        Bytes page(2048, 0);
        std::copy(cfg.begin(), cfg.end(), page.begin());
        ASSERT_TRUE(eraseBlock(transport_, device.handle(), 0, 1));
        ASSERT_TRUE(writePage(transport_, device.handle(), 0, 1, 0, page));
        const Bytes bitmap = blockBitmap(2048, {5, 700, 1500});
        std::fill(page.begin(), page.end(), 0);
        std::copy(bitmap.begin(), bitmap.end(), page.begin());
        ASSERT_TRUE(writePage(transport_, device.handle(), 1, 1, 0, page));
        ASSERT_TRUE(startDisk(transport_, device.handle()));
        ASSERT_TRUE(write10(transport_, device.handle(), 3, Bytes(512, 0x77), 512, 1));
    }
    ASSERT_EQ(runDevsim("unplug E").exitCode, 0);
    EXPECT_FALSE(simlink::simVolumePath(simDir_, 'E').has_value());

    plug('F', "nand-2k", "--state " + state.string());
    const ScopedDevice again(transport_, 'F');
    Bytes back(512);
    ASSERT_TRUE(read10(transport_, again.handle(), 3, back, 512, 1)) << "its disk is there at once";
    EXPECT_EQ(back, Bytes(512, 0x77));

    const ProgramRun other =
        runDevsim("plug --letter G --profile nand-512 --state " + state.string());
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_NE(other.output.find("holds another device"), std::string::npos) << other.output;
}

TEST_F(SimulatorTest, EightDevicesServedAtOnce) {
    const std::string letters = "EFGHIJKL";
    for (const char letter : letters) {
        plug(letter, "nand-2k");
    }
    const fs::path fsm = fsmFile();
    std::vector<std::thread> workers;
    std::vector<int> failures(letters.size(), 0);
    std::vector<double> seconds(letters.size(), 0);
    for (std::size_t i = 0; i < letters.size(); ++i) {
        workers.emplace_back([&, i] {
            const auto start = std::chrono::steady_clock::now();
            if (!bDownloadFsm(transport_, letters[i], fsm, 3000)) {
                ++failures[i];
                return;
            }
            const ScopedDevice device(transport_, letters[i]);
            for (std::uint32_t block = 0; block < 2048; ++block) {
                std::uint8_t result = 0;
                ScanBlockArgs args;
                args.firstBlock = block;
                args.pattern = static_cast<std::uint16_t>(block);
                if (!scanBlock(transport_, device.handle(), args, std::span(&result, 1)) ||
                    (result == 0xFF) == (block == 5 || block == 700 || block == 1500)) {
                    ++failures[i];
                }
            }
            seconds[i] =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    for (std::size_t i = 0; i < letters.size(); ++i) {
        EXPECT_EQ(failures[i], 0) << letters[i];
        RecordProperty(std::string("scan_seconds_") + letters[i], std::to_string(seconds[i]));
    }
    EXPECT_EQ(SimDeviceBus(simDir_).presentLetters(),
              driveLetterBit('E') | driveLetterBit('F') | driveLetterBit('G') |
                  driveLetterBit('H') | driveLetterBit('I') | driveLetterBit('J') |
                  driveLetterBit('K') | driveLetterBit('L'));
}

TEST_F(SimulatorTest, BusReportsArrivalsAndRemovals) {
    SimDeviceBus bus(simDir_);
    EXPECT_EQ(bus.presentLetters(), 0u);
    EXPECT_FALSE(bus.waitEvent(10ms).has_value());
    plug('E', "nand-2k");
    plug('F', "spi");
    std::uint32_t arrived = 0;
    while (arrived != (driveLetterBit('E') | driveLetterBit('F'))) {
        const auto event = bus.waitEvent(5s);
        ASSERT_TRUE(event.has_value());
        ASSERT_EQ(event->kind, DeviceEventKind::Arrival);
        arrived |= event->letters;
    }
    ASSERT_EQ(runDevsim("unplug E").exitCode, 0);
    EXPECT_EQ(bus.waitEvent(5s), (DeviceEvent{DeviceEventKind::Removal, driveLetterBit('E')}));
    EXPECT_EQ(bus.presentLetters(), driveLetterBit('F'));

    std::thread waker([&] {
        std::this_thread::sleep_for(50ms);
        bus.wake();
    });
    EXPECT_FALSE(bus.waitEvent(10s).has_value()) << "woken, not timed out";
    waker.join();
}

TEST_F(SimulatorTest, ProbeAsAServiceEngineerRunsIt) {
    plug('E', "nand-2k", "--port 5");
    plug('I', "foreign");
    plug('J', "needs-reset", "--reset-ms 20");
    const std::string probe = kBin + "/corvid-cli probe --sim-dir " + simDir_.string() + " ";

    const ProgramRun ours = runLine(probe + "E --no-fsm");
    EXPECT_EQ(ours.exitCode, 0) << ours.output;
    EXPECT_NE(ours.output.find("ID:ECDA109544"), std::string::npos) << ours.output;
    EXPECT_NE(ours.output.find("flash chips:  1"), std::string::npos) << ours.output;
    EXPECT_NE(ours.output.find("port:         5"), std::string::npos) << ours.output;
    EXPECT_NE(ours.output.find("inquiry:      passed"), std::string::npos) << ours.output;

    const ProgramRun reset = runLine(probe + "J --no-fsm");
    EXPECT_EQ(reset.exitCode, 0) << reset.output;
    EXPECT_NE(reset.output.find("reset sent, the device came back"), std::string::npos)
        << reset.output;

    const ProgramRun foreign = runLine(probe + "I");
    EXPECT_EQ(foreign.exitCode, 1) << foreign.output;
    EXPECT_NE(foreign.output.find("not a ZQL5Vxx device"), std::string::npos) << foreign.output;
    EXPECT_EQ(runLine(probe + "K").exitCode, 2);  // nothing plugged: bad input
    EXPECT_EQ(runLine(probe + "7").exitCode, 2);
    EXPECT_EQ(runLine(probe + "E --backend usb").exitCode, 2);

    // With a station folder the FSM goes out as at plug-in.
    const fs::path home = root_ / "home";
    const ProgramRun init = runLine(kBin + "/corvid-cli init-home " + home.string());
    ASSERT_EQ(init.exitCode, 0) << init.output;
    const ProgramRun withFsm = runLine(probe + "E --home " + home.string());
    EXPECT_EQ(withFsm.exitCode, 0) << withFsm.output;
    EXPECT_NE(withFsm.output.find("FSM:          sent"), std::string::npos) << withFsm.output;
}

TEST_F(SimulatorTest, ControlRefusesWhatItCannotDo) {
    plug('E', "nand-2k");
    struct Case {
        const char* arguments;
        int exitCode;
    };
    const Case cases[] = {
        {"plug --letter E --profile nand-2k", 1},  // already plugged
        {"plug --letter F --profile nand-9k", 2},  // no such profile
        {"plug --letter 5 --profile nand-2k", 2},  // not a drive letter
        {"plug --letter F --profile nand-2k --fail NOPE", 2},
        {"plug --letter F --profile nand-2k --bandwidth fast", 2},
        {"unplug F", 1},  // not plugged
        {"fault F --fail READ_CFG", 1},
        {"plug --letter F", 2},  // no profile
    };
    for (const Case& c : cases) {
        const ProgramRun run = runDevsim(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments << ": " << run.output;
        EXPECT_FALSE(run.output.empty()) << c.arguments;
    }
    const ProgramRun nobody =
        runLine(kBin + "/corvid-devsim list --dir " + (root_ / "none").string());
    EXPECT_EQ(nobody.exitCode, 1);
    EXPECT_NE(nobody.output.find("No simulator serves"), std::string::npos) << nobody.output;
    const ProgramRun twice = runDevsim("serve --daemon");
    EXPECT_EQ(twice.exitCode, 1);
    EXPECT_NE(twice.output.find("already serves"), std::string::npos) << twice.output;
}

}  // namespace
}  // namespace corvid
