#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devsim/device.h"
#include "devsim/profile.h"
#include "tests/support/temp_dir.h"

namespace corvid::devsim {
namespace {

TEST(FaultRules, ParseNamesOccurrencesAndKinds) {
    using Kind = FaultRule::Kind;
    struct Case {
        Kind kind;
        const char* text;
        Kind expectedKind;
        const char* command;
        std::uint32_t occurrence;
    };
    const Case cases[] = {
        {Kind::FailCall, "READ_CFG", Kind::FailCall, "SUB_SCSI_OP_READ_CFG", 0},
        {Kind::FailCall, "sub_scsi_op_write_page@2:status", Kind::FailStatus,
         "SUB_SCSI_OP_WRITE_PAGE", 2},
        {Kind::FailCall, "READ(10)@7:call", Kind::FailCall, "READ(10)", 7},
        {Kind::FailCall, "read_capacity", Kind::FailCall, "READ_CAPACITY(10)", 0},
        {Kind::UnplugDuring, "FILE_WRITE@3", Kind::UnplugDuring, "SUB_SCSI_OP_FILE_WRITE", 3},
        {Kind::Silent, "INQUIRY", Kind::Silent, "INQUIRY", 0},
        {Kind::LoseData, "WRITE10@8", Kind::LoseData, "WRITE(10)", 8},
    };
    for (const Case& c : cases) {
        const FaultRule rule = parseFaultRule(c.kind, c.text);
        EXPECT_EQ(rule.kind, c.expectedKind) << c.text;
        EXPECT_STREQ(rule.command->name, c.command) << c.text;
        EXPECT_EQ(rule.occurrence, c.occurrence) << c.text;
    }
}

TEST(FaultRules, RefuseWhatTheyCannotMean) {
    using Kind = FaultRule::Kind;
    EXPECT_THROW(parseFaultRule(Kind::FailCall, "FROBNICATE"), std::invalid_argument);
    EXPECT_THROW(parseFaultRule(Kind::FailCall, "READ_CFG@0"), std::invalid_argument);
    EXPECT_THROW(parseFaultRule(Kind::FailCall, "READ_CFG@x"), std::invalid_argument);
    EXPECT_THROW(parseFaultRule(Kind::FailCall, "READ_CFG:maybe"), std::invalid_argument);
    EXPECT_THROW(parseFaultRule(Kind::Silent, "READ_CFG:status"), std::invalid_argument);
    EXPECT_THROW(parseFaultRule(Kind::LoseData, "READ10@2"), std::invalid_argument);
    EXPECT_THROW(parseBandwidth("fast"), std::invalid_argument);
    EXPECT_DOUBLE_EQ(parseBandwidth("2M"), 2.0 * 1024 * 1024);
}

TEST(LyingDevice, ParsesSeedAndPercent) {
    struct Case {
        const char* text;
        std::uint64_t seed;
        unsigned percent;
    };
    const Case cases[] = {{"7", 7, 100},
                          {"7:20", 7, 20},
                          {"0:1", 0, 1},
                          {"18446744073709551615:100", 18446744073709551615u, 100}};
    for (const Case& c : cases) {
        const LieMode mode = parseLieMode(c.text);
        EXPECT_EQ(mode.seed, c.seed) << c.text;
        EXPECT_EQ(mode.liePercent, c.percent) << c.text;
    }
    for (const char* bad : {"", "x", "7:", "7:0", "7:101", ":20", "-1", "7:20:3", "7 "}) {
        EXPECT_THROW(parseLieMode(bad), std::invalid_argument) << bad;
    }
    EXPECT_EQ(lieModeText(parseLieMode("7")), "--lie 7:100");
}

// One sector of the disk a device shows, through READ(10) and WRITE(10) as the kernel sends them.
DeviceReply sectorCommand(Device& device, std::uint8_t opcode, std::uint32_t sector,
                          std::vector<std::uint8_t> data) {
    simlink::WireRequest request{};
    request.magic = simlink::kWireMagic;
    request.version = simlink::kWireVersion;
    request.cdbLength = 10;
    request.cdb[0] = opcode;
    request.cdb[5] = static_cast<std::uint8_t>(sector);
    request.cdb[8] = 1;
    const bool writes = opcode == 0x2A;
    request.direction = static_cast<std::uint8_t>(writes ? simlink::WireDirection::Out
                                                         : simlink::WireDirection::In);
    request.transferLength = 512;
    return device.handle(request, writes ? data : std::vector<std::uint8_t>{});
}

// A device that loses the second write answers it done, and the medium keeps the earlier bytes:
// only reading the medium back tells.
TEST(LosingDevice, AnswersTheLostWriteDoneAndKeepsNothingOfIt) {
    test::TempDir temp("devsim-lose");
    DeviceSettings settings;
    settings.profile = resolveProfile("foreign");  // shows its disk from the start
    settings.stateDir = temp.path() / "state";
    settings.faults = {parseFaultRule(FaultRule::Kind::LoseData, "WRITE10@2")};
    Device device(settings);
    device.powerUp(false);
    const std::vector<std::uint8_t> kept(512, 0xA5);
    const std::vector<std::uint8_t> lost(512, 0x5A);
    for (const auto& [sector, data] : {std::pair{0u, kept}, std::pair{1u, lost}}) {
        EXPECT_EQ(sectorCommand(device, 0x2A, sector, data).header.status,
                  static_cast<std::uint8_t>(simlink::WireStatus::Good));
    }
    EXPECT_EQ(sectorCommand(device, 0x28, 0, {}).data, kept);
    EXPECT_EQ(sectorCommand(device, 0x28, 1, {}).data, std::vector<std::uint8_t>(512, 0));
}

// The answers of a device, lying or not (nullptr), to the same commands: status, length and bytes
// of each.
std::vector<std::string> answersOf(const std::filesystem::path& stateDir, const char* lie) {
    DeviceSettings settings;
    settings.profile = resolveProfile("nand-2k");
    settings.stateDir = stateDir;
    if (lie != nullptr) {
        settings.lie = parseLieMode(lie);
    }
    Device device(settings);
    device.powerUp(false);
    std::vector<std::string> answers;
    for (int i = 0; i < 40; ++i) {
        simlink::WireRequest request{};
        request.magic = simlink::kWireMagic;
        request.version = simlink::kWireVersion;
        request.cdbLength = 6;
        request.cdb[0] = 0x12;  // INQUIRY, 36 bytes
        request.cdb[4] = 36;
        request.direction = static_cast<std::uint8_t>(simlink::WireDirection::In);
        request.transferLength = 36;
        const DeviceReply reply = device.handle(request, {});
        answers.push_back(std::to_string(reply.header.status) + " " +
                          std::to_string(reply.header.dataLength) + " " +
                          std::string(reply.data.begin(), reply.data.end()));
        EXPECT_EQ(reply.header.dataLength, reply.data.size());
    }
    return answers;
}

TEST(LyingDevice, TheSameSeedGivesTheSameLies) {
    test::TempDir temp("devsim-lie");
    const auto truth = answersOf(temp.path() / "truth", nullptr);
    const auto first = answersOf(temp.path() / "a", "5");
    EXPECT_EQ(first, answersOf(temp.path() / "b", "5"));
    EXPECT_NE(first, answersOf(temp.path() / "c", "6"));
    // Every answer lies at 100 percent; most differ from the truth in status, length or bytes.
    int differing = 0;
    for (std::size_t i = 0; i < first.size(); ++i) {
        differing += first[i] != truth[i] ? 1 : 0;
    }
    EXPECT_GE(differing, 30);
}

}  // namespace
}  // namespace corvid::devsim
