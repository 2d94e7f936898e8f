#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/ram_disk.h"

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
    const SourceFiles* files_ = nullptr;
    std::optional<std::uint32_t> open_;
    std::ifstream stream_;
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
// store drains through a consumer of its own (a SectorSource). Whichever consumer first needs a
// piece not yet read reads it, for all of them, into a ring of slots; a slot is reused once every
// consumer has gone past it. A consumer that asks for bytes the stream has already passed, or
// that runs a whole ring ahead of another, reads them from the file itself.
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
    struct Slot {
        std::unique_ptr<std::byte[]> bytes;  // kSlotBytes, uninitialised
        std::size_t used = 0;
        std::vector<Piece> pieces;
        std::size_t pending = 0;  // consumers yet to go past it
    };

    // Reads the next pieces of the files into the slot, as many as fit. Called without the lock
    // by the one consumer that reads.
    bool fill(Slot& slot);
    // Under the lock: the slot of a sequence number, read by this consumer if no one has read it
    // yet; nothing when the stream ended before it.
    Slot* waitFor(std::uint64_t sequence, std::unique_lock<std::mutex>& lock);
    void release(std::uint64_t sequence);

    const SourceFiles& files_;
    std::vector<std::unique_ptr<Consumer>> consumers_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t published_ = 0;  // slots read so far
    std::size_t attached_ = 0;
    bool reading_ = false;  // a consumer is filling the next slot
    bool ended_ = false;    // no slot follows the published ones
    std::string failure_;   // why the stream ended early
    // Where the reading stands; touched only by the consumer that reads.
    std::uint32_t next_ = 0;
    std::uint64_t offset_ = 0;
    SourceFileReader file_;
};

}  // namespace corvid
