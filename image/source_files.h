#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/ram_disk.h"
#include "platform/result.h"

namespace corvid {

// The PC files of a build: where each one is and its size when the tree was walked. Their bytes
// are read only when the image file is written, and must then still be as they were.
class SourceFiles {
  public:
    using NativePath = std::filesystem::path::string_type;

    // A folder whose files are added next; returns its index.
    std::uint32_t addFolder(const std::filesystem::path& folder);
    // A file of the folder 'folder' (an index from addFolder); returns its source number. Source
    // numbers count up from 0 in the order files are added.
    std::uint32_t add(std::uint32_t folder, NativePath name, std::uint64_t size);

    std::size_t count() const { return files_.size(); }
    std::uint64_t size(std::uint32_t source) const { return files_[source].size; }
    std::filesystem::path path(std::uint32_t source) const { return nativePath(source); }
    NativePath nativePath(std::uint32_t source) const;
    // The same into 'out', reusing its room.
    void nativePath(std::uint32_t source, NativePath& out) const;

  private:
    struct File {
        std::uint32_t folder = 0;
        NativePath name;
        std::uint64_t size = 0;
    };
    std::vector<NativePath> folders_;
    std::vector<File> files_;
};

// One source file open for reading, unbuffered: each read goes straight into the caller's
// buffer. Failures are sentences naming the file.
class SourceFileReader {
  public:
    SourceFileReader() = default;
    ~SourceFileReader() { close(); }
    SourceFileReader(const SourceFileReader&) = delete;
    SourceFileReader& operator=(const SourceFileReader&) = delete;

    // Opens the file; false when it cannot be opened.
    bool open(const SourceFiles& files, std::uint32_t source);
    std::optional<std::uint32_t> openSource() const { return open_; }
    // The file's size now; the next read must name its offset.
    std::optional<std::uint64_t> size();
    // Reads up to out.size() bytes from 'offset'; the count read (short only at the end of the
    // file), or nothing when the read fails.
    std::optional<std::size_t> read(std::uint64_t offset, std::span<std::byte> out);
    void close();
    const std::string& failure() const { return failure_; }

  private:
    bool seek(std::uint64_t offset, int origin);

    const SourceFiles* files_ = nullptr;
    std::optional<std::uint32_t> open_;
    std::FILE* file_ = nullptr;  // the C library's file: the least set-up per file
    SourceFiles::NativePath path_;
    std::uint64_t position_ = 0;
    std::string failure_;
};

// File data read where they are asked for, for saving one store on its own: each request is one
// read of its file (1 MiB at most).
class SourceReader : public SectorSource {
  public:
    static constexpr std::size_t kBufferBytes = 1u << 20;

    explicit SourceReader(const SourceFiles& files) : files_(files) {}

    std::span<const std::byte> read(std::uint32_t source, std::uint64_t offset,
                                    std::size_t length) override;
    const std::string& failure() const override { return failure_; }

  private:
    bool fail(std::string why);

    const SourceFiles& files_;
    SourceFileReader file_;
    std::unique_ptr<std::byte[]> buffer_;
    std::string failure_;
};

// The source files read once, in source order, for several stores saved at the same time: each
// store drains through a consumer of its own (a SectorSource). The files are cut into slots of
// the ring by their sizes alone; a consumer that needs a slot not yet read takes the next free
// slot and reads it for all of them, so the consumers read different slots at the same time
// while each goes through them in order. A slot is reused once every consumer has gone past it.
// A consumer that asks for bytes the stream has already passed reads them from the file itself.
//
// Memory: kSlots slots of kSlotBytes, whatever the size of the files.
class SourceStream {
  public:
    static constexpr std::size_t kSlots = 4;
    static constexpr std::size_t kSlotBytes = 128u * 1024u;

    class Consumer : public SectorSource {
      public:
        std::span<const std::byte> read(std::uint32_t source, std::uint64_t offset,
                                        std::size_t length) override;
        const std::string& failure() const override { return failure_; }
        // Called with a source number whenever the consumer first asks for that source.
        void onSource(std::function<void(std::uint32_t)> hook) { onSource_ = std::move(hook); }
        // The consumer needs nothing more: the stream no longer keeps data for it.
        void detach();

      private:
        friend class SourceStream;
        Consumer(SourceStream& stream, const SourceFiles& files)
            : stream_(stream), direct_(files) {}
        std::span<const std::byte> readDirect(std::uint32_t source, std::uint64_t offset,
                                              std::size_t length);

        SourceStream& stream_;
        SourceReader direct_;
        SourceFileReader file_;   // for the slots this consumer reads
        std::uint64_t slot_ = 0;  // the sequence number of the slot it is in
        std::size_t piece_ = 0;   // the piece of that slot
        bool attached_ = true;
        std::optional<std::uint32_t> lastSource_;
        std::function<void(std::uint32_t)> onSource_;
        std::string failure_;
    };

    SourceStream(const SourceFiles& files, std::size_t consumers);
    SourceStream(const SourceStream&) = delete;
    SourceStream& operator=(const SourceStream&) = delete;

    Consumer& consumer(std::size_t index) { return *consumers_[index]; }

  private:
    struct Piece {
        std::uint32_t source = 0;
        std::uint64_t offset = 0;
        std::size_t at = 0;  // position in the slot's bytes
        std::size_t length = 0;
    };
    enum class SlotState { Free, Reading, Ready };
    struct Slot {
        std::unique_ptr<std::byte[]> bytes;  // kSlotBytes, uninitialised
        std::vector<Piece> pieces;
        std::uint64_t sequence = 0;
        SlotState state = SlotState::Free;
        std::size_t pending = 0;  // consumers yet to go past it
    };

    // Under the lock: the pieces of the files that come next, as many as fit in a slot, from
    // their sizes. False when no file data are left.
    bool cut(Slot& slot);
    // Reads the slot's pieces, without the lock.
    Result read(Slot& slot, SourceFileReader& file);
    // Under the lock: the slot of a sequence number once it is read, read by this consumer if
    // it is the next to be read; nothing when the stream ends before it.
    Slot* waitFor(Consumer& consumer, std::uint64_t sequence, std::unique_lock<std::mutex>& lock);
    void release(std::uint64_t sequence);

    const SourceFiles& files_;
    std::vector<std::unique_ptr<Consumer>> consumers_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t cutSlots_ = 0;  // slots cut so far (the sequence of the next)
    std::size_t attached_ = 0;
    bool allCut_ = false;  // every byte of the files is in a slot cut so far
    std::string failure_;  // why the stream ended early
    // Where the cutting stands.
    std::uint32_t nextSource_ = 0;
    std::uint64_t nextOffset_ = 0;
};

}  // namespace corvid
