#include "devsim/controller.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "platform/byte_order.h"
#include "platform/ini_file.h"

namespace corvid::devsim {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kMaxChunk = 2048;        // the station sends files in such chunks
constexpr std::uint32_t kMaxFsmSize = 1u << 20;  // the controller's FSM memory
constexpr std::uint32_t kSpiUnit = 256;
constexpr std::uint64_t kSerialFileAlignment = 65536;  // serial flash erase sector
constexpr std::uint8_t kMaxCapMultiplierIndex = 5;     // multipliers 1, 2, 4 ... 32
constexpr std::uint8_t kMaxFlashType = 7;
constexpr std::size_t kInquirySize = 36;
constexpr std::size_t kDownloadHeadSize = 9;  // an SPI file header: name, type, size

// Signatures of a CFG the controller accepts: the station's "5V16" and "5VX6", each also with
// the 'X' that marks a CFG written without a firmware upgrade.
constexpr std::string_view kCfgSignatures[] = {"5V16", "5VX6", "5X16", "5XX6"};
constexpr char kChipNameBoot[] = "5V16";  // the boot code, before a reset
constexpr char kChipNameReady[] = "ZQL5";
constexpr char kChipNameSerial[] = "5V06";
constexpr char kFirmwareMark[] = "5V16";  // a firmware image begins with its chip name
constexpr char kSpiFileMark[] = "5V06";   // a file for the serial flash begins with this header
// What the volume path of an unreadable disk leads to: a folder, which no tool takes for a disk.
constexpr char kUnreadableVolume[] = "disk-unreadable";

std::string hex(std::uint64_t value, int digits = 2) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

Outcome refuse(std::string note) {
    Outcome outcome;
    outcome.status = simlink::WireStatus::CheckCondition;
    outcome.note = std::move(note);
    return outcome;
}

// A reply whose first byte is the status byte; the rest of 'length' bytes are 0.
Outcome statusReply(bool ok, std::uint32_t length, std::string note = {}) {
    Outcome outcome;
    outcome.data.assign(length, 0);
    if (length > 0) {
        outcome.data[0] = ok ? 0x01 : 0x00;
    }
    outcome.note = std::move(note);
    return outcome;
}

Outcome wrongLength(const CommandShape& shape, std::uint32_t length, const std::string& expected) {
    return refuse(std::string(shape.name) + " moves " + expected + " bytes, not " +
                  std::to_string(length));
}

// The commands that carry a file in chunks of at most kMaxChunk bytes.
bool takesChunks(const CommandShape& shape) {
    return shape.subCode == SUB_SCSI_OP_WRITE_CFG || shape.subCode == SUB_SCSI_OP_FSM_WRITE ||
           shape.subCode == SUB_SCSI_OP_FILE_WRITE;
}

// A reply after which the device leaves the bus, as a reset makes it.
Outcome leavingReply() {
    Outcome outcome;
    outcome.leaves = true;
    return outcome;
}

Outcome dataReply(std::vector<std::uint8_t> data) {
    Outcome outcome;
    outcome.data = std::move(data);
    return outcome;
}

std::vector<std::uint8_t> textBytes(const char* text) {
    return std::vector<std::uint8_t>(text, text + std::strlen(text));
}

std::uint16_t cfgChecksum(std::span<const std::uint8_t> cfgBytes) {
    std::uint16_t sum = 0;
    for (std::size_t i = cfg::kChecksumFirst; i <= cfg::kChecksumLast; ++i) {
        sum = static_cast<std::uint16_t>(sum + cfgBytes[i]);
    }
    return sum;
}

std::uint64_t mib(std::uint64_t bytes) {
    return bytes >> 20;
}

std::string identityOf(const DeviceProfile& profile) {
    if (profile.isForeign()) {
        return "foreign disk " + std::to_string(profile.foreignDiskMiB) + " MiB";
    }
    if (profile.isSerialFlash()) {
        return "serial " + flashIdText(profile.flashId) + " " +
               std::to_string(profile.serialFlashSize) + " bytes";
    }
    return "nand " + flashIdText(profile.flashId) + " chips " + std::to_string(profile.chips) +
           " page " + std::to_string(profile.geometry.pageSize) + " pages/block " +
           std::to_string(profile.geometry.pagesPerBlock) + " blocks/chip " +
           std::to_string(profile.geometry.blocksPerChip);
}

}  // namespace

struct Controller::Download {
    std::uint32_t size = 0;
    std::uint32_t received = 0;
    std::uint64_t serialOffset = 0;   // where a serial-flash device keeps it
    std::unique_ptr<StateFile> file;  // where a NAND device keeps it (its system area)
    std::vector<std::uint8_t> head;   // the first bytes, for the checks at the end
};

struct Controller::StoredSystem {
    std::vector<std::uint8_t> cfg;
    std::vector<std::uint8_t> bitmap;  // one bit per block, most significant bit first
    std::uint32_t usedPagesPerBlock = 0;
};

Controller::Controller(DeviceProfile profile, fs::path stateDir)
    : profile_(std::move(profile)), stateDir_(std::move(stateDir)) {
    profile_.validate();
    std::error_code error;
    fs::create_directories(stateDir_, error);
    if (!fs::is_directory(stateDir_)) {
        throw std::runtime_error("The state folder " + stateDir_.string() + " cannot be created.");
    }
    IniFile identity(stateDir_ / "identity.ini");
    const std::string wanted = identityOf(profile_);
    const std::string stored = identity.readString("device", "identity");
    if (stored.empty()) {
        identity.writeStrings("device", {{"identity", wanted}, {"profile", profile_.name}});
    } else if (stored != wanted) {
        throw std::runtime_error(
            "The state folder " + stateDir_.string() + " holds another device (" + stored +
            ", profile " + identity.readString("device", "profile") + "), not " + wanted + ".");
    }

    IniFile state(stateDir_ / "controller.ini");
    diskStarted_ = state.readInt("state", "disk-started", 0) != 0;
    capMultiplier_ = static_cast<std::uint8_t>(
        std::clamp(state.readInt("state", "cap-multiplier", 0), 0, int{kMaxCapMultiplierIndex}));
    if (const int units = state.readInt("state", "sys-area-units", -1);
        units >= 0 && units <= 255) {
        sysAreaOverride_ = static_cast<std::uint8_t>(units);
    }

    if (profile_.isSerialFlash()) {
        serialFlash_ =
            std::make_unique<ErasedFile>(stateDir_ / "serial-flash.bin", profile_.serialFlashSize);
    } else if (!profile_.isForeign()) {
        badBlocks_ = profile_.badBlockTable();
        nand_ = std::make_unique<NandArray>(stateDir_, profile_);
    }
    powerUp(false);
}

Controller::~Controller() = default;

void Controller::saveState() {
    IniFile state(stateDir_ / "controller.ini");
    state.writeStrings(
        "state", {{"disk-started", diskStarted_ ? "1" : "0"},
                  {"cap-multiplier", std::to_string(capMultiplier_)},
                  {"sys-area-units", sysAreaOverride_ ? std::to_string(*sysAreaOverride_) : "-1"}});
}

void Controller::powerUp(bool afterReset) {
    needsReset_ = profile_.needsReset && !afterReset;
    fsm_ = Fsm{};
    ramCfg_.clear();
    cfgStreamOpen_ = false;
    pageTable_.clear();
    downloads_.clear();
    pending_.reset();
    shownPart_ = 0;
    closeDisk();
    if (profile_.isForeign()) {
        DiskLayout layout;
        layout.sectors[0] = std::uint64_t{profile_.foreignDiskMiB} << 20 >> 9;
        openDisk(layout);
    } else if (diskStarted_) {
        std::string why;
        if (auto layout = layoutFromFlash(why)) {
            openDisk(*layout);
        } else {
            diskStarted_ = false;
            saveState();
        }
    }
}

std::optional<fs::path> Controller::shownVolume(bool answering) const {
    if (!layout_ || !parts_[shownPart_]) {
        return std::nullopt;
    }
    if (profile_.unreadableDisk || !answering) {
        return stateDir_ / kUnreadableVolume;
    }
    return parts_[shownPart_]->path();
}

std::optional<std::uint32_t> Controller::shownSectorSize() const {
    if (!layout_) {
        return std::nullopt;
    }
    return layout_->sectorSize;
}

std::optional<std::uint64_t> Controller::shownSectors() const {
    if (!layout_ || !parts_[shownPart_]) {
        return std::nullopt;
    }
    return layout_->sectors[shownPart_];
}

std::string Controller::diskSummary() const {
    if (!layout_) {
        return "no disk";
    }
    std::string text = std::string(shownPart_ == 0 ? "normal" : "hidden") + " part shown, " +
                       std::to_string(mib(layout_->sectors[0] * layout_->sectorSize)) +
                       " MiB normal";
    if (layout_->sectors[1] > 0) {
        text +=
            " + " + std::to_string(mib(layout_->sectors[1] * layout_->sectorSize)) + " MiB hidden";
    }
    if (profile_.unreadableDisk) {
        text += ", unreadable";
    }
    return text;
}

Outcome Controller::execute(const Command& command) {
    const CommandShape* shape = findCommand(command.cdb);
    if (shape == nullptr) {
        const std::string code =
            command.cdb.empty() ? "nothing"
            : command.cdb.size() > 1 &&
                    (command.cdb[0] == kVendorOpcodeIn || command.cdb[0] == kVendorOpcodeOut)
                ? "vendor opcode " + hex(command.cdb[0]) + " sub-code " + hex(command.cdb[1])
                : "opcode " + hex(command.cdb[0]);
        cfgStreamOpen_ = false;
        return refuse("unknown command: " + code);
    }
    Outcome outcome;
    try {
        outcome = dispatch(*shape, command);
    } catch (const std::exception& e) {
        outcome = refuse(std::string("the device's state failed: ") + e.what());
    }
    if (shape->subCode != SUB_SCSI_OP_WRITE_CFG || shape->opcode != kVendorOpcodeOut ||
        outcome.status != simlink::WireStatus::Good) {
        cfgStreamOpen_ = false;
    }
    if (outcome.data.size() > command.transferLength) {
        outcome.data.resize(command.transferLength);
    }
    return outcome;
}

Outcome Controller::dispatch(const CommandShape& shape, const Command& command) {
    const bool isVendor = shape.opcode == kVendorOpcodeIn || shape.opcode == kVendorOpcodeOut;
    if (isVendor && profile_.isForeign()) {
        return refuse("invalid opcode " + hex(shape.opcode) + ": not a ZQL5Vxx controller");
    }
    if (command.cdb.size() != shape.cdbLength) {
        return refuse(std::string(shape.name) + " takes a " + std::to_string(shape.cdbLength) +
                      "-byte CDB, not " + std::to_string(command.cdb.size()));
    }
    if (command.transferLength > 0 && command.direction != shape.direction) {
        return refuse(std::string(shape.name) + " moves data " +
                      (shape.direction == simlink::WireDirection::In ? "in" : "out") + ", not " +
                      (command.direction == simlink::WireDirection::In ? "in" : "out"));
    }
    if (shape.dataLength != kVariableLength &&
        command.transferLength != static_cast<std::uint32_t>(shape.dataLength)) {
        return refuse(std::string(shape.name) + " moves " + std::to_string(shape.dataLength) +
                      " bytes, not " + std::to_string(command.transferLength));
    }
    if (isVendor) {
        for (std::size_t i = shape.argsEnd; i < command.cdb.size(); ++i) {
            if (command.cdb[i] != 0) {
                return refuse("CDB byte " + std::to_string(i) + " of " + shape.name + " is " +
                              hex(command.cdb[i]) + ", not 0");
            }
        }
        if (needsReset_ && shape.subCode != SUB_SCSI_OP_GET_CHIP_NAME &&
            shape.subCode != SUB_SCSI_OP_GET_CHIP_NAME_2 && shape.subCode != SUB_SCSI_OP_RESET) {
            return refuse("the controller runs its boot code and needs SUB_SCSI_OP_RESET first");
        }
        if (shape.needsNand && !nand_) {
            return refuse(std::string(shape.name) + ": the device has no NAND flash");
        }
        if (shape.touchesFlash && !fsm_.loaded) {
            return refuse(std::string(shape.name) + " needs the FSM, and none is loaded");
        }
        return vendor(shape, command);
    }
    return standard(shape, command);
}

Outcome Controller::vendor(const CommandShape& shape, const Command& command) {
    const auto cdb = command.cdb;
    const std::uint32_t length = command.transferLength;
    if (takesChunks(shape) && length > kMaxChunk) {
        return wrongLength(shape, length, "at most 2048");
    }
    switch (shape.subCode) {
        case SUB_SCSI_OP_READ_FLASH_ID:
            return dataReply({profile_.flashId.begin(), profile_.flashId.end()});
        case SUB_SCSI_OP_WRITE_CFG:
            return writeCfg(command);
        case SUB_SCSI_OP_SPI_FLASH_CHECK:
            return statusReply(serialFlash_ != nullptr, 1,
                               serialFlash_ ? "" : "the device has no serial flash");
        case SUB_SCSI_OP_START_DISK:
            return startDisk();
        case SUB_SCSI_OP_FSM_WRITE_SETUP:
            return fsmWriteSetup(loadBe32(&cdb[2]));
        case SUB_SCSI_OP_FSM_WRITE:
            return fsmWrite(command);
        case SUB_SCSI_OP_FSM_CHECKSUM:
            return fsmChecksum(loadBe16(&cdb[2]));
        case SUB_SCSI_OP_FILE_WRITE_SETUP:
            return fileWriteSetup(loadBe32(&cdb[2]));
        case SUB_SCSI_OP_FILE_WRITE:
            return fileWrite(command.dataOut);
        case SUB_SCSI_OP_FILE_WRITE_END:
            return fileWriteEnd();
        case SUB_SCSI_OP_READ_CFG:
            return readCfg();
        case SUB_SCSI_OP_RESET:
            return leavingReply();
        case SUB_SCSI_OP_GET_CHIP_NAME:
            return dataReply(textBytes(needsReset_ ? kChipNameBoot : kChipNameReady));
        case SUB_SCSI_OP_SET_SYS_AREA_SIZE:
            return setSysAreaSize(cdb[2]);
        case SUB_SCSI_OP_GET_FLASH_COUNT:
            return dataReply({static_cast<std::uint8_t>(profile_.chips)});
        case SUB_SCSI_OP_GET_CHIP_NAME_2:
            return dataReply(textBytes(needsReset_    ? kChipNameBoot
                                       : serialFlash_ ? kChipNameSerial
                                                      : kChipNameReady));
        case SUB_SCSI_OP_FW_PARITY_CHECK:
            return fwParityCheck();
        case SUB_SCSI_OP_SET_CAP_MULTIPLIER:
            return setCapMultiplier(cdb[2]);
        case SUB_SCSI_OP_8E:
        case SUB_SCSI_OP_8F:
        case SUB_SCSI_OP_91:
            return statusReply(true, 1);
        case SUB_SCSI_OP_SWITCH_HIDDEN_DISK:
            return switchHiddenDisk();
        case SUB_SCSI_OP_SCAN_BLOCK:
            return scanBlock(cdb, length);
        case SUB_SCSI_OP_ERASE_BLOCK:
            return eraseBlock(cdb);
        case SUB_SCSI_OP_WRITE_PAGE:
        case SUB_SCSI_OP_READ_PAGE:
            return pageCommand(shape, command);
        case SUB_SCSI_OP_FSM_INIT:
            return fsmInit();
        case SUB_SCSI_OP_READ_BLOCK_MAP:
            return readBlockMap(cdb, length);
        case SUB_SCSI_OP_99:
            return ramCfgReply();
        case SUB_SCSI_OP_GET_PORT:
        case SUB_SCSI_OP_9C:
            return dataReply({profile_.port});
        case SUB_SCSI_OP_SEND_PAGE_TABLE:
            return sendPageTable(shape, command);
        case SUB_SCSI_OP_SPI_READ:
        case SUB_SCSI_OP_SPI_WRITE:
            return spiTransfer(shape, command);
        default:
            break;
    }
    return refuse(std::string(shape.name) + " is not answered");
}

Outcome Controller::writeCfg(const Command& command) {
    const std::uint32_t length = command.transferLength;
    // A file goes out in full chunks until a shorter one ends it: only a chunk right after a
    // full one continues the same CFG.
    if (!cfgStreamOpen_) {
        ramCfg_.clear();
    }
    cfgStreamOpen_ = length == kMaxChunk;
    const std::size_t take = std::min<std::size_t>(cfg::kSize - ramCfg_.size(), length);
    ramCfg_.insert(ramCfg_.end(), command.dataOut.begin(), command.dataOut.begin() + take);
    // A new CFG means a new layout: the disk goes until it is started again, and the system
    // area's files with it.
    flashChanged();
    downloads_.clear();
    pending_.reset();
    return Outcome{};
}

Outcome Controller::fsmWriteSetup(std::uint32_t size) {
    if (size == 0 || size > kMaxFsmSize) {
        return refuse("FSM size " + std::to_string(size) + " is not from 1 to " +
                      std::to_string(kMaxFsmSize));
    }
    fsm_ = Fsm{true, size, 0, 0, false};
    return statusReply(true, 1);
}

Outcome Controller::fsmWrite(const Command& command) {
    const std::uint32_t length = command.transferLength;
    if (!fsm_.receiving) {
        return refuse("FSM data without SUB_SCSI_OP_FSM_WRITE_SETUP");
    }
    if (fsm_.received + length > fsm_.size) {
        fsm_.receiving = false;
        return refuse("FSM data beyond the announced " + std::to_string(fsm_.size) + " bytes");
    }
    for (const auto b : command.dataOut) {
        fsm_.sum = static_cast<std::uint16_t>(fsm_.sum + b);
    }
    fsm_.received += length;
    return Outcome{};
}

Outcome Controller::fsmChecksum(std::uint16_t sum) {
    if (!fsm_.receiving) {
        return refuse("FSM checksum without an FSM download");
    }
    fsm_.receiving = false;
    if (fsm_.received != fsm_.size) {
        return refuse("short FSM: " + std::to_string(fsm_.received) + " of " +
                      std::to_string(fsm_.size) + " bytes received");
    }
    if (sum != fsm_.sum) {
        return refuse("FSM checksum " + hex(sum, 4) + " does not match the received " +
                      hex(fsm_.sum, 4));
    }
    fsm_.loaded = true;
    return statusReply(true, 1);
}

Outcome Controller::readCfg() const {
    std::string why;
    if (auto system = findStoredSystem(why)) {
        return dataReply(system->cfg);
    }
    // Nothing stored: the controller reads erased flash.
    Outcome outcome = dataReply(std::vector<std::uint8_t>(cfg::kSize, 0xFF));
    outcome.note = why;
    return outcome;
}

Outcome Controller::setSysAreaSize(std::uint8_t size) {
    sysAreaOverride_ = size;
    saveState();
    return statusReply(true, 1);
}

// The CFG as received into the controller's memory, before it is written to flash.
Outcome Controller::ramCfgReply() const {
    std::vector<std::uint8_t> data = ramCfg_;
    data.resize(cfg::kSize, 0);
    return dataReply(std::move(data));
}

Outcome Controller::setCapMultiplier(std::uint8_t index) {
    if (index > kMaxCapMultiplierIndex) {
        return statusReply(false, 1,
                           "capacity multiplier index " + std::to_string(index) + " is above " +
                               std::to_string(kMaxCapMultiplierIndex));
    }
    capMultiplier_ = index;
    saveState();
    return statusReply(true, 1);
}

Outcome Controller::switchHiddenDisk() {
    if (!layout_) {
        return statusReply(false, 1, "no disk started");
    }
    // Split byte 0 (an encrypted part of 100 %): the whole disk is that part, and the drive
    // goes on showing it.
    if (layout_->sectors[1] > 0) {
        shownPart_ = 1 - shownPart_;
    }
    return statusReply(true, 1);
}

Outcome Controller::fsmInit() const {
    if (nand_) {
        std::string why;
        if (!findStoredSystem(why)) {
            return refuse("FSM init: " + why);
        }
    }
    return statusReply(true, 1);
}

Outcome Controller::sendPageTable(const CommandShape& shape, const Command& command) {
    if (command.transferLength != nand_->pagesPerBlock()) {
        return wrongLength(shape, command.transferLength,
                           std::to_string(nand_->pagesPerBlock()) + " (one per page)");
    }
    pageTable_.assign(command.dataOut.begin(), command.dataOut.end());
    return Outcome{};
}

Outcome Controller::scanBlock(std::span<const std::uint8_t> cdb, std::uint32_t transferLength) {
    const std::uint32_t first = loadBe32(&cdb[2]);
    const std::uint16_t count = loadBe16(&cdb[6]);
    const std::uint16_t pattern = loadBe16(&cdb[8]);
    const std::uint8_t mode = cdb[10];
    const std::uint8_t phase = cdb[11];
    const std::uint8_t ecc = cdb[13];
    const std::uint8_t unit = cdb[14];
    if (mode < 1 || mode > 3) {
        return refuse("scan pattern mode " + std::to_string(mode) + " is not 1, 2 or 3");
    }
    if (phase < 1 || phase > 3) {
        return refuse("scan phase " + std::to_string(phase) + " is not 1, 2 or 3");
    }
    if (unit > 1) {
        return refuse("scan result unit " + std::to_string(unit) + " is not 0 or 1");
    }
    if (count == 0 || std::uint64_t{first} + count > nand_->blockCount()) {
        return refuse("scan of blocks " + std::to_string(first) + " to " +
                      std::to_string(std::uint64_t{first} + count - 1) + " beyond the last block " +
                      std::to_string(nand_->blockCount() - 1));
    }
    if (unit == 1 && count != 1) {
        return refuse("a scan with one result per page takes one block, not " +
                      std::to_string(count));
    }
    const std::uint32_t ppb = nand_->pagesPerBlock();
    const std::uint32_t expected = 1 + (unit == 1 ? ppb : count);
    if (transferLength != expected) {
        return refuse("SUB_SCSI_OP_SCAN_BLOCK moves " + std::to_string(expected) + " bytes, not " +
                      std::to_string(transferLength));
    }
    Outcome outcome = statusReply(true, expected);
    const BlockContent written{BlockContent::Kind::Pattern, mode, pattern};
    const unsigned passMark = 0xFFu - ecc;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t block = first + i;
        if (phase != 1) {
            nand_->fillWithPattern(block, pattern, mode);
            flashChanged();
        }
        // Phase 1 compares with what the block holds: the pattern of the same seed and mode
        // written before reads back, anything else does not.
        const bool holdsPattern = nand_->content(block) == written;
        bool blockGood = true;
        for (std::uint32_t page = 0; page < ppb; ++page) {
            const std::uint8_t result =
                holdsPattern && !badBlocks_[block] ? profile_.pageResult(block, page) : 0x00;
            blockGood = blockGood && result >= passMark;
            if (unit == 1) {
                outcome.data[1 + page] = result;
            }
        }
        if (unit == 0) {
            outcome.data[1 + i] = blockGood ? 0xFF : 0x00;
        }
    }
    return outcome;
}

Outcome Controller::eraseBlock(std::span<const std::uint8_t> cdb) {
    const std::uint32_t first = loadBe32(&cdb[2]);
    const std::uint16_t count = loadBe16(&cdb[6]);
    if (count == 0 || std::uint64_t{first} + count > nand_->blockCount()) {
        return refuse("erase of " + std::to_string(count) + " blocks from block " +
                      std::to_string(first) + ": the flash has " +
                      std::to_string(nand_->blockCount()) + " blocks");
    }
    std::optional<std::uint32_t> badOne;
    for (std::uint32_t block = first; block < first + count; ++block) {
        if (badBlocks_[block]) {
            badOne = badOne.value_or(block);
        } else {
            nand_->erase(block);
        }
    }
    flashChanged();
    if (badOne) {
        return refuse("erase failed: block " + std::to_string(*badOne) + " is bad");
    }
    return statusReply(true, 1);
}

Outcome Controller::pageCommand(const CommandShape& shape, const Command& command) {
    const auto cdb = command.cdb;
    const std::uint32_t first = loadBe32(&cdb[2]);
    const std::uint16_t count = loadBe16(&cdb[6]);
    const std::uint8_t flashType = cdb[8];
    const std::uint32_t ppb = nand_->pagesPerBlock();
    const std::uint64_t totalPages = std::uint64_t{nand_->blockCount()} * ppb;
    if (count == 0 || first + std::uint64_t{count} > totalPages) {
        return refuse(std::string(shape.name) + " of " + std::to_string(count) +
                      " pages from page " + std::to_string(first) + ": the flash has " +
                      std::to_string(totalPages) + " pages");
    }
    if (flashType > kMaxFlashType) {
        return refuse("flash type " + std::to_string(flashType) + " is above 7");
    }
    const std::uint32_t pageSize = nand_->pageSize();
    if (command.transferLength != std::uint64_t{count} * pageSize) {
        return refuse(std::string(shape.name) + " of " + std::to_string(count) + " pages moves " +
                      std::to_string(std::uint64_t{count} * pageSize) + " bytes, not " +
                      std::to_string(command.transferLength));
    }
    if (shape.subCode == SUB_SCSI_OP_READ_PAGE) {
        std::vector<std::uint8_t> data(command.transferLength);
        for (std::uint32_t i = 0; i < count; ++i) {
            nand_->readPage(first + i,
                            std::span(data).subspan(std::size_t{i} * pageSize, pageSize));
        }
        return dataReply(std::move(data));
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        if (badBlocks_[(first + i) / ppb]) {
            return refuse("program failed: page " + std::to_string(first + i) +
                          " lies in bad block " + std::to_string((first + i) / ppb));
        }
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        nand_->programPage(first + i, command.dataOut.subspan(std::size_t{i} * pageSize, pageSize));
    }
    flashChanged();
    return Outcome{};
}

std::optional<Controller::StoredSystem> Controller::findStoredSystem(std::string& why) const {
    const std::uint32_t ppb = nand_->pagesPerBlock();
    const std::uint32_t pageSize = nand_->pageSize();
    const std::size_t mapBytes = (nand_->blockCount() + 7) / 8;
    std::vector<std::uint8_t> page(pageSize);
    why.clear();
    for (std::uint32_t block = 0; block < nand_->blockCount(); ++block) {
        if (badBlocks_[block] || nand_->content(block).kind != BlockContent::Kind::Programmed) {
            continue;
        }
        std::uint32_t first = 0;
        while (first < ppb && !nand_->pageProgrammed(block * ppb + first)) {
            ++first;
        }
        if (first == ppb) {
            continue;
        }
        nand_->readPage(block * ppb + first, page);
        const std::string_view signature(reinterpret_cast<const char*>(page.data()), 4);
        const std::string where =
            "block " + std::to_string(block) + " page " + std::to_string(first);
        if (std::find(std::begin(kCfgSignatures), std::end(kCfgSignatures), signature) ==
            std::end(kCfgSignatures)) {
            why = "no CFG signature at " + where;
            continue;
        }
        const std::uint16_t stored = loadBe16(&page[cfg::kChecksum]);
        if (stored != cfgChecksum(page)) {
            why = "the CFG at " + where + " has checksum " + hex(stored, 4) +
                  ", its bytes sum to " + hex(cfgChecksum(page), 4);
            continue;
        }
        const std::uint32_t cfgPageSize = 1u << (page[cfg::kLog2PageSize] & 31);
        const int log2Ppb = page[cfg::kLog2BlockSize] - page[cfg::kLog2PageSize];
        if (cfgPageSize != pageSize || log2Ppb < 0 || (1u << log2Ppb) != ppb ||
            page[cfg::kChips] != profile_.chips) {
            why =
                "the CFG at " + where + " describes " + std::to_string(page[cfg::kChips]) +
                " chips with " + std::to_string(cfgPageSize) + "-byte pages and " +
                (log2Ppb < 0 || log2Ppb > 30 ? std::string("no") : std::to_string(1u << log2Ppb)) +
                " pages per block, not this flash";
            continue;
        }
        StoredSystem system;
        system.cfg.assign(page.begin(), page.begin() + cfg::kSize);
        auto pageUsed = [&](std::uint32_t p) {
            if (system.cfg[cfg::kPageMapPresent] == 0 || p / 8 >= cfg::kPageMapBytes) {
                return true;
            }
            return (system.cfg[cfg::kPageMap + p / 8] & (0x80 >> (p % 8))) == 0;
        };
        for (std::uint32_t p = 0; p < ppb; ++p) {
            system.usedPagesPerBlock += pageUsed(p) ? 1 : 0;
        }
        // The block bitmap follows the CFG in the next used pages of the block.
        std::uint32_t at = first;
        while (system.bitmap.size() < mapBytes) {
            do {
                ++at;
            } while (at < ppb && !pageUsed(at));
            if (at >= ppb) {
                why = "the block bitmap after the CFG at " + where + " runs past the block";
                return std::nullopt;
            }
            nand_->readPage(block * ppb + at, page);
            system.bitmap.insert(system.bitmap.end(), page.begin(),
                                 page.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                                                    pageSize, mapBytes - system.bitmap.size())));
        }
        return system;
    }
    if (why.empty()) {
        why = "the flash holds no CFG";
    }
    return std::nullopt;
}

Outcome Controller::readBlockMap(std::span<const std::uint8_t> cdb, std::uint32_t transferLength) {
    const std::uint32_t length = loadBe32(&cdb[2]);
    const std::size_t mapBytes = (nand_->blockCount() + 7) / 8;
    if (length == 0 || length > mapBytes || transferLength != length) {
        return refuse("block map of " + std::to_string(length) + " bytes (transfer " +
                      std::to_string(transferLength) + "): the flash's map has " +
                      std::to_string(mapBytes));
    }
    std::string why;
    std::vector<std::uint8_t> map;
    if (auto system = findStoredSystem(why)) {
        map = std::move(system->bitmap);
    } else {
        // No bitmap stored: the controller reads the makers' bad-block marks.
        map.assign(mapBytes, 0);
        for (std::uint32_t block = 0; block < nand_->blockCount(); ++block) {
            if (!badBlocks_[block]) {
                map[block / 8] |= static_cast<std::uint8_t>(0x80 >> (block % 8));
            }
        }
    }
    map.resize(length);
    Outcome outcome = dataReply(std::move(map));
    outcome.note = why;
    return outcome;
}

std::optional<DiskLayout> Controller::layoutFromFlash(std::string& why) const {
    auto system = findStoredSystem(why);
    if (!system) {
        return std::nullopt;
    }
    std::uint64_t usable = 0;
    for (std::uint32_t block = 0; block < nand_->blockCount(); ++block) {
        usable += (system->bitmap[block / 8] >> (7 - block % 8)) & 1;
    }
    const std::uint64_t blockBytes = std::uint64_t{nand_->pagesPerBlock()} * nand_->pageSize();
    const std::uint64_t dataPerBlock = std::uint64_t{system->usedPagesPerBlock} * nand_->pageSize();
    const std::uint8_t units = sysAreaOverride_.value_or(system->cfg[cfg::kSysAreaUnits]);
    const std::uint64_t systemBlocks = (units * cfg::kSysAreaUnit + blockBytes - 1) / blockBytes;
    if (usable <= systemBlocks || dataPerBlock == 0) {
        why = std::to_string(usable) +
              " usable blocks leave no room for a disk beside a system "
              "area of " +
              std::to_string(systemBlocks) + " blocks";
        return std::nullopt;
    }
    DiskLayout layout;
    layout.sectorSize = (system->cfg[cfg::kSectorFlag] & 0x01) != 0 ? 1024 : 512;
    const std::uint64_t bytes = (usable - systemBlocks) * dataPerBlock << capMultiplier_;
    const std::uint64_t sectors = bytes / layout.sectorSize;
    layout.sectors[1] = sectors * system->cfg[cfg::kSplitRatio] / 256;
    layout.sectors[0] = sectors - layout.sectors[1];
    // READ CAPACITY(10) gives the last block address in 32 bits.
    const std::uint64_t larger = std::max(layout.sectors[0], layout.sectors[1]);
    if (larger > 0x100000000ull) {
        why = "a disk part of " + std::to_string(larger) +
              " sectors is beyond 32-bit block addresses";
        return std::nullopt;
    }
    return layout;
}

void Controller::openDisk(const DiskLayout& layout) {
    layout_ = layout;
    std::error_code error;  // shown when the disk is unreadable or the device falls silent
    fs::create_directories(stateDir_ / kUnreadableVolume, error);
    const char* names[2] = {"disk-normal.img", "disk-hidden.img"};
    for (int part = 0; part < 2; ++part) {
        parts_[part].reset();
        if (layout.sectors[part] > 0) {
            parts_[part] = std::make_unique<DiskPart>(stateDir_ / names[part],
                                                      layout.sectors[part] * layout.sectorSize);
        }
    }
}

void Controller::closeDisk() {
    layout_.reset();
    parts_[0].reset();
    parts_[1].reset();
    shownPart_ = 0;
}

void Controller::flashChanged() {
    if (diskStarted_ || layout_) {
        closeDisk();
        diskStarted_ = false;
        saveState();
    }
}

Outcome Controller::startDisk() {
    if (serialFlash_) {
        return statusReply(true, 2);  // a player without NAND shows no disk
    }
    std::string why;
    auto layout = layoutFromFlash(why);
    if (!layout) {
        return refuse("start disk: " + why);
    }
    openDisk(*layout);
    diskStarted_ = true;
    saveState();
    return statusReply(true, 2);
}

Outcome Controller::fileWriteSetup(std::uint32_t size) {
    pending_.reset();
    if (size == 0xFFFFFFFFu) {
        return statusReply(false, 1, "file size 0xFFFFFFFF: no file behind it");
    }
    auto download = std::make_unique<Download>();
    download->size = size;
    std::uint64_t room = 0;
    if (serialFlash_) {
        std::uint64_t end = 0;
        for (const auto& d : downloads_) {
            end = std::max(end, d.serialOffset + d.size);
        }
        download->serialOffset =
            (end + kSerialFileAlignment - 1) / kSerialFileAlignment * kSerialFileAlignment;
        room = profile_.serialFlashSize -
               std::min<std::uint64_t>(download->serialOffset, profile_.serialFlashSize);
    } else {
        std::string why;
        auto system = findStoredSystem(why);
        if (!system) {
            return statusReply(false, 1, "no system area for a file: " + why);
        }
        std::uint64_t used = 0;
        for (const auto& d : downloads_) {
            used += d.size;
        }
        const std::uint64_t area =
            sysAreaOverride_.value_or(system->cfg[cfg::kSysAreaUnits]) * cfg::kSysAreaUnit;
        room = area - std::min(area, used);
    }
    if (size > room) {
        return statusReply(false, 1,
                           "a file of " + std::to_string(size) + " bytes does not fit the " +
                               std::to_string(room) + " bytes left in the " +
                               (serialFlash_ ? "serial flash" : "system area"));
    }
    if (!serialFlash_) {
        fs::create_directories(stateDir_ / "system-area");
        download->file = std::make_unique<StateFile>(
            stateDir_ / "system-area" / ("file-" + std::to_string(downloads_.size() + 1) + ".bin"),
            size);
    }
    pending_ = std::move(download);
    return statusReply(true, 1);
}

Outcome Controller::fileWrite(std::span<const std::uint8_t> chunk) {
    if (!pending_) {
        return refuse("file data without SUB_SCSI_OP_FILE_WRITE_SETUP");
    }
    Download& d = *pending_;
    if (d.received + std::uint64_t{chunk.size()} > d.size) {
        const std::string note =
            "file data beyond the announced " + std::to_string(d.size) + " bytes";
        pending_.reset();
        return refuse(note);
    }
    if (serialFlash_) {
        serialFlash_->write(d.serialOffset + d.received, chunk);
    } else {
        d.file->write(d.received, chunk);
    }
    const std::size_t headWanted = kDownloadHeadSize - std::min(kDownloadHeadSize, d.head.size());
    d.head.insert(d.head.end(), chunk.begin(),
                  chunk.begin() + static_cast<std::ptrdiff_t>(std::min(headWanted, chunk.size())));
    d.received += static_cast<std::uint32_t>(chunk.size());
    return Outcome{};
}

Outcome Controller::fileWriteEnd() {
    if (!pending_) {
        return statusReply(false, 1, "no file download to end");
    }
    std::unique_ptr<Download> d = std::move(pending_);
    if (d->received != d->size) {
        return statusReply(false, 1,
                           "short file: " + std::to_string(d->received) + " of " +
                               std::to_string(d->size) + " bytes received");
    }
    // A file for the serial flash carries its own size in its header.
    if (serialFlash_ && d->head.size() == kDownloadHeadSize &&
        std::equal(d->head.begin(), d->head.begin() + 4, kSpiFileMark)) {
        const std::uint32_t announced = static_cast<std::uint32_t>(d->head[5]) << 24 |
                                        static_cast<std::uint32_t>(d->head[6]) << 16 |
                                        static_cast<std::uint32_t>(d->head[7]) << 8 | d->head[8];
        if (std::uint64_t{announced} + kMaxChunk != d->size) {
            return statusReply(false, 1,
                               "the serial-flash file header announces " +
                                   std::to_string(announced) + " bytes, the download carried " +
                                   std::to_string(d->size) + " with its 2048-byte header");
        }
    }
    downloads_.push_back(std::move(*d));
    return statusReply(true, 1);
}

Outcome Controller::fwParityCheck() {
    if (downloads_.empty()) {
        return statusReply(false, 2, "no firmware downloaded");
    }
    const auto& head = downloads_.front().head;
    if (head.size() < 4 || !std::equal(head.begin(), head.begin() + 4, kFirmwareMark)) {
        return statusReply(false, 2, "the firmware does not begin with its chip name 5V16");
    }
    return statusReply(true, 2);
}

Outcome Controller::spiTransfer(const CommandShape& shape, const Command& command) {
    if (!serialFlash_) {
        return refuse(std::string(shape.name) + ": the device has no serial flash");
    }
    const std::uint32_t first = loadBe16(&command.cdb[2]);
    const std::uint32_t count = loadBe16(&command.cdb[4]);
    const std::uint64_t end = (std::uint64_t{first} + count) * kSpiUnit;
    if (count == 0 || end > profile_.serialFlashSize) {
        return refuse(std::string(shape.name) + " of " + std::to_string(count) +
                      " units from unit " + std::to_string(first) + ": the serial flash holds " +
                      std::to_string(profile_.serialFlashSize / kSpiUnit) + " units");
    }
    if (command.transferLength != count * kSpiUnit) {
        return refuse(std::string(shape.name) + " of " + std::to_string(count) + " units moves " +
                      std::to_string(count * kSpiUnit) + " bytes, not " +
                      std::to_string(command.transferLength));
    }
    if (shape.subCode == SUB_SCSI_OP_SPI_READ) {
        std::vector<std::uint8_t> data(command.transferLength);
        serialFlash_->read(std::uint64_t{first} * kSpiUnit, data);
        return dataReply(std::move(data));
    }
    serialFlash_->write(std::uint64_t{first} * kSpiUnit, command.dataOut);
    return Outcome{};
}

Outcome Controller::standard(const CommandShape& shape, const Command& command) {
    switch (shape.opcode) {
        case kScsiOpInquiry:
            return inquiry(command.cdb, command.transferLength);
        case kScsiOpStartStopUnit:
            return Outcome{};
        case kScsiOpReadCapacity10: {
            if (!layout_ || !parts_[shownPart_]) {
                return refuse("not ready: no disk");
            }
            const std::uint64_t last = layout_->sectors[shownPart_] - 1;
            const std::uint32_t size = layout_->sectorSize;
            return dataReply(
                {static_cast<std::uint8_t>(last >> 24), static_cast<std::uint8_t>(last >> 16),
                 static_cast<std::uint8_t>(last >> 8), static_cast<std::uint8_t>(last),
                 static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
                 static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)});
        }
        case kScsiOpRead10:
        case kScsiOpWrite10:
            return diskTransfer(shape, command);
        default:
            return refuse(std::string(shape.name) + " is not answered");
    }
}

Outcome Controller::inquiry(std::span<const std::uint8_t> cdb, std::uint32_t transferLength) {
    if ((cdb[1] & 0x01) != 0) {
        return refuse("INQUIRY for vital product data is not supported");
    }
    const std::uint8_t allocation = cdb[4];
    if (allocation == 0 || transferLength != allocation) {
        return refuse("INQUIRY with allocation length " + std::to_string(allocation) + " moves " +
                      std::to_string(transferLength) + " bytes");
    }
    std::vector<std::uint8_t> data(kInquirySize, ' ');
    const char* mark = "";
    std::uint8_t additional = 0x1F;
    std::uint8_t version = 0x06;
    switch (profile_.inquiry) {
        case InquiryVariant::G:
            mark = "G";
            additional = 0x04;
            version = 0x02;
            break;
        case InquiryVariant::V16_1:
            mark = "16.1";
            additional = 0x07;
            version = 0x02;
            break;
        case InquiryVariant::V16_2:
            mark = "16.2";
            additional = 0x07;
            version = 0x02;
            break;
        case InquiryVariant::Foreign:
            break;
    }
    const std::uint8_t header[8] = {0x00, 0x80, version, 0x02, additional, 0x00, 0x00, 0x00};
    std::copy(std::begin(header), std::end(header), data.begin());
    // The identification text opens the vendor field; the vendor's own text follows it unless
    // it begins with the text already.
    std::string vendor = profile_.vendor;
    if (!vendor.starts_with(mark)) {
        vendor = mark + vendor;
    }
    auto put = [&](std::size_t at, std::size_t width, const std::string& text) {
        std::copy_n(text.begin(), std::min(width, text.size()),
                    data.begin() + static_cast<std::ptrdiff_t>(at));
    };
    put(8, 8, vendor);
    put(16, 16, profile_.product);
    put(32, 4, profile_.revision);
    data.resize(std::min<std::size_t>(allocation, kInquirySize));
    return dataReply(std::move(data));
}

Outcome Controller::diskTransfer(const CommandShape& shape, const Command& command) {
    if (!layout_ || !parts_[shownPart_]) {
        return refuse("not ready: no disk");
    }
    if (profile_.unreadableDisk) {
        return refuse(std::string(shape.name) +
                      ": medium error, the disk cannot be read or written");
    }
    const std::uint32_t lba = loadBe32(&command.cdb[2]);
    const std::uint16_t count = loadBe16(&command.cdb[7]);
    const std::uint64_t sectors = layout_->sectors[shownPart_];
    const std::uint32_t sectorSize = layout_->sectorSize;
    if (std::uint64_t{lba} + count > sectors) {
        return refuse(std::string(shape.name) + " of " + std::to_string(count) + " sectors at " +
                      std::to_string(lba) + " beyond the disk's " + std::to_string(sectors) +
                      " sectors");
    }
    if (command.transferLength != std::uint64_t{count} * sectorSize) {
        return refuse(std::string(shape.name) + " of " + std::to_string(count) + " sectors of " +
                      std::to_string(sectorSize) + " bytes moves " +
                      std::to_string(std::uint64_t{count} * sectorSize) + " bytes, not " +
                      std::to_string(command.transferLength));
    }
    DiskPart& part = *parts_[shownPart_];
    if (shape.opcode == kScsiOpRead10) {
        std::vector<std::uint8_t> data(command.transferLength);
        part.read(std::uint64_t{lba} * sectorSize, data);
        return dataReply(std::move(data));
    }
    part.write(std::uint64_t{lba} * sectorSize, command.dataOut);
    return Outcome{};
}

}  // namespace corvid::devsim
