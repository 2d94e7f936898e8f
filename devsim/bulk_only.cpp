#include "devsim/bulk_only.h"

#include <algorithm>
#include <cstring>

#include "devsim/command_set.h"
#include "platform/byte_order.h"

namespace corvid::devsim {

namespace {

constexpr std::size_t kSenseSize = 18;
constexpr Sense kNoMedium{0x02, 0x3A, 0x00};
constexpr Sense kReadError{0x03, 0x11, 0x00};
constexpr Sense kWriteError{0x03, 0x0C, 0x00};
constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00};
constexpr Sense kOutOfRange{0x05, 0x21, 0x00};
constexpr Sense kInvalidField{0x05, 0x24, 0x00};
constexpr Sense kCapacityChanged{0x06, 0x2A, 0x09};

bool dataIn(const Cbw& cbw) {
    return (cbw.flags & kCbwFlagDataIn) != 0;
}

Csw cswFor(const Cbw& cbw, CswStatus status, std::uint32_t residue) {
    return Csw{kCswSignature, cbw.tag, residue, static_cast<std::uint8_t>(status)};
}

// A command that passed with 'data' for the host. A short answer is padded to the host's
// length and the residue says how much of it is padding.
BulkReply passed(const Cbw& cbw, std::vector<std::uint8_t> data) {
    BulkReply reply;
    const std::uint32_t expected = cbw.dataTransferLength;
    if (!data.empty() && (expected == 0 || !dataIn(cbw))) {
        // The device has data for a host that expects none, or expects to send: a phase error.
        reply.csw = cswFor(cbw, CswStatus::PhaseError, expected);
        return reply;
    }
    if (!dataIn(cbw)) {
        reply.csw = cswFor(cbw, CswStatus::Passed, 0);
        return reply;
    }
    const auto sent = static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), expected));
    data.resize(expected, 0);
    reply.dataIn = std::move(data);
    reply.csw = cswFor(cbw, CswStatus::Passed, expected - sent);
    return reply;
}

// A failed command: nothing of its data moves; bulk-in stalls when the host waits for data.
BulkReply failed(const Cbw& cbw) {
    BulkReply reply;
    reply.stallIn = dataIn(cbw) && cbw.dataTransferLength > 0;
    reply.csw = cswFor(cbw, CswStatus::Failed, cbw.dataTransferLength);
    return reply;
}

}  // namespace

std::optional<Cbw> parseCbw(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != sizeof(Cbw)) {
        return std::nullopt;
    }
    Cbw cbw;
    std::memcpy(&cbw, bytes.data(), sizeof(cbw));
    if (cbw.signature != kCbwSignature || cbw.lun != 0 || cbw.cbLength == 0 ||
        cbw.cbLength > sizeof(cbw.cb)) {
        return std::nullopt;
    }
    return cbw;
}

MassStorage::MassStorage(Device& device) : device_(device), lastMedium_(medium()) {}

MassStorage::Medium MassStorage::medium() {
    const auto sectorSize = device_.shownSectorSize();
    const auto sectors = device_.shownSectors();
    if (!sectorSize || !sectors) {
        return Medium{};
    }
    return Medium{true, *sectorSize, *sectors};
}

Sense MassStorage::refusalSense(const Cbw& cbw) {
    const std::uint8_t opcode = cbw.cb[0];
    const Medium now = medium();
    const bool transfer = opcode == kScsiOpRead10 || opcode == kScsiOpWrite10;
    if (!now.present && (opcode == kScsiOpReadCapacity10 || transfer)) {
        return kNoMedium;
    }
    const std::span<const std::uint8_t> cdb(cbw.cb, cbw.cbLength);
    if (transfer && cbw.cbLength >= 10 &&
        std::uint64_t{loadBe32(&cdb[2])} + loadBe16(&cdb[7]) > now.sectors) {
        return kOutOfRange;
    }
    switch (opcode) {
        case kScsiOpRead10:
            return kReadError;
        case kScsiOpWrite10:
            return kWriteError;
        default:
            return kInvalidField;
    }
}

BulkReply MassStorage::command(const Cbw& cbw, std::span<const std::uint8_t> dataOut) {
    const std::uint8_t opcode = cbw.cb[0];
    const bool vendor = opcode == kVendorOpcodeIn || opcode == kVendorOpcodeOut;
    const Medium now = medium();
    if (now != lastMedium_) {
        lastMedium_ = now;
        unitAttention_ = true;
    }
    // A changed disk is announced to the disk's own commands; the vendor commands go on.
    if (unitAttention_ && !vendor && opcode != kScsiOpInquiry && opcode != kScsiOpRequestSense) {
        unitAttention_ = false;
        sense_ = kCapacityChanged;
        return failed(cbw);
    }
    // What every kernel sends a disk it finds is answered from the controller's own state, as a
    // controller's firmware does, not from the flash.
    switch (opcode) {
        case kScsiOpTestUnitReady:
            if (!now.present) {
                sense_ = kNoMedium;
                return failed(cbw);
            }
            return passed(cbw, {});
        case kScsiOpRequestSense: {
            std::vector<std::uint8_t> data(kSenseSize, 0);
            data[0] = 0x70;  // current error, fixed format
            data[2] = sense_.key;
            data[7] = kSenseSize - 8;
            data[12] = sense_.asc;
            data[13] = sense_.ascq;
            data.resize(std::min<std::size_t>(data.size(), cbw.cb[4]));
            sense_ = Sense{};
            return passed(cbw, std::move(data));
        }
        case kScsiOpModeSense6:
            // Header only: no block descriptor, no pages, not write-protected.
            return passed(cbw, {3, 0, 0, 0});
        case kScsiOpModeSense10:
            return passed(cbw, {0, 6, 0, 0, 0, 0, 0, 0});
        case kScsiOpPreventAllowRemoval:
        case kScsiOpSynchronizeCache10:
            return passed(cbw, {});
        default:
            break;
    }

    simlink::WireRequest request{};
    request.magic = simlink::kWireMagic;
    request.version = simlink::kWireVersion;
    request.cdbLength = cbw.cbLength;
    request.direction = static_cast<std::uint8_t>(dataIn(cbw) || cbw.dataTransferLength == 0
                                                      ? simlink::WireDirection::In
                                                      : simlink::WireDirection::Out);
    std::memcpy(request.cdb, cbw.cb, cbw.cbLength);
    request.transferLength = cbw.dataTransferLength;
    DeviceReply reply = device_.handle(request, dataOut);
    if (reply.after == AfterCommand::Leave || reply.after == AfterCommand::Hang) {
        BulkReply none;
        none.after = reply.after;
        return none;
    }
    BulkReply out;
    if (reply.header.status != static_cast<std::uint8_t>(simlink::WireStatus::Good)) {
        sense_ = findCommand(std::span(cbw.cb, cbw.cbLength)) == nullptr ? kInvalidOpcode
                                                                         : refusalSense(cbw);
        out = failed(cbw);
    } else {
        out = passed(cbw, std::move(reply.data));
    }
    out.after = reply.after;
    return out;
}

}  // namespace corvid::devsim
