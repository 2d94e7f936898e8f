#pragma once

// The USB mass-storage bulk-only transport on the device's side, without any USB I/O: the
// command block wrapper (CBW) the host sends, the status wrapper (CSW) the device answers with,
// and what one command does to the simulated device. The gadget (gadget.h) moves these bytes
// over the USB endpoints; keeping the rules here lets them be tested without a kernel.

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "devsim/device.h"

namespace corvid::devsim {

// The wrappers are little-endian on the wire and read in place.
static_assert(std::endian::native == std::endian::little);

inline constexpr std::uint32_t kCbwSignature = 0x43425355;  // "USBC"
inline constexpr std::uint32_t kCswSignature = 0x53425355;  // "USBS"
inline constexpr std::uint8_t kCbwFlagDataIn = 0x80;

#pragma pack(push, 1)
struct Cbw {
    std::uint32_t signature;
    std::uint32_t tag;
    std::uint32_t dataTransferLength;
    std::uint8_t flags;  // bit 7: data-in
    std::uint8_t lun;
    std::uint8_t cbLength;
    std::uint8_t cb[16];
};
static_assert(sizeof(Cbw) == 31);

struct Csw {
    std::uint32_t signature;
    std::uint32_t tag;
    std::uint32_t dataResidue;
    std::uint8_t status;  // CswStatus
};
static_assert(sizeof(Csw) == 13);
#pragma pack(pop)

enum class CswStatus : std::uint8_t { Passed = 0, Failed = 1, PhaseError = 2 };

// A CBW is meaningful when it is exactly 31 bytes with the signature, addresses the only LUN and
// carries a command block of 1 to 16 bytes; anything else stalls the device until a reset.
std::optional<Cbw> parseCbw(std::span<const std::uint8_t> bytes);

// Sense data of fixed format: key, additional sense code and its qualifier.
struct Sense {
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
};

// What the endpoints carry for one command, in this order: the data-in bytes (already padded
// to the host's length, so they go as one transfer), a stall of the bulk-in endpoint, the CSW.
struct BulkReply {
    std::vector<std::uint8_t> dataIn;
    bool stallIn = false;
    Csw csw{};
    // Reply, ReplyThenReset (the device leaves after the CSW and comes back), Leave (pulled out
    // during the command: no CSW), Hang (no answer at all).
    AfterCommand after = AfterCommand::Reply;
};

// The SCSI device behind the transport: the commands the kernel sends to every disk it finds
// are answered here, everything else by the device model, so the station's vendor commands and
// the disk's sectors go through the same model as over the simulator's socket.
class MassStorage {
  public:
    explicit MassStorage(Device& device);

    // One command; 'dataOut' holds the host's bytes of a data-out command.
    BulkReply command(const Cbw& cbw, std::span<const std::uint8_t> dataOut);

  private:
    struct Medium {
        bool present = false;
        std::uint32_t sectorSize = 0;
        std::uint64_t sectors = 0;
        bool operator==(const Medium&) const = default;
    };

    Medium medium();
    Sense refusalSense(const Cbw& cbw);

    Device& device_;
    Sense sense_;          // of the last failed command, until REQUEST SENSE reads it
    Medium lastMedium_{};  // as the host was last told
    bool unitAttention_ = false;
};

}  // namespace corvid::devsim
