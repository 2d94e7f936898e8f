// No descriptor of the station reaches a program it starts (mkfs.fat, fsck.fat, mtools, the port
// program): every device handle, socket and file the station opens is close-on-exec, and a child
// started through the process runner holds only its standard input, output and error.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "platform/process_runner.h"
#include "platform/text_file.h"
#include "platform/udev_device_bus_linux.h"
#include "simlink/sim_device_bus.h"
#include "simlink/sim_dir.h"
#include "simlink/sim_transport.h"
#include "simlink/wire.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "transport/sg_transport.h"

namespace corvid {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Bits of the octal "flags:" line of /proc/PID/fdinfo (Linux, every architecture the station
// builds on): the access mode, and O_CLOEXEC, which the kernel adds there for a close-on-exec
// descriptor.
constexpr unsigned long kFdinfoAccessMode = 03;
constexpr unsigned long kFdinfoReadOnly = 00;
constexpr unsigned long kFdinfoCloseOnExec = 02000000;

// A descriptor that lists the descriptor folder of a process: the listing's own.
bool listsDescriptors(const std::string& linkTarget) {
    return linkTarget.starts_with("/proc/") && linkTarget.ends_with("/fd");
}

std::string target(int fd) {
    std::error_code error;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
}

// The descriptors this process holds, without the one that reads their folder.
std::set<int> openDescriptors() {
    std::set<int> fds;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        if (!listsDescriptors(target(fd))) {
            fds.insert(fd);
        }
    }
    return fds;
}

unsigned long fdinfoFlags(int fd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("flags:", 0) == 0) {
            return std::stoul(line.substr(6), nullptr, 8);
        }
    }
    ADD_FAILURE() << "descriptor " << fd << " has no flags in /proc/self/fdinfo";
    return 0;
}

bool closeOnExec(int fd) {
    return (fdinfoFlags(fd) & kFdinfoCloseOnExec) != 0;
}

// Descriptors opened since 'before', each with what it points at.
std::vector<std::pair<int, std::string>> openedSince(const std::set<int>& before) {
    std::vector<std::pair<int, std::string>> opened;
    for (const int fd : openDescriptors()) {
        if (before.count(fd) == 0) {
            opened.emplace_back(fd, target(fd));
        }
    }
    return opened;
}

// The descriptors a child started by the process runner holds, from its own "ls -l" of
// /proc/self/fd; the directory ls reads to list them is left out.
std::set<int> descriptorsOfAChild() {
    const test::ProgramRun run = test::runProgram({"ls", "-l", "/proc/self/fd/"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    std::set<int> fds;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        const auto arrow = line.find(" -> ");
        if (arrow == std::string::npos) {
            continue;
        }
        const auto name = line.rfind(' ', arrow - 1);
        if (listsDescriptors(line.substr(arrow + 4))) {
            continue;
        }
        fds.insert(std::stoi(line.substr(name + 1, arrow - name - 1)));
    }
    return fds;
}

class CloseOnExecTest : public test::TempDirTest {};

// A device handle of each backend and each bus, held open while a child starts.
TEST_F(CloseOnExecTest, HandlesAndSocketsOfTheStationStayOutOfChildren) {
    const std::set<int> before = openDescriptors();

    std::ofstream(dir_ / "sdq") << "a node that opens";
    // The stand-in node is no USB disk: past a guard that lets it through.
    SgTransport sg(dir_.string(), {}, [](char) { return std::optional<std::string>(); });
    const DeviceHandle sgHandle = sg.open('Q');
    ASSERT_NE(sgHandle, kInvalidHandle);

    const fs::path simDir = dir_ / "sim";
    fs::create_directories(simDir);
    const int listener = simlink::listenUnix(simlink::deviceSocketPath(simDir, 'E'), 1);
    SimTransport sim(SimTransportOptions{simDir, 1.0});
    const DeviceHandle simHandle = sim.open('E');
    ASSERT_NE(simHandle, kInvalidHandle);
    SimDeviceBus bus(simDir);
    // The system's bus: its udev monitor socket and wake-up.
    UdevDeviceBus udevBus(UdevDeviceBusOptions{.note = [](const std::string&) {}});

    const auto opened = openedSince(before);
    // The node, the listener (the test's own), the connection, each bus's watch and wake-up.
    EXPECT_GE(opened.size(), 7u);
    for (const auto& [fd, what] : opened) {
        if (fd != listener) {
            EXPECT_TRUE(closeOnExec(fd)) << "descriptor " << fd << " (" << what << ")";
        }
    }
    EXPECT_EQ(descriptorsOfAChild(), (std::set<int>{0, 1, 2}));

    sim.close(simHandle);
    sg.close(sgHandle);
    simlink::closeFd(listener);
}

// A file the station reads is open while the read waits (here on a FIFO whose writer has not
// written yet): it is close-on-exec then, and a child started meanwhile does not hold it.
TEST_F(CloseOnExecTest, AFileBeingReadStaysOutOfChildren) {
    const fs::path fifo = dir_ / "settings.ini";
    const test::ProgramRun made = test::runProgram({"mkfifo", fifo.string()});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const std::set<int> before = openDescriptors();

    auto reading = std::async(std::launch::async, [&] { return readFileBytes(fifo); });
    std::ofstream writer(fifo, std::ios::binary);  // lets the reader's open return
    ASSERT_TRUE(writer.is_open());
    // The reader's descriptor is the FIFO's read-only end; the test's writer holds the other.
    int readerFd = -1;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (readerFd < 0 && std::chrono::steady_clock::now() < deadline) {
        for (const auto& [fd, what] : openedSince(before)) {
            if (what == fifo.string() && (fdinfoFlags(fd) & kFdinfoAccessMode) == kFdinfoReadOnly) {
                readerFd = fd;
            }
        }
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_GE(readerFd, 0) << "the reader never opened " << fifo;
    EXPECT_TRUE(closeOnExec(readerFd));
    EXPECT_EQ(descriptorsOfAChild(), (std::set<int>{0, 1, 2}));

    writer << "[Corvid]\r\n";
    writer.close();
    EXPECT_EQ(reading.get(), "[Corvid]\r\n");
}

}  // namespace
}  // namespace corvid
