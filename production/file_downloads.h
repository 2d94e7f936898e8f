#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <istream>

#include "transport/transport.h"
#include "transport/vendor_commands.h"

namespace corvid {

class WorkerState;

// Every file goes to the device in chunks of this size, and serial flash comes back in them.
inline constexpr std::size_t kDownloadChunkSize = 2048;

// Sends what is left of 'in' in chunks of 2048 bytes with one of the data-out commands
// (SUB_SCSI_OP_FSM_WRITE, SUB_SCSI_OP_WRITE_CFG, SUB_SCSI_OP_FILE_WRITE). The end counts as
// reached only after a short read, so a length that is a multiple of 2048 (none included) is
// followed by one chunk of 0 bytes. False when a chunk fails or the stream breaks.
bool sendStreamChunks(Transport& transport, DeviceHandle handle, std::istream& in,
                      VendorSubCode command);

// The whole file in chunks; false when it cannot be opened or a chunk fails.
bool bSendFileChunks(Transport& transport, DeviceHandle handle, const std::filesystem::path& file,
                     VendorSubCode command);

// Opens the drive letter, announces 'fsmSize', sends the FSM file in chunks and then its 16-bit
// byte sum, and closes the device. True only when all three commands succeeded.
bool bDownloadFsm(Transport& transport, char driveLetter, const std::filesystem::path& fsmFile,
                  std::uint32_t fsmSize);

// The size a file download announces: the file's length, or 0xFFFFFFFF for a file that is
// missing or does not fit the 32-bit field, which the device refuses.
std::uint32_t announcedFileSize(const std::filesystem::path& file);

// SUB_SCSI_OP_FILE_WRITE_SETUP with the announced size of 'file'. Verdict.
bool bFileWriteSetup(Transport& transport, DeviceHandle handle, const std::filesystem::path& file);
// bFileWriteEnd and bFwParityCheck, which end a file download and check the firmware, are single
// vendor commands (transport/vendor_commands.h).

}  // namespace corvid
