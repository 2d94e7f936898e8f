#pragma once

// The process that hosts simulated devices in a simulator directory: one listening socket per
// plugged device (one thread per connection, so devices never wait for each other) and the
// control socket through which devices are plugged, unplugged, listed and the host stopped.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvid::devsim {

class Device;
class DeviceSlot;
struct DeviceSettings;

// The device a plug request describes: its words ("plug", "letter=E", "profile=...", the fault
// and timing words), the state folder and trace defaulting to places in 'simDir'. Throws
// std::invalid_argument or ProfileError naming the word that is wrong.
DeviceSettings plugSettings(const std::vector<std::string>& words,
                            const std::filesystem::path& simDir);

class Host {
  public:
    using Log = std::function<void(const std::string&)>;

    // Creates the directory and takes its control socket. Throws std::runtime_error when
    // another simulator serves it or it cannot be used.
    Host(std::filesystem::path simDir, Log log);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    const std::filesystem::path& simDir() const { return simDir_; }

    // Serves until a stop request arrives or requestStop() is called; unplugs every device and
    // removes the control socket before it returns.
    void serve();
    // Thread- and signal-thread-safe.
    void requestStop();

    // Called by a device's connection when the device leaves: pulled out during a command, or
    // after SUB_SCSI_OP_RESET (then it returns after its reset time).
    void deviceLeft(char letter, std::uint64_t generation, bool returns);

  private:
    struct Entry {
        std::shared_ptr<Device> device;
        std::unique_ptr<DeviceSlot> slot;  // none while the device is away after a reset
        std::uint64_t generation = 0;
    };
    struct Job {
        std::chrono::steady_clock::time_point due;
        std::function<void()> work;
    };

    std::string handleControl(const std::vector<std::string>& words, int& code);
    std::string plug(const std::vector<std::string>& words, int& code);
    std::string unplug(const std::vector<std::string>& words, int& code);
    std::string setFaults(const std::vector<std::string>& words, int& code);
    std::string list();
    void attach(char letter, Entry& entry);
    void post(std::chrono::steady_clock::time_point due, std::function<void()> work);
    void runJobs();

    std::filesystem::path simDir_;
    Log log_;
    int controlFd_ = -1;
    bool controlSocketRemoved_ = false;  // by stop, so a later simulator's socket is not touched
    int wakePipe_[2] = {-1, -1};

    std::mutex slotsMutex_;
    std::map<char, Entry> entries_;
    std::uint64_t nextGeneration_ = 1;

    std::mutex jobsMutex_;
    std::condition_variable jobsChanged_;
    std::vector<Job> jobs_;
    bool stopping_ = false;
    std::thread jobThread_;
};

}  // namespace corvid::devsim
