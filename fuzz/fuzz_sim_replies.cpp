// The station's end of the simulator wire: the replies a simulated device sends back (WireReply
// headers and their data) as the station's simulator transport reads them. The input is the whole
// byte stream of one connection; the device then ends the stream.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "fuzz/device_questions.h"
#include "fuzz/fuzz_input.h"
#include "simlink/sim_dir.h"
#include "simlink/sim_transport.h"
#include "simlink/wire.h"

namespace {

// What one connection can hold unread, well below a socket's buffer, so writing never waits.
constexpr std::size_t kMaxStream = 64 * 1024;

// Drive E of a simulator folder, listening as corvid-devsim does; the fuzz input plays the device.
struct SimulatedDrive {
    SimulatedDrive() {
        std::filesystem::create_directories(simDir);
        listenFd = corvid::simlink::listenUnix(corvid::simlink::deviceSocketPath(simDir, 'E'), 4);
    }
    std::filesystem::path simDir = corvid::fuzz::scratch() / "sim";
    int listenFd = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const SimulatedDrive drive;
    // A silent device costs the scaled timeout; the stream's end makes most runs quicker.
    corvid::SimTransport transport({drive.simDir, 0.001});
    const corvid::DeviceHandle handle = transport.open('E');
    const int device = corvid::simlink::acceptUnix(drive.listenFd);
    if (handle == corvid::kInvalidHandle || device < 0) {
        std::fprintf(stderr, "fuzz_sim_replies: cannot connect to its own simulated drive\n");
        std::abort();
    }
    (void)corvid::simlink::writeAll(device, data, std::min(size, kMaxStream),
                                    corvid::simlink::Deadline());
    corvid::simlink::shutdownWrite(device);
    corvid::fuzz::askEveryQuestion(transport, handle);
    transport.close(handle);
    corvid::simlink::closeFd(device);
    return 0;
}
