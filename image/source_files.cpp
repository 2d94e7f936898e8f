#include "image/source_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace corvid {

namespace {

// Pieces of a file in the stream start at multiples of this within the file (unless the file
// ends first), so a piece never starts inside a sector of either sector size.
constexpr std::size_t kPieceAlign = 4096;

std::string reasonFromErrno() {
    return errno != 0 ? std::string(std::strerror(errno)) : std::string("unknown error");
}

}  // namespace

// ----- SourceFiles -----

std::uint32_t SourceFiles::addFolder(const std::filesystem::path& folder) {
    NativePath native = folder.native();
    if (!native.empty() && native.back() != std::filesystem::path::preferred_separator) {
        native += std::filesystem::path::preferred_separator;
    }
    folders_.push_back(std::move(native));
    return static_cast<std::uint32_t>(folders_.size() - 1);
}

std::uint32_t SourceFiles::add(std::uint32_t folder, NativePath name, std::uint64_t size) {
    files_.push_back({folder, std::move(name), size});
    return static_cast<std::uint32_t>(files_.size() - 1);
}

SourceFiles::NativePath SourceFiles::nativePath(std::uint32_t source) const {
    const File& file = files_[source];
    return folders_[file.folder] + file.name;
}

// ----- SourceFileReader -----

bool SourceFileReader::open(const SourceFiles& files, std::uint32_t source) {
    close();
    files_ = &files;
    stream_.clear();
    stream_.rdbuf()->pubsetbuf(nullptr, 0);  // reads go straight into the caller's buffer
    errno = 0;
    const SourceFiles::NativePath path = files.nativePath(source);
    stream_.open(path.c_str(), std::ios::binary);
    if (!stream_.is_open()) {
        failure_ =
            "the file " + files.path(source).string() + " cannot be opened: " + reasonFromErrno();
        return false;
    }
    open_ = source;
    position_ = 0;
    return true;
}

void SourceFileReader::close() {
    if (open_) {
        stream_.close();
        open_.reset();
    }
}

std::optional<std::uint64_t> SourceFileReader::size() {
    stream_.clear();
    stream_.seekg(0, std::ios::end);
    const auto end = stream_.tellg();
    if (!stream_ || end < 0) {
        failure_ = "the file " + files_->path(*open_).string() + " cannot be read";
        return std::nullopt;
    }
    position_ = static_cast<std::uint64_t>(end);
    return position_;
}

std::optional<std::size_t> SourceFileReader::read(std::uint64_t offset, std::span<std::byte> out) {
    if (offset != position_) {
        stream_.clear();
        stream_.seekg(static_cast<std::streamoff>(offset));
        position_ = offset;
    }
    stream_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (stream_.bad()) {
        failure_ = "the file " + files_->path(*open_).string() + " cannot be read";
        return std::nullopt;
    }
    const auto count = static_cast<std::size_t>(stream_.gcount());
    if (stream_.eof()) {
        stream_.clear();
    }
    position_ += count;
    return count;
}

// ----- SourceReader -----

bool SourceReader::fail(std::string why) {
    failure_ = std::move(why);
    file_.close();
    return false;
}

std::span<const std::byte> SourceReader::read(std::uint32_t source, std::uint64_t offset,
                                              std::size_t length) {
    if (source >= files_.count()) {
        fail("file data refer to an unknown source file");
        return {};
    }
    const std::uint64_t size = files_.size(source);
    if (length == 0 || offset > size || length > size - offset) {
        fail("file data lie beyond the end of " + files_.path(source).string());
        return {};
    }
    if (file_.openSource() != source) {
        if (!file_.open(files_, source)) {
            fail(file_.failure());
            return {};
        }
        const auto actual = file_.size();
        if (!actual) {
            fail(file_.failure());
            return {};
        }
        if (*actual != size) {
            fail("the file " + files_.path(source).string() + " changed while the image was built");
            return {};
        }
    }
    if (buffer_ == nullptr) {
        buffer_ = std::make_unique_for_overwrite<std::byte[]>(kBufferBytes);
    }
    const std::size_t want = std::min(length, kBufferBytes);
    const auto got = file_.read(offset, std::span<std::byte>(buffer_.get(), want));
    if (!got) {
        fail(file_.failure());
        return {};
    }
    if (*got != want) {
        fail("the file " + files_.path(source).string() + " changed while the image was built");
        return {};
    }
    return {buffer_.get(), want};
}

// ----- SourceStream -----

SourceStream::SourceStream(const SourceFiles& files, std::size_t consumers)
    : files_(files), slots_(kSlots), attached_(consumers) {
    for (std::size_t i = 0; i < consumers; ++i) {
        consumers_.push_back(std::unique_ptr<Consumer>(new Consumer(*this, files)));
    }
}

bool SourceStream::fill(Slot& slot) {
    if (slot.bytes == nullptr) {
        slot.bytes = std::make_unique_for_overwrite<std::byte[]>(kSlotBytes);
    }
    slot.used = 0;
    slot.pieces.clear();
    while (next_ < files_.count()) {
        const std::uint64_t size = files_.size(next_);
        if (offset_ == size) {
            file_.close();
            ++next_;
            offset_ = 0;
            continue;  // an empty file needs no read
        }
        const std::uint64_t rest = size - offset_;
        const std::size_t room = kSlotBytes - slot.used;
        if (room < std::min<std::uint64_t>(rest, kPieceAlign)) {
            break;  // the slot is full
        }
        if (file_.openSource() != next_ && !file_.open(files_, next_)) {
            failure_ = file_.failure();
            return false;
        }
        const std::size_t want =
            rest <= room ? static_cast<std::size_t>(rest) : room / kPieceAlign * kPieceAlign;
        const auto got =
            file_.read(offset_, std::span<std::byte>(slot.bytes.get() + slot.used, want));
        if (!got) {
            failure_ = file_.failure();
            return false;
        }
        // The size the walk saw is read, no more: a file that has become shorter fails.
        if (*got < want) {
            failure_ =
                "the file " + files_.path(next_).string() + " changed while the image was built";
            return false;
        }
        slot.pieces.push_back({next_, offset_, slot.used, *got});
        slot.used += *got;
        offset_ += *got;
    }
    return true;
}

SourceStream::Slot* SourceStream::waitFor(std::uint64_t sequence,
                                          std::unique_lock<std::mutex>& lock) {
    while (sequence >= published_ && !ended_) {
        Slot& next = slots_[published_ % kSlots];
        if (reading_ || next.pending > 0) {
            // Another consumer fills the next slot, or the ring waits for the one behind.
            changed_.wait(lock);
            continue;
        }
        // This consumer reads the next piece of the files for every consumer.
        reading_ = true;
        lock.unlock();
        bool ok = false;
        try {
            ok = fill(next);
        } catch (const std::exception& e) {
            failure_ = std::string("the source files cannot be read: ") + e.what();
        }
        lock.lock();
        reading_ = false;
        if (!ok || next.pieces.empty()) {
            file_.close();
            ended_ = true;
        } else {
            next.pending = attached_;
            ++published_;
        }
        changed_.notify_all();
    }
    return sequence < published_ ? &slots_[sequence % kSlots] : nullptr;
}

void SourceStream::release(std::uint64_t sequence) {
    Slot& slot = slots_[sequence % kSlots];
    if (slot.pending > 0 && --slot.pending == 0) {
        changed_.notify_all();
    }
}

std::span<const std::byte> SourceStream::Consumer::readDirect(std::uint32_t source,
                                                              std::uint64_t offset,
                                                              std::size_t length) {
    const auto bytes = direct_.read(source, offset, length);
    if (bytes.empty()) {
        failure_ = direct_.failure();
    }
    return bytes;
}

std::span<const std::byte> SourceStream::Consumer::read(std::uint32_t source, std::uint64_t offset,
                                                        std::size_t length) {
    if (lastSource_ != source) {
        lastSource_ = source;
        if (onSource_) {
            onSource_(source);
        }
    }
    if (!attached_ || length == 0) {
        return readDirect(source, offset, length);
    }
    std::unique_lock<std::mutex> lock(stream_.mutex_);
    while (true) {
        Slot* slot = stream_.waitFor(slot_, lock);
        if (slot == nullptr) {
            if (!stream_.failure_.empty()) {
                failure_ = stream_.failure_;
                return {};
            }
            lock.unlock();
            return readDirect(source, offset, length);
        }
        if (piece_ >= slot->pieces.size()) {
            stream_.release(slot_);
            ++slot_;
            piece_ = 0;
            continue;
        }
        const Piece& piece = slot->pieces[piece_];
        if (piece.source < source ||
            (piece.source == source && piece.offset + piece.length <= offset)) {
            ++piece_;  // data this consumer does not need
            continue;
        }
        if (piece.source == source && piece.offset <= offset) {
            const std::uint64_t into = offset - piece.offset;
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(length, piece.length - into));
            return {slot->bytes.get() + piece.at + into, n};
        }
        // The stream has passed the bytes asked for.
        lock.unlock();
        return readDirect(source, offset, length);
    }
}

void SourceStream::Consumer::detach() {
    {
        std::lock_guard<std::mutex> lock(stream_.mutex_);
        if (!attached_) {
            return;
        }
        attached_ = false;
        --stream_.attached_;
        for (std::uint64_t sequence = slot_; sequence < stream_.published_; ++sequence) {
            stream_.release(sequence);
        }
    }
    stream_.changed_.notify_all();
}

}  // namespace corvid
