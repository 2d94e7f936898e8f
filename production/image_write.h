#pragma once

#include <cstdint>
#include <filesystem>

namespace corvid {

class WorkerState;

// The disk size in MB that a "5VX6 IMG" hidden-disk image records; -1 when the file cannot be
// read or is no such image.
std::int32_t iImageDiskSize(const std::filesystem::path& image);

// Writes the image's records for the device's sector size onto the disk with WRITE(10), moving
// the progress from 'first' towards 'last' once per record, and reads the last record's sector
// back. The file is streamed one sector at a time. False at the first failure; sets no text.
bool bWriteImageFile(WorkerState& w, const std::filesystem::path& image, int first, int last);

}  // namespace corvid
