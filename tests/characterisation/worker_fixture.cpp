#include "tests/characterisation/worker_fixture.h"

#include <algorithm>

#include "transport/vendor_commands.h"

namespace corvid::test {
namespace {

std::uint32_t be32(const RecordedRequest& r, std::size_t at) {
    return (std::uint32_t{r.cdb[at]} << 24) | (std::uint32_t{r.cdb[at + 1]} << 16) |
           (std::uint32_t{r.cdb[at + 2]} << 8) | r.cdb[at + 3];
}

}  // namespace

void putCfgChecksum(Bytes& cfg) {
    unsigned sum = 0;
    for (std::size_t i = 82; i <= 254; ++i) {
        sum += cfg[i];
    }
    cfg[80] = static_cast<std::uint8_t>(sum >> 8);
    cfg[81] = static_cast<std::uint8_t>(sum);
}

FakeFlash::FakeFlash(RecordingTransport& transport) {
    transport.setResponder([this](const RecordedRequest& r) { return answer(r); });
}

int FakeFlash::count(std::uint8_t subCode) const {
    const auto it = seen_.find(subCode);
    return it == seen_.end() ? 0 : it->second;
}

Reply FakeFlash::answer(const RecordedRequest& r) {
    const std::uint8_t sub = r.cdb[1];
    const int occurrence = ++seen_[sub];
    const auto f = failures.find(sub);
    if (f != failures.end() && f->second.count(occurrence) != 0) {
        return {false, {0x00}};
    }
    switch (sub) {
        case SUB_SCSI_OP_SCAN_BLOCK: {
            const std::uint32_t block = be32(r, 2);
            const std::uint16_t seed = static_cast<std::uint16_t>((r.cdb[8] << 8) | r.cdb[9]);
            const std::uint8_t phase = r.cdb[11];
            if (phase == kScanPhaseWriteOnly) {
                written_[block] = seed;
                return {true, {0x01}};
            }
            bool good = badBlocks.count(block) == 0;
            if (phase == kScanPhaseReadCompare) {
                const auto w = written_.find(block);
                good = good && w != written_.end() && w->second == seed;
                auto flaky = flakyReads.find(block);
                if (flaky != flakyReads.end() && flaky->second > 0) {
                    --flaky->second;
                    good = false;
                }
            }
            std::vector<std::uint8_t> data{0x01};
            if (r.cdb[14] == 1) {
                const std::uint32_t pages = r.transferLength - 1;
                for (std::uint32_t p = 0; p < pages; ++p) {
                    const auto it = pageResults.find({block, p});
                    data.push_back(!good ? 0x00 : it == pageResults.end() ? 0xFF : it->second);
                }
            } else {
                data.push_back(good ? 0xFF : 0x00);
            }
            return {true, data};
        }
        case SUB_SCSI_OP_ERASE_BLOCK:
            erases.push_back(be32(r, 2));
            return {true, {0x01}};
        case SUB_SCSI_OP_WRITE_PAGE:
            pageWrites.push_back({be32(r, 2), r.cdb[8], r.dataOut});
            return {true, {}};
        case SUB_SCSI_OP_SEND_PAGE_TABLE:
            pageTables.push_back(r.dataOut);
            return {true, {}};
        default:
            return {true, {0x01}};
    }
}

void WorkerTest::SetUp() {
    TempDirTest::SetUp();
    registry = openIniRegistryStore(dir_ / "misc" / "registry.ini");
    flash = std::make_unique<FakeFlash>(transport);
    w = std::make_unique<WorkerState>(
        WorkerSeams{station, prompt, *registry, messages, settings, clock, dir_}, transport, slot,
        'E', 3, kLanguageEnglish);
    w->hDevice = transport.open('E');
}

void WorkerTest::TearDown() {
    w.reset();
    TempDirTest::TearDown();
}

void WorkerTest::setGeometry(int chips, int blocksPerChip, int pagesPerBlock, int pageSize) {
    w->FlashInfo.iChips = chips;
    w->FlashInfo.iBlocksPerChip = blocksPerChip;
    w->FlashInfo.iPagesPerBlock = pagesPerBlock;
    w->FlashInfo.iPageSize = pageSize;
    w->FlashInfo.iBlockSize = pageSize * pagesPerBlock;
    w->FlashInfo.iPermitEcc = 1;
    w->pBlockMap.assign(static_cast<std::size_t>(chips * blocksPerChip), kUsable);
}

void WorkerTest::setFlashId(std::array<std::uint8_t, 5> id, int chips) {
    w->FlashInfo.iMaker = id[0];
    w->FlashInfo.iFlashId = (std::uint32_t{id[1]} << 24) | (std::uint32_t{id[2]} << 16) |
                            (std::uint32_t{id[3]} << 8) | id[4];
    w->FlashInfo.iChips = chips;
}

Bytes WorkerTest::cfg() const {
    return Bytes(w->Cfg.cfg.begin(), w->Cfg.cfg.begin() + 512);
}

std::vector<RecordedRequest> WorkerTest::sent(std::uint8_t subCode) const {
    std::vector<RecordedRequest> out;
    for (const auto& r : transport.requests()) {
        if (r.cdb[1] == subCode) {
            out.push_back(r);
        }
    }
    return out;
}

}  // namespace corvid::test
