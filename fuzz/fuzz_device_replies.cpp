// The station's reading of device replies: capacity, inquiry, flash ID, CFG, block map and scan
// results, each reply taken from the input (see replay_transport.h).

#include <cstddef>
#include <cstdint>

#include "fuzz/device_questions.h"
#include "fuzz/replay_transport.h"
#include "production/disk_size.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    corvid::fuzz::ReplayTransport transport({data, size});
    (void)corvid::bGetDiskSizeMB(transport, 'E');
    corvid::fuzz::askEveryQuestion(transport, transport.open('E'));
    return 0;
}
