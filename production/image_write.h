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
// back. Records of consecutive sectors go out together, up to 64 KiB in one WRITE(10); the
// sectors, their data and the progress positions are those of one write per record. The file
// is read with the image engine's reader, in pieces of 64 KiB. False at the first failure (the
// records before a record cut short are written); sets no text.
bool bWriteImageFile(WorkerState& w, const std::filesystem::path& image, int first, int last);

enum class ReadBack { Same, Differs, Failed };

// Reads every sector the image wrote back from the disk (runs of consecutive sectors, up to
// 64 KiB a READ(10)) and compares it with the image's record: Failed when the image or a READ(10)
// fails, Differs at the first sector that does not match.
ReadBack verifyImageFile(WorkerState& w, const std::filesystem::path& image);

}  // namespace corvid
