// corvid-cli init-home and produce as a new user meets them, on devices of corvid-devsim.
#include <gtest/gtest.h>

#include "tests/integration/sim_fixture.h"

namespace corvid {
namespace {

using test::ProgramRun;
using test::runBinProgram;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class ProduceCliTest : public test::SimulatorTest {
  protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        home_ = (dir_ / "station").string();
        const auto written = runBinProgram("corvid-cli", {"init-home", home_});
        ASSERT_EQ(written.exitCode, 0) << written.output;
    }

    ProgramRun produce(const std::string& letter) {
        return runBinProgram("corvid-cli", {"produce", letter, "--home", home_, "--sim-dir",
                                         simDir_.string(), "--pause-scale", "0"});
    }

    std::string home_;
};

TEST_F(ProduceCliTest, NandDeviceWithFirmwareUpgradeIsFinished) {
    plug('E', "nand-2k");
    const auto run = produce("E");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "E  FSM Writingsuccessful")) << run.output;
    EXPECT_TRUE(contains(run.output, "E  F: ID:ECDA109544 Samsung 2Gbit SLC")) << run.output;
    EXPECT_TRUE(contains(run.output, "E  P: <1-0-1>")) << run.output;
    EXPECT_TRUE(contains(run.output, "E  Program Write Setup...")) << run.output;
    EXPECT_TRUE(contains(run.output, "E  progress 75/100")) << run.output;
    EXPECT_TRUE(contains(run.output, "E  Check Disk")) << run.output;
    EXPECT_TRUE(contains(run.output, "E  picture: success.bmp")) << run.output;
    EXPECT_TRUE(contains(run.output, "E: pass")) << run.output;
}

TEST_F(ProduceCliTest, WithoutFirmwareUpgradeANandDevicePasses) {
    const auto set = runBinProgram(
        "corvid-cli", {"settings", "--home", home_, "set", "FwUpgrade=0", "Blanking check=1"});
    ASSERT_EQ(set.exitCode, 0) << set.output;
    plug('G', "nand-2chip");
    const auto run = produce("g:");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "G  F: ID:ECDA109544 Samsung 2Gbit SLC x 2")) << run.output;
    EXPECT_TRUE(contains(run.output, "G  Blanking Check 4095/4096 Bad: 3")) << run.output;
    EXPECT_TRUE(contains(run.output, "G  progress 400/400")) << run.output;
    EXPECT_TRUE(contains(run.output, "G  F: 3/4096, 0MB, ")) << run.output;
    EXPECT_TRUE(contains(run.output, "G  successful  [blue]")) << run.output;
    EXPECT_TRUE(contains(run.output, "G: pass")) << run.output;
}

TEST_F(ProduceCliTest, SerialFlashDevicePasses) {
    plug('F', "spi");
    const auto run = produce("F");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "F  F: SPI Flash")) << run.output;
    EXPECT_TRUE(contains(run.output, "F  Start Disk")) << run.output;
    EXPECT_TRUE(contains(run.output, "F  picture: success.bmp")) << run.output;
    EXPECT_TRUE(contains(run.output, "F: pass")) << run.output;
}

TEST_F(ProduceCliTest, RefusesWhatItCannotProduce) {
    struct Case {
        std::string letter;
        std::string home;
        int exitCode;
        const char* says;
    };
    plug('H', "foreign");
    const Case cases[] = {
        {"EE", home_, 2, "is not a drive letter"},
        {"Q", home_, 1, "no device answers at drive Q"},
        {"H", home_, 1, "is not one of the station's devices"},
        {"E", (dir_ / "nowhere").string(), 2, "has no misc folder"},
    };
    for (const auto& c : cases) {
        const auto run = runBinProgram(
            "corvid-cli", {"produce", c.letter, "--home", c.home, "--sim-dir", simDir_.string()});
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_TRUE(contains(run.output, c.says)) << run.output;
    }
}

TEST_F(ProduceCliTest, InitHomeRefusesAFolderInUse) {
    const auto again = runBinProgram("corvid-cli", {"init-home", home_});
    EXPECT_EQ(again.exitCode, 2);
    EXPECT_TRUE(contains(again.output, "is not empty; give --force")) << again.output;
    EXPECT_EQ(runBinProgram("corvid-cli", {"init-home", "--force", home_}).exitCode, 0);
}

}  // namespace
}  // namespace corvid
