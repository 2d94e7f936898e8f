#include "devsim/gadget.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "devsim/bulk_only.h"
#include "devsim/device.h"

namespace corvid::devsim {

namespace {

namespace fs = std::filesystem;

// Interrupts the bulk thread's blocked endpoint I/O. Installed without SA_RESTART, so a read or
// write waiting on an endpoint returns EINTR and the kernel takes its request back: a CSW of a
// command the host has given up on never reaches the host.
constexpr int kInterruptSignal = SIGUSR1;

constexpr std::uint8_t kGetMaxLun = 0xFE;
constexpr std::uint8_t kBulkOnlyReset = 0xFF;
constexpr const char* kUsbVendor = "0x1d6b";   // Linux Foundation
constexpr const char* kUsbProduct = "0x0104";  // multifunction composite gadget
constexpr std::size_t kCbwRead = 512;          // one high-speed packet: a CBW is a short one
constexpr std::uint8_t kEndpointIn = 1 | USB_DIR_IN;
constexpr std::uint8_t kEndpointOut = 2 | USB_DIR_OUT;
constexpr auto kKickInterval = std::chrono::milliseconds(10);
constexpr auto kResetWait = std::chrono::seconds(1);

#pragma pack(push, 1)
struct Interface {
    usb_interface_descriptor interface;
    usb_endpoint_descriptor_no_audio in;
    usb_endpoint_descriptor_no_audio out;
};
static_assert(sizeof(Interface) == 9 + 7 + 7);

struct Descriptors {
    usb_functionfs_descs_head_v2 header;
    std::uint32_t fsCount;
    std::uint32_t hsCount;
    Interface fullSpeed;
    Interface highSpeed;
};
static_assert(sizeof(Descriptors) == 12 + 8 + 2 * sizeof(Interface));

constexpr char kInterfaceName[] = "Corvid mass storage";
struct Strings {
    usb_functionfs_strings_head header;
    std::uint16_t language;
    char name[sizeof(kInterfaceName)];
};
static_assert(sizeof(Strings) == 16 + 2 + sizeof(kInterfaceName));
#pragma pack(pop)

Interface interfaceFor(std::uint16_t maxPacket) {
    Interface i{};
    i.interface = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE,     0, 0, 2, USB_CLASS_MASS_STORAGE,
                   0x06 /* SCSI */,       0x50 /* bulk-only */, 1};
    i.in = {USB_DT_ENDPOINT_SIZE,   USB_DT_ENDPOINT, kEndpointIn,
            USB_ENDPOINT_XFER_BULK, maxPacket,       0};
    i.out = {USB_DT_ENDPOINT_SIZE,   USB_DT_ENDPOINT, kEndpointOut,
             USB_ENDPOINT_XFER_BULK, maxPacket,       0};
    return i;
}

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

void writeText(const fs::path& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        throw systemError("cannot open " + path.string());
    }
    const ssize_t written = ::write(fd, text.data(), text.size());
    const int error = errno;
    ::close(fd);
    if (written != static_cast<ssize_t>(text.size())) {
        errno = error;
        throw systemError("cannot write \"" + text + "\" to " + path.string());
    }
}

void writeAllOrThrow(int fd, const void* data, std::size_t size, const std::string& what) {
    if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
        throw systemError("cannot write the " + what);
    }
}

// The device controller to bind to: the one named, or the only one there is.
std::string chooseUdc(const std::string& wanted) {
    if (!wanted.empty()) {
        return wanted;
    }
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/class/udc", error)) {
        found.push_back(entry.path().filename().string());
    }
    if (found.size() != 1) {
        throw std::runtime_error(found.empty()
                                     ? "there is no USB device controller (/sys/class/udc is empty)"
                                     : "there are " + std::to_string(found.size()) +
                                           " USB device controllers; name one with --udc");
    }
    return found.front();
}

void onInterrupt(int) {}

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: blocked endpoint I/O must end
    ::sigaction(kInterruptSignal, &action, nullptr);
}

}  // namespace

struct Gadget::State {
    State(Device& d, GadgetSettings s, Log l)
        : device(d), settings(std::move(s)), log(std::move(l)), storage(d) {}

    Device& device;
    GadgetSettings settings;
    Log log;
    MassStorage storage;
    std::string udc;
    fs::path gadgetDir;
    fs::path ffsDir;
    std::vector<fs::path> made;  // configfs entries in the order made; removed in reverse
    bool mounted = false;
    int ep0 = -1;
    int in = -1;
    int out = -1;
    int wake[2] = {-1, -1};
    std::atomic<bool> stopping{false};

    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t generation = 0;      // raised by every reset and disconnect
    std::uint64_t bulkGeneration = 0;  // the generation the bulk thread works in
    bool bulkDone = false;
    pthread_t bulkThread{};

    void make();
    void remove();
    void bindUdc(bool bound);
    void ep0Loop();
    void handleSetup(const usb_ctrlrequest& setup);
    void newGeneration(bool waitForBulk);
    void bulkLoop();
    bool stale(std::uint64_t generation);
    void waitForChange(std::uint64_t since);
    bool transfer(int fd, std::uint8_t* data, std::size_t size, bool read, std::uint64_t since);
    void halt(int fd, bool isIn);
    void comeBackAfterReset();
};

void Gadget::State::make() {
    udc = chooseUdc(settings.udc);
    const fs::path gadgets = settings.configfs / "usb_gadget";
    if (!fs::is_directory(gadgets)) {
        throw std::runtime_error("no USB gadget configuration at " + gadgets.string() +
                                 " (load libcomposite and mount configfs)");
    }
    gadgetDir = gadgets / settings.name;
    auto makeDir = [&](const fs::path& dir) {
        if (::mkdir(dir.c_str(), 0755) != 0) {
            throw systemError("cannot make " + dir.string());
        }
        made.push_back(dir);
    };
    makeDir(gadgetDir);
    writeText(gadgetDir / "idVendor", kUsbVendor);
    writeText(gadgetDir / "idProduct", kUsbProduct);
    writeText(gadgetDir / "bcdUSB", "0x0200");
    makeDir(gadgetDir / "strings/0x409");
    writeText(gadgetDir / "strings/0x409/manufacturer", "Corvid");
    writeText(gadgetDir / "strings/0x409/product", "corvid-devsim gadget");
    writeText(gadgetDir / "strings/0x409/serialnumber", settings.serial);
    makeDir(gadgetDir / "configs/c.1");
    const std::string function = "ffs." + settings.name;
    makeDir(gadgetDir / "functions" / function);
    const fs::path link = gadgetDir / "configs/c.1" / function;
    if (::symlink((gadgetDir / "functions" / function).c_str(), link.c_str()) != 0) {
        throw systemError("cannot link " + link.string());
    }
    made.push_back(link);

    ffsDir = fs::temp_directory_path() / ("corvid-ffs-" + settings.name);
    std::error_code error;
    fs::create_directories(ffsDir, error);
    if (::mount(settings.name.c_str(), ffsDir.c_str(), "functionfs", 0, nullptr) != 0) {
        throw systemError("cannot mount FunctionFS at " + ffsDir.string());
    }
    mounted = true;
    ep0 = ::open((ffsDir / "ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (ep0 < 0) {
        throw systemError("cannot open " + (ffsDir / "ep0").string());
    }
    Descriptors descriptors{};
    descriptors.header = {FUNCTIONFS_DESCRIPTORS_MAGIC_V2, sizeof(Descriptors),
                          FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC};
    descriptors.fsCount = 3;
    descriptors.hsCount = 3;
    descriptors.fullSpeed = interfaceFor(64);
    descriptors.highSpeed = interfaceFor(512);
    writeAllOrThrow(ep0, &descriptors, sizeof(descriptors), "USB descriptors");
    Strings strings{};
    strings.header = {FUNCTIONFS_STRINGS_MAGIC, sizeof(Strings), 1, 1};
    strings.language = 0x0409;
    std::memcpy(strings.name, kInterfaceName, sizeof(kInterfaceName));
    writeAllOrThrow(ep0, &strings, sizeof(strings), "USB strings");
    in = ::open((ffsDir / "ep1").c_str(), O_RDWR | O_CLOEXEC);
    out = ::open((ffsDir / "ep2").c_str(), O_RDWR | O_CLOEXEC);
    if (in < 0 || out < 0) {
        throw systemError("cannot open the bulk endpoints in " + ffsDir.string());
    }
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        throw systemError("cannot make a pipe");
    }
}

void Gadget::State::remove() {
    for (int* fd : {&in, &out, &ep0, &wake[0], &wake[1]}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    if (mounted) {
        ::umount(ffsDir.c_str());
        mounted = false;
    }
    if (!ffsDir.empty()) {
        ::rmdir(ffsDir.c_str());
    }
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        if (fs::is_symlink(*it)) {
            ::unlink(it->c_str());
        } else {
            ::rmdir(it->c_str());
        }
    }
    made.clear();
}

void Gadget::State::bindUdc(bool bound) {
    try {
        writeText(gadgetDir / "UDC", bound ? udc : "\n");
    } catch (const std::runtime_error&) {
        if (bound) {
            throw;
        }
        // Unbinding what is not bound: nothing to do.
    }
}

void Gadget::State::ep0Loop() {
    usb_functionfs_event events[4];
    while (!stopping) {
        pollfd fds[2] = {{ep0, POLLIN, 0}, {wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const ssize_t got = ::read(ep0, events, sizeof(events));
        if (got < 0) {
            continue;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof(events[0]); ++i) {
            switch (events[i].type) {
                case FUNCTIONFS_DISABLE:
                case FUNCTIONFS_UNBIND:
                    newGeneration(false);
                    break;
                case FUNCTIONFS_SETUP:
                    handleSetup(events[i].u.setup);
                    break;
                default:
                    break;
            }
        }
    }
}

void Gadget::State::handleSetup(const usb_ctrlrequest& setup) {
    const bool toHost = (setup.bRequestType & USB_DIR_IN) != 0;
    const bool classToInterface = (setup.bRequestType & (USB_TYPE_MASK | USB_RECIP_MASK)) ==
                                  (USB_TYPE_CLASS | USB_RECIP_INTERFACE);
    if (classToInterface && setup.bRequest == kGetMaxLun && toHost && setup.wLength >= 1) {
        const std::uint8_t maxLun = 0;
        [[maybe_unused]] auto written = ::write(ep0, &maxLun, 1);
        return;
    }
    if (classToInterface && setup.bRequest == kBulkOnlyReset && !toHost && setup.wLength == 0) {
        // The commands in flight are dropped before the host hears the reset is done.
        newGeneration(true);
        [[maybe_unused]] auto acked = ::read(ep0, nullptr, 0);
        return;
    }
    // Anything else is refused: I/O against the request's direction stalls ep0.
    if (toHost) {
        [[maybe_unused]] auto stalled = ::read(ep0, nullptr, 0);
    } else {
        [[maybe_unused]] auto stalled = ::write(ep0, nullptr, 0);
    }
}

void Gadget::State::newGeneration(bool waitForBulk) {
    std::unique_lock lock(mutex);
    const std::uint64_t now = ++generation;
    changed.notify_all();
    const auto until = std::chrono::steady_clock::now() + kResetWait;
    do {
        ::pthread_kill(bulkThread, kInterruptSignal);
        changed.wait_for(lock, kKickInterval, [&] { return bulkGeneration == now || bulkDone; });
    } while (waitForBulk && bulkGeneration != now && !bulkDone &&
             std::chrono::steady_clock::now() < until);
}

bool Gadget::State::stale(std::uint64_t since) {
    std::lock_guard lock(mutex);
    return generation != since || stopping;
}

void Gadget::State::waitForChange(std::uint64_t since) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return generation != since || stopping; });
}

bool Gadget::State::transfer(int fd, std::uint8_t* data, std::size_t size, bool read,
                             std::uint64_t since) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t moved =
            read ? ::read(fd, data + done, size - done) : ::write(fd, data + done, size - done);
        if (stale(since)) {
            return false;
        }
        if (moved < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(moved);
        if (read && moved == 0) {
            return false;
        }
    }
    return true;
}

void Gadget::State::halt(int fd, bool isIn) {
    // FunctionFS halts an endpoint that is asked to move data against its direction.
    std::uint8_t none = 0;
    if (isIn) {
        [[maybe_unused]] auto r = ::read(fd, &none, 0);
    } else {
        [[maybe_unused]] auto w = ::write(fd, &none, 0);
    }
}

void Gadget::State::comeBackAfterReset() {
    bindUdc(false);
    {
        std::unique_lock lock(mutex);
        const auto away = std::chrono::microseconds(
            static_cast<std::int64_t>(device.timing().resetAwayMs * 1000));
        if (changed.wait_for(lock, away, [&] { return stopping.load(); })) {
            return;
        }
    }
    device.powerUp(true);
    bindUdc(true);
    log("back after its reset");
}

void Gadget::State::bulkLoop() {
    std::vector<std::uint8_t> dataOut;
    std::uint8_t cbwBytes[kCbwRead];
    while (!stopping) {
        std::uint64_t since = 0;
        {
            std::lock_guard lock(mutex);
            since = generation;
            bulkGeneration = since;
            changed.notify_all();
        }
        const ssize_t got = ::read(out, cbwBytes, sizeof(cbwBytes));
        if (stale(since)) {
            continue;
        }
        if (got < 0) {
            if (errno != EINTR) {
                // Disconnected or not yet configured: wait for the host to come (back).
                std::unique_lock lock(mutex);
                changed.wait_for(lock, std::chrono::milliseconds(50),
                                 [&] { return generation != since || stopping; });
            }
            continue;
        }
        const auto cbw = parseCbw(std::span(cbwBytes, static_cast<std::size_t>(got)));
        if (!cbw) {
            log("a malformed command wrapper of " + std::to_string(got) +
                " bytes: stalled until the host resets");
            halt(in, true);
            halt(out, false);
            waitForChange(since);
            continue;
        }
        const bool hostSends = (cbw->flags & kCbwFlagDataIn) == 0 && cbw->dataTransferLength > 0;
        dataOut.resize(hostSends ? cbw->dataTransferLength : 0);
        if (hostSends && !transfer(out, dataOut.data(), dataOut.size(), true, since)) {
            continue;
        }
        BulkReply reply = storage.command(*cbw, dataOut);
        if (stale(since)) {
            continue;
        }
        if (reply.after == AfterCommand::Leave) {
            log("pulled out during a command");
            bindUdc(false);
            stopping = true;
            [[maybe_unused]] auto w = ::write(wake[1], "x", 1);
            return;
        }
        if (reply.after == AfterCommand::Hang) {
            waitForChange(since);
            continue;
        }
        if (!reply.dataIn.empty() &&
            !transfer(in, reply.dataIn.data(), reply.dataIn.size(), false, since)) {
            continue;
        }
        if (reply.stallIn) {
            halt(in, true);
        }
        if (!transfer(in, reinterpret_cast<std::uint8_t*>(&reply.csw), sizeof(reply.csw), false,
                      since)) {
            continue;
        }
        if (reply.after == AfterCommand::ReplyThenReset) {
            comeBackAfterReset();
        }
    }
}

Gadget::Gadget(Device& device, GadgetSettings settings, Log log)
    : state_(std::make_unique<State>(device, std::move(settings), std::move(log))) {
    try {
        state_->make();
    } catch (...) {
        state_->remove();
        throw;
    }
}

Gadget::~Gadget() {
    state_->bindUdc(false);
    state_->remove();
}

void Gadget::serve() {
    State& s = *state_;
    installInterruptHandler();
    std::thread bulk([&s] {
        s.bulkLoop();
        std::lock_guard lock(s.mutex);
        s.bulkDone = true;
        s.changed.notify_all();
    });
    {
        std::lock_guard lock(s.mutex);
        s.bulkThread = bulk.native_handle();
    }
    // The bulk thread ends however serving ends: its device wait and endpoint I/O are cut short.
    struct Join {
        Gadget& gadget;
        State& s;
        std::thread& bulk;
        ~Join() {
            gadget.requestStop();
            s.device.interrupt();
            std::unique_lock lock(s.mutex);
            while (!s.bulkDone) {
                ::pthread_kill(s.bulkThread, kInterruptSignal);
                s.changed.wait_for(lock, kKickInterval);
            }
            lock.unlock();
            bulk.join();
        }
    } join{*this, s, bulk};
    s.bindUdc(true);
    s.log("bound to " + s.udc);
    s.ep0Loop();
}

void Gadget::requestStop() {
    State& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        s.stopping = true;
        s.changed.notify_all();
    }
    [[maybe_unused]] auto w = ::write(s.wake[1], "x", 1);
}

}  // namespace corvid::devsim
