#include "devsim/host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <fstream>
#include <list>
#include <stdexcept>

#include "devsim/device.h"
#include "platform/ascii_text.h"
#include "simlink/control.h"
#include "simlink/sim_dir.h"
#include "simlink/wire.h"

namespace corvid::devsim {

namespace fs = std::filesystem;

// The socket of one plugged device and the threads that serve its connections.
class DeviceSlot {
  public:
    DeviceSlot(Host& host, std::shared_ptr<Device> device, std::uint64_t generation)
        : host_(host), device_(std::move(device)), generation_(generation) {
        updateVolumeLink();
        listenFd_ =
            simlink::listenUnix(simlink::deviceSocketPath(host_.simDir(), device_->letter()), 64);
        acceptThread_ = std::thread([this] { acceptLoop(); });
    }

    ~DeviceSlot() {
        detach();
        acceptThread_.join();
        // Joined without the lock: a connection may still be on its way out through detach().
        std::list<Connection> ended;
        {
            std::lock_guard lock(mutex_);
            ended.splice(ended.end(), connections_);
        }
        for (auto& connection : ended) {
            connection.thread.join();
            simlink::closeFd(connection.fd);
        }
        simlink::closeFd(listenFd_);
    }

    // The device leaves: its socket goes at once, every connection sees the end. Safe from any
    // thread, the slot's own included; the threads are joined by the destructor.
    void detach() {
        std::lock_guard lock(mutex_);
        if (detached_) {
            return;
        }
        detached_ = true;
        ::unlink(simlink::deviceSocketPath(host_.simDir(), device_->letter()).c_str());
        removeVolumeLink();
        ::shutdown(listenFd_, SHUT_RDWR);
        for (auto& connection : connections_) {
            ::shutdown(connection.fd, SHUT_RDWR);
        }
        device_->interrupt();
    }

  private:
    struct Connection {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop() {
        for (;;) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            std::lock_guard lock(mutex_);
            if (fd < 0) {
                if (detached_ || (errno != EINTR && errno != ECONNABORTED)) {
                    return;
                }
                continue;
            }
            if (detached_) {
                simlink::closeFd(fd);
                return;
            }
            // Join the connections that ended, so a long session does not pile up threads.
            for (auto it = connections_.begin(); it != connections_.end();) {
                if (it->done) {
                    it->thread.join();
                    simlink::closeFd(it->fd);
                    it = connections_.erase(it);
                } else {
                    ++it;
                }
            }
            Connection& connection = connections_.emplace_back();
            connection.fd = fd;
            connection.thread = std::thread([this, &connection] {
                serve(connection.fd);
                connection.done = true;
            });
        }
    }

    void serve(int fd) {
        std::vector<std::uint8_t> dataOut;
        for (;;) {
            simlink::WireRequest request{};
            if (simlink::readAll(fd, &request, sizeof(request), simlink::Deadline()) !=
                    simlink::IoResult::Ok ||
                request.magic != simlink::kWireMagic || request.version != simlink::kWireVersion ||
                request.cdbLength == 0 || request.cdbLength > sizeof(request.cdb) ||
                request.transferLength > simlink::kMaxWireTransfer) {
                return;
            }
            const auto arrived = std::chrono::steady_clock::now();
            const bool out =
                request.direction == static_cast<std::uint8_t>(simlink::WireDirection::Out);
            dataOut.resize(out ? request.transferLength : 0);
            if (out && simlink::readAll(fd, dataOut.data(), dataOut.size(), simlink::Deadline()) !=
                           simlink::IoResult::Ok) {
                return;
            }
            DeviceReply reply = device_->handle(request, dataOut, arrived);
            switch (reply.after) {
                case AfterCommand::Hang:
                    updateVolumeLink();  // a silent device's disk is unreadable to the tools too
                    continue;
                case AfterCommand::Leave:
                    detach();
                    host_.deviceLeft(device_->letter(), generation_, false);
                    return;
                case AfterCommand::Reply:
                case AfterCommand::ReplyThenReset:
                    break;
            }
            updateVolumeLink();
            if (simlink::writeAll(fd, &reply.header, sizeof(reply.header), simlink::Deadline()) !=
                    simlink::IoResult::Ok ||
                simlink::writeAll(fd, reply.data.data(), reply.data.size(), simlink::Deadline()) !=
                    simlink::IoResult::Ok) {
                return;
            }
            if (reply.after == AfterCommand::ReplyThenReset) {
                detach();
                host_.deviceLeft(device_->letter(), generation_, true);
                return;
            }
        }
    }

    // DIR/E.volume points at the backing file of the part the device shows now; DIR/E.sector
    // tells that disk's sector size, written first so the link never shows a disk without it.
    void updateVolumeLink() {
        const auto volume = device_->shownVolume();
        const auto sectorSize = device_->shownSectorSize();
        std::lock_guard lock(linkMutex_);
        if (linksRemoved_ || (volume == linkedVolume_ && sectorSize == linkedSectorSize_)) {
            return;
        }
        const fs::path link = simlink::volumeLinkPath(host_.simDir(), device_->letter());
        const fs::path sectorFile = simlink::sectorSizePath(host_.simDir(), device_->letter());
        std::error_code error;
        if (volume) {
            const fs::path sectorTemporary =
                sectorFile.parent_path() / ("." + sectorFile.filename().string() + ".new");
            std::ofstream(sectorTemporary) << sectorSize.value_or(512) << '\n';
            fs::rename(sectorTemporary, sectorFile, error);
            const fs::path temporary =
                link.parent_path() / ("." + link.filename().string() + ".new");
            fs::remove(temporary, error);
            fs::create_symlink(fs::absolute(*volume), temporary, error);
            fs::rename(temporary, link, error);
        } else {
            fs::remove(link, error);
            fs::remove(sectorFile, error);
        }
        linkedVolume_ = volume;
        linkedSectorSize_ = sectorSize;
    }

    void removeVolumeLink() {
        std::lock_guard lock(linkMutex_);
        std::error_code error;
        fs::remove(simlink::volumeLinkPath(host_.simDir(), device_->letter()), error);
        fs::remove(simlink::sectorSizePath(host_.simDir(), device_->letter()), error);
        linkedVolume_.reset();
        linkedSectorSize_.reset();
        linksRemoved_ = true;
    }

    Host& host_;
    std::shared_ptr<Device> device_;
    std::uint64_t generation_;
    int listenFd_ = -1;
    std::thread acceptThread_;
    std::mutex mutex_;
    bool detached_ = false;
    std::list<Connection> connections_;
    std::mutex linkMutex_;
    std::optional<fs::path> linkedVolume_;
    std::optional<std::uint32_t> linkedSectorSize_;
    bool linksRemoved_ = false;
};

namespace {

std::string valueOf(const std::string& word, const std::string& key) {
    return word.substr(key.size() + 1);
}

bool hasKey(const std::string& word, const std::string& key) {
    return word.size() > key.size() && word.compare(0, key.size(), key) == 0 &&
           word[key.size()] == '=';
}

double parseMilliseconds(const std::string& text, const std::string& what) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value < 0) {
        throw std::invalid_argument("The " + what + " \"" + text +
                                    "\" is not a number of milliseconds.");
    }
    return value;
}

// "e", "E" and "E:" name the same drive, as on the station's command line.
char parseLetter(const std::string& text) {
    const std::optional<char> letter = driveLetterOf(text);
    if (!letter) {
        throw std::invalid_argument("The drive letter \"" + text + "\" is not one of A to Z.");
    }
    return *letter;
}

std::string safeName(const std::string& name) {
    std::string out;
    for (const char c : name) {
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
    }
    return out;
}

// Applies the fault and timing words to the settings; false for a word it does not know.
bool applyFaultOrTiming(const std::string& word, DeviceSettings& settings) {
    if (hasKey(word, "fail")) {
        settings.faults.push_back(parseFaultRule(FaultRule::Kind::FailCall, valueOf(word, "fail")));
    } else if (hasKey(word, "unplug-during")) {
        settings.faults.push_back(
            parseFaultRule(FaultRule::Kind::UnplugDuring, valueOf(word, "unplug-during")));
    } else if (hasKey(word, "silent")) {
        settings.faults.push_back(parseFaultRule(FaultRule::Kind::Silent, valueOf(word, "silent")));
    } else if (hasKey(word, "lose-write")) {
        settings.faults.push_back(
            parseFaultRule(FaultRule::Kind::LoseData, valueOf(word, "lose-write")));
    } else if (hasKey(word, "lie")) {
        settings.lie = parseLieMode(valueOf(word, "lie"));
    } else if (hasKey(word, "latency-ms")) {
        settings.timing.latencyMs = parseMilliseconds(valueOf(word, "latency-ms"), "latency");
    } else if (hasKey(word, "bandwidth")) {
        settings.timing.bytesPerSecond = parseBandwidth(valueOf(word, "bandwidth"));
    } else if (hasKey(word, "scan-ms")) {
        settings.timing.scanMsPerBlock = parseMilliseconds(valueOf(word, "scan-ms"), "scan time");
    } else if (hasKey(word, "reset-ms")) {
        settings.timing.resetAwayMs = parseMilliseconds(valueOf(word, "reset-ms"), "reset time");
    } else {
        return false;
    }
    return true;
}

}  // namespace

Host::Host(fs::path simDir, Log log) : simDir_(std::move(simDir)), log_(std::move(log)) {
    std::error_code error;
    fs::create_directories(simDir_, error);
    if (!fs::is_directory(simDir_)) {
        throw std::runtime_error("The simulator directory " + simDir_.string() +
                                 " cannot be created.");
    }
    if (simlink::simulatorRunning(simDir_)) {
        throw std::runtime_error("A simulator already serves " + simDir_.string() + ".");
    }
    // Leftovers of a simulator that did not end cleanly.
    for (const auto& item : fs::directory_iterator(simDir_, error)) {
        const auto name = item.path().filename();
        if (simlink::letterOfSocketName(name) || name.extension() == ".volume" ||
            name.extension() == ".sector" ||
            name == simlink::controlSocketPath(simDir_).filename()) {
            fs::remove(item.path(), error);
        }
    }
    controlFd_ = simlink::listenUnix(simlink::controlSocketPath(simDir_), 16);
    if (::pipe2(wakePipe_, O_CLOEXEC) != 0) {
        simlink::closeFd(controlFd_);
        throw std::runtime_error("Cannot create the simulator's wake-up pipe.");
    }
    jobThread_ = std::thread([this] { runJobs(); });
}

Host::~Host() {
    {
        std::lock_guard lock(jobsMutex_);
        stopping_ = true;
        jobsChanged_.notify_all();
    }
    jobThread_.join();
    {
        std::lock_guard lock(slotsMutex_);
        entries_.clear();
    }
    if (!controlSocketRemoved_) {
        std::error_code error;
        fs::remove(simlink::controlSocketPath(simDir_), error);
    }
    simlink::closeFd(controlFd_);
    simlink::closeFd(wakePipe_[0]);
    simlink::closeFd(wakePipe_[1]);
}

void Host::requestStop() {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(wakePipe_[1], &byte, 1);
}

void Host::serve() {
    for (;;) {
        pollfd fds[2] = {{controlFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        const int fd = ::accept4(controlFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const simlink::Deadline deadline = simlink::Deadline::after(std::chrono::seconds(5));
        simlink::ControlHeader header{};
        std::string payload;
        bool ok =
            simlink::readAll(fd, &header, sizeof(header), deadline) == simlink::IoResult::Ok &&
            header.magic == simlink::kControlMagic && header.length <= simlink::kMaxControlPayload;
        if (ok) {
            payload.resize(header.length);
            ok = simlink::readAll(fd, payload.data(), payload.size(), deadline) ==
                 simlink::IoResult::Ok;
        }
        if (!ok) {
            simlink::closeFd(fd);
            continue;
        }
        const auto words = simlink::splitWords(payload);
        int code = 0;
        const std::string text = handleControl(words, code);
        const bool stop = !words.empty() && words.front() == "stop";
        if (stop) {
            // Everything is gone before the reply, so a new simulator may start at once.
            std::lock_guard lock(slotsMutex_);
            entries_.clear();
            std::error_code error;
            fs::remove(simlink::controlSocketPath(simDir_), error);
            controlSocketRemoved_ = true;
        }
        simlink::ControlHeader reply{simlink::kControlMagic,
                                     static_cast<std::uint32_t>(text.size()),
                                     static_cast<std::uint8_t>(code),
                                     {}};
        simlink::writeAll(fd, &reply, sizeof(reply), deadline);
        simlink::writeAll(fd, text.data(), text.size(), deadline);
        simlink::closeFd(fd);
        if (stop) {
            break;
        }
    }
    std::lock_guard lock(slotsMutex_);
    entries_.clear();
    if (!controlSocketRemoved_) {
        std::error_code error;
        fs::remove(simlink::controlSocketPath(simDir_), error);
        controlSocketRemoved_ = true;
    }
}

std::string Host::handleControl(const std::vector<std::string>& words, int& code) {
    code = static_cast<int>(simlink::ControlCode::Ok);
    try {
        const std::string command = words.empty() ? "" : words.front();
        if (command == "plug") {
            return plug(words, code);
        }
        if (command == "unplug") {
            return unplug(words, code);
        }
        if (command == "fault") {
            return setFaults(words, code);
        }
        if (command == "list") {
            return list();
        }
        if (command == "stop") {
            log_("stopping");
            return "stopped\n";
        }
        code = static_cast<int>(simlink::ControlCode::BadInput);
        return "Unknown simulator command \"" + command + "\".\n";
    } catch (const std::invalid_argument& e) {
        code = static_cast<int>(simlink::ControlCode::BadInput);
        return std::string(e.what()) + "\n";
    } catch (const ProfileError& e) {
        code = static_cast<int>(simlink::ControlCode::BadInput);
        return std::string(e.what()) + "\n";
    } catch (const std::exception& e) {
        code = static_cast<int>(simlink::ControlCode::Failed);
        return std::string(e.what()) + "\n";
    }
}

DeviceSettings plugSettings(const std::vector<std::string>& words, const fs::path& simDir) {
    DeviceSettings settings;
    std::optional<char> letter;
    std::string profileName;
    std::optional<fs::path> stateDir;
    std::optional<std::string> trace;
    std::optional<int> port;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (hasKey(word, "letter")) {
            letter = parseLetter(valueOf(word, "letter"));
        } else if (hasKey(word, "profile")) {
            profileName = valueOf(word, "profile");
        } else if (hasKey(word, "state")) {
            stateDir = valueOf(word, "state");
        } else if (hasKey(word, "trace")) {
            trace = valueOf(word, "trace");
        } else if (hasKey(word, "port")) {
            const std::string value = valueOf(word, "port");
            int number = -1;
            std::from_chars(value.data(), value.data() + value.size(), number);
            if (number < 0 || number > 127 || value.empty()) {
                throw std::invalid_argument("The port number \"" + value +
                                            "\" is not from 0 to 127.");
            }
            port = number;
        } else if (!applyFaultOrTiming(word, settings)) {
            throw std::invalid_argument("Unknown plug setting \"" + word + "\".");
        }
    }
    if (!letter || profileName.empty()) {
        throw std::invalid_argument("A plug needs a drive letter and a profile.");
    }
    settings.letter = *letter;
    settings.profile = resolveProfile(profileName);
    if (port) {
        settings.profile.port = static_cast<std::uint8_t>(*port);
    }
    settings.stateDir = stateDir.value_or(
        simDir / "state" / (std::string(1, *letter) + "-" + safeName(settings.profile.name)));
    settings.traceFile = !trace             ? simlink::defaultTracePath(simDir, *letter)
                         : *trace == "none" ? fs::path()
                                            : fs::path(*trace);
    return settings;
}

std::string Host::plug(const std::vector<std::string>& words, int& code) {
    const DeviceSettings settings = plugSettings(words, simDir_);
    const char letter = settings.letter;
    std::lock_guard lock(slotsMutex_);
    if (entries_.count(letter) != 0) {
        code = static_cast<int>(simlink::ControlCode::Failed);
        return "Drive " + std::string(1, letter) + " is already plugged.\n";
    }
    Entry entry;
    entry.device = std::make_shared<Device>(settings);
    attach(letter, entry);
    const std::string summary = entry.device->summary();
    entries_.emplace(letter, std::move(entry));
    log_("plugged " + summary);
    return "plugged " + summary + "\n";
}

void Host::attach(char letter, Entry& entry) {
    (void)letter;
    entry.generation = nextGeneration_++;
    entry.slot = std::make_unique<DeviceSlot>(*this, entry.device, entry.generation);
}

std::string Host::unplug(const std::vector<std::string>& words, int& code) {
    if (words.size() != 2) {
        throw std::invalid_argument("unplug takes one drive letter.");
    }
    const char letter = parseLetter(words[1]);
    std::lock_guard lock(slotsMutex_);
    auto found = entries_.find(letter);
    if (found == entries_.end()) {
        code = static_cast<int>(simlink::ControlCode::Failed);
        return "Drive " + std::string(1, letter) + " is not plugged.\n";
    }
    entries_.erase(found);
    log_("unplugged " + std::string(1, letter));
    return "unplugged " + std::string(1, letter) + "\n";
}

std::string Host::setFaults(const std::vector<std::string>& words, int& code) {
    if (words.size() < 2) {
        throw std::invalid_argument("fault takes a drive letter and the faults.");
    }
    const char letter = parseLetter(words[1]);
    DeviceSettings settings;
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "none") {
            continue;  // no rules: the device works again
        }
        if (!hasKey(word, "fail") && !hasKey(word, "unplug-during") && !hasKey(word, "silent") &&
            !hasKey(word, "lose-write") && !hasKey(word, "lie")) {
            throw std::invalid_argument(
                "fault takes fail, unplug-during, silent, lose-write and lie rules, not \"" + word +
                "\".");
        }
        applyFaultOrTiming(word, settings);
    }
    std::lock_guard lock(slotsMutex_);
    auto found = entries_.find(letter);
    if (found == entries_.end()) {
        code = static_cast<int>(simlink::ControlCode::Failed);
        return "Drive " + std::string(1, letter) + " is not plugged.\n";
    }
    found->second.device->setFaults(settings.faults, settings.lie);
    return found->second.device->summary() + "\n";
}

std::string Host::list() {
    std::lock_guard lock(slotsMutex_);
    std::string text;
    for (auto& [letter, entry] : entries_) {
        text += entry.device->summary();
        if (!entry.slot) {
            text += "  (away after a reset)";
        }
        text += "\n";
    }
    return text;
}

void Host::deviceLeft(char letter, std::uint64_t generation, bool returns) {
    post(std::chrono::steady_clock::now(), [this, letter, generation, returns] {
        std::unique_lock lock(slotsMutex_);
        auto found = entries_.find(letter);
        if (found == entries_.end() || found->second.generation != generation) {
            return;
        }
        found->second.slot.reset();  // joins the device's threads
        if (!returns) {
            entries_.erase(found);
            log_("drive " + std::string(1, letter) + " pulled out during a command");
            return;
        }
        found->second.generation = 0;
        const auto away = std::chrono::microseconds(
            static_cast<std::int64_t>(found->second.device->timing().resetAwayMs * 1000));
        log_("drive " + std::string(1, letter) + " resets");
        std::weak_ptr<Device> device = found->second.device;
        post(std::chrono::steady_clock::now() + away, [this, letter, device] {
            std::lock_guard relock(slotsMutex_);
            auto again = entries_.find(letter);
            if (again == entries_.end() || again->second.device != device.lock() ||
                again->second.slot) {
                return;  // unplugged while it was away
            }
            again->second.device->powerUp(true);
            try {
                attach(letter, again->second);
                log_("drive " + std::string(1, letter) + " is back after its reset");
            } catch (const std::exception& e) {
                log_(e.what());
                entries_.erase(again);
            }
        });
    });
}

void Host::post(std::chrono::steady_clock::time_point due, std::function<void()> work) {
    std::lock_guard lock(jobsMutex_);
    jobs_.push_back({due, std::move(work)});
    jobsChanged_.notify_all();
}

void Host::runJobs() {
    std::unique_lock lock(jobsMutex_);
    for (;;) {
        if (stopping_) {
            return;
        }
        auto next = std::min_element(jobs_.begin(), jobs_.end(),
                                     [](const Job& a, const Job& b) { return a.due < b.due; });
        if (next == jobs_.end()) {
            jobsChanged_.wait(lock);
            continue;
        }
        if (next->due > std::chrono::steady_clock::now()) {
            jobsChanged_.wait_until(lock, next->due);
            continue;
        }
        auto work = std::move(next->work);
        jobs_.erase(next);
        lock.unlock();
        work();
        lock.lock();
    }
}

}  // namespace corvid::devsim
