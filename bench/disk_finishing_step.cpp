// The disk-finishing step of the station on one volume file, timed: format, label, the pre-copy
// folders copied with the station's own copy rules, check disk. bench/disk_finishing_bench.sh
// runs it against the same mkfs.fat + mcopy + fsck.fat calls made by a plain script.
//
//   disk_finishing_step VOLUME LABEL FOLDER...

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/volume_tools_linux.h"
#include "production/disk_finishing.h"

int main(int argc, char** argv) {
    using namespace corvid;
    if (argc < 4) {
        std::fprintf(stderr, "usage: disk_finishing_step VOLUME LABEL FOLDER...\n");
        return 2;
    }
    const std::filesystem::path volume = argv[1];
    auto tools = makeLinuxVolumeTools({[volume](char) {
                                           return VolumeLocation{volume, 512};
                                       },
                                       {},
                                       std::chrono::seconds(10)});
    const DiagnosticSink say = [](const std::string& text) {
        std::fprintf(stderr, "%s\n", text.c_str());
    };
    const char drive = 'E';
    const auto started = std::chrono::steady_clock::now();
    const std::uint64_t sizeMB = std::filesystem::file_size(volume) / (1024 * 1024);
    if (!bFormatDisk(*tools, drive, true, fileSystemChoiceForSize(sizeMB), say) ||
        !bSetVolumeLabel(*tools, drive, argv[2], std::nullopt, say)) {
        return 1;
    }
    DiskCopy copy(*tools, drive, say);
    for (int i = 3; i < argc; ++i) {
        if (!copy.copyEntry(argv[i])) {
            return 1;
        }
    }
    if (!bCheckDisk(*tools, drive, say)) {
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%.3f\n", seconds);
    return 0;
}
