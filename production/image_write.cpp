#include "production/image_write.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "characterisation/worker_state.h"
#include "image/image_file.h"
#include "transport/standard_commands.h"

namespace corvid {

namespace {

// A run of records for consecutive sectors goes out as one WRITE(10) of at most this much.
constexpr std::size_t kMaxWriteBytes = 64u * 1024u;

// Records of consecutive sectors gathered for one WRITE(10).
class WriteRun {
  public:
    WriteRun(WorkerState& w, std::uint32_t sectorSize)
        : w_(w),
          sectorSize_(sectorSize),
          maxSectors_(static_cast<std::uint32_t>(kMaxWriteBytes / sectorSize)),
          data_(kMaxWriteBytes) {}

    bool empty() const { return count_ == 0; }
    // Whether the record for 'sector' continues the run.
    bool continues(std::uint32_t sector) const {
        return count_ > 0 && count_ < maxSectors_ && sector == first_ + count_;
    }
    void start(std::uint32_t sector, std::uint32_t index) {
        first_ = sector;
        firstIndex_ = index;
        count_ = 0;
    }
    void add(std::span<const std::byte> sector) {
        std::memcpy(data_.data() + std::size_t{count_} * sectorSize_, sector.data(), sectorSize_);
        ++count_;
    }
    std::uint32_t firstIndex() const { return firstIndex_; }
    std::uint32_t count() const { return count_; }

    // Sends the run; the run is empty afterwards.
    bool send() {
        const std::uint32_t count = count_;
        count_ = 0;
        return write10(
            w_.transport, w_.hDevice, first_,
            std::span<const std::uint8_t>(data_.data(), std::size_t{count} * sectorSize_),
            sectorSize_, static_cast<std::uint16_t>(count));
    }

  private:
    WorkerState& w_;
    std::uint32_t sectorSize_;
    std::uint32_t maxSectors_;
    std::vector<std::uint8_t> data_;
    std::uint32_t first_ = 0;
    std::uint32_t firstIndex_ = 0;
    std::uint32_t count_ = 0;
};

}  // namespace

std::int32_t iImageDiskSize(const std::filesystem::path& image) {
    const auto size = ImgReadSize(image);
    return size ? static_cast<std::int32_t>(*size) : -1;
}

bool bWriteImageFile(WorkerState& w, const std::filesystem::path& image, int first, int last) {
    w.setProgress(first);
    const auto sectorSize = static_cast<std::uint32_t>(w.FlashInfo.iSectorSize);
    ImageRecordReader reader;
    if (!reader.open(image, sectorSize)) {
        return false;
    }

    // Record i moves the progress to first + (last - first) x i / N: before it is written when it
    // opens a run, once its run is written otherwise. The positions are those of one write per
    // record, each reached once that many records are on the disk.
    const std::uint32_t records = reader.recordCount();
    const auto span = static_cast<std::uint64_t>(static_cast<std::uint32_t>(last - first));
    const auto progressOf = [&](std::uint32_t i) {
        return first + static_cast<int>(span * i / records);
    };
    WriteRun run(w, sectorSize);
    const auto sendRun = [&] {
        const std::uint32_t from = run.firstIndex();
        const std::uint32_t count = run.count();
        if (!run.send()) {
            return false;
        }
        for (std::uint32_t i = from + 1; i < from + count; ++i) {
            w.setProgress(progressOf(i));
        }
        return true;
    };

    std::uint32_t lastSector = 0;
    for (std::uint32_t i = 0; i < records; ++i) {
        ImageRecordReader::Record record;
        const auto read = reader.next(record);
        if (read != ImageRecordReader::Read::Whole) {
            // The records before are written; a record cut short is not.
            if (!run.empty() && !sendRun()) {
                return false;
            }
            if (read == ImageRecordReader::Read::NumberOnly) {
                w.setProgress(progressOf(i));
            }
            return false;
        }
        lastSector = record.sector;
        if (!run.continues(record.sector)) {
            if (!run.empty() && !sendRun()) {
                return false;
            }
            run.start(record.sector, i);
            w.setProgress(progressOf(i));
        }
        run.add(record.data);
    }
    if (!run.empty() && !sendRun()) {
        return false;
    }
    if (records == 0) {
        return true;  // nothing was written, so there is nothing to read back
    }
    std::vector<std::uint8_t> sector(sectorSize);
    return read10(w.transport, w.hDevice, lastSector, sector, sectorSize, 1);
}

ReadBack verifyImageFile(WorkerState& w, const std::filesystem::path& image) {
    const auto sectorSize = static_cast<std::uint32_t>(w.FlashInfo.iSectorSize);
    ImageRecordReader reader;
    if (!reader.open(image, sectorSize)) {
        return ReadBack::Failed;
    }
    const std::uint32_t maxSectors = static_cast<std::uint32_t>(kMaxWriteBytes / sectorSize);
    std::vector<std::uint8_t> expected(kMaxWriteBytes);
    std::vector<std::uint8_t> actual(kMaxWriteBytes);
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    const auto compareRun = [&] {
        const std::size_t bytes = std::size_t{count} * sectorSize;
        if (!read10(w.transport, w.hDevice, first, std::span(actual.data(), bytes), sectorSize,
                    static_cast<std::uint16_t>(count))) {
            return ReadBack::Failed;
        }
        count = 0;
        return std::memcmp(actual.data(), expected.data(), bytes) == 0 ? ReadBack::Same
                                                                       : ReadBack::Differs;
    };
    for (std::uint32_t i = 0; i < reader.recordCount(); ++i) {
        ImageRecordReader::Record record;
        if (reader.next(record) != ImageRecordReader::Read::Whole) {
            return ReadBack::Failed;
        }
        if (count > 0 && (count == maxSectors || record.sector != first + count)) {
            if (const ReadBack result = compareRun(); result != ReadBack::Same) {
                return result;
            }
        }
        if (count == 0) {
            first = record.sector;
        }
        std::memcpy(expected.data() + std::size_t{count} * sectorSize, record.data.data(),
                    sectorSize);
        ++count;
    }
    return count > 0 ? compareRun() : ReadBack::Same;
}

}  // namespace corvid
