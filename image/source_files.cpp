#include "image/source_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/binary_file.h"

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
    NativePath out;
    nativePath(source, out);
    return out;
}

void SourceFiles::nativePath(std::uint32_t source, NativePath& out) const {
    const File& file = files_[source];
    out.assign(folders_[file.folder]);
    out.append(file.name);
}

// ----- SourceFileReader -----

bool SourceFileReader::open(const SourceFiles& files, std::uint32_t source) {
    close();
    files_ = &files;
    files.nativePath(source, path_);
    errno = 0;
    file_ = openBinaryFile(path_.c_str());
    if (file_ == nullptr) {
        failure_ =
            "the file " + files.path(source).string() + " cannot be opened: " + reasonFromErrno();
        return false;
    }
    std::setvbuf(file_, nullptr, _IONBF, 0);  // reads go straight into the caller's buffer
    open_ = source;
    position_ = 0;
    return true;
}

void SourceFileReader::close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    open_.reset();
}

bool SourceFileReader::seek(std::uint64_t offset, int origin) {
    return seekBinaryFile(file_, offset, origin);
}

std::optional<std::uint64_t> SourceFileReader::size() {
    if (!seek(0, SEEK_END)) {
        failure_ = "the file " + files_->path(*open_).string() + " cannot be read";
        return std::nullopt;
    }
    const std::optional<std::uint64_t> end = binaryFilePosition(file_);
    if (!end) {
        failure_ = "the file " + files_->path(*open_).string() + " cannot be read";
        return std::nullopt;
    }
    position_ = *end;
    return position_;
}

std::optional<std::size_t> SourceFileReader::read(std::uint64_t offset, std::span<std::byte> out) {
    if (offset != position_) {
        if (!seek(offset, SEEK_SET)) {
            failure_ = "the file " + files_->path(*open_).string() + " cannot be read";
            return std::nullopt;
        }
        position_ = offset;
    }
    const std::size_t count = std::fread(out.data(), 1, out.size(), file_);
    if (std::ferror(file_) != 0) {
        failure_ = "the file " + files_->path(*open_).string() + " cannot be read";
        return std::nullopt;
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

bool SourceStream::cut(Slot& slot) {
    slot.pieces.clear();
    std::size_t used = 0;
    while (nextSource_ < files_.count()) {
        const std::uint64_t rest = files_.size(nextSource_) - nextOffset_;
        if (rest == 0) {
            ++nextSource_;  // an empty file needs no read
            nextOffset_ = 0;
            continue;
        }
        const std::size_t room = kSlotBytes - used;
        if (room < std::min<std::uint64_t>(rest, kPieceAlign)) {
            break;  // the slot is full
        }
        const std::size_t length =
            rest <= room ? static_cast<std::size_t>(rest) : room / kPieceAlign * kPieceAlign;
        slot.pieces.push_back({nextSource_, nextOffset_, used, length});
        used += length;
        nextOffset_ += length;
    }
    return !slot.pieces.empty();
}

Result SourceStream::read(Slot& slot, SourceFileReader& file) {
    if (slot.bytes == nullptr) {
        slot.bytes = std::make_unique_for_overwrite<std::byte[]>(kSlotBytes);
    }
    for (const Piece& piece : slot.pieces) {
        if (file.openSource() != piece.source && !file.open(files_, piece.source)) {
            return Result::failure(file.failure());
        }
        const auto got = file.read(piece.offset,
                                   std::span<std::byte>(slot.bytes.get() + piece.at, piece.length));
        if (!got) {
            return Result::failure(file.failure());
        }
        // The size the walk saw is read, no more: a file that has become shorter fails.
        if (*got < piece.length) {
            return Result::failure("the file " + files_.path(piece.source).string() +
                                   " changed while the image was built");
        }
        if (piece.offset + piece.length == files_.size(piece.source)) {
            file.close();
        }
    }
    return Result::success();
}

SourceStream::Slot* SourceStream::waitFor(Consumer& consumer, std::uint64_t sequence,
                                          std::unique_lock<std::mutex>& lock) {
    while (true) {
        Slot& wanted = slots_[sequence % kSlots];
        if (wanted.state == SlotState::Ready && wanted.sequence == sequence) {
            return &wanted;
        }
        if (!failure_.empty() || (allCut_ && sequence >= cutSlots_)) {
            return nullptr;  // no such slot is coming
        }
        // Read the next slot while the one wanted is still being read by another consumer: the
        // consumers read side by side.
        Slot& next = slots_[cutSlots_ % kSlots];
        if (!allCut_ && next.state == SlotState::Free) {
            if (!cut(next)) {
                allCut_ = true;
                changed_.notify_all();
                continue;
            }
            next.sequence = cutSlots_++;
            next.state = SlotState::Reading;
            lock.unlock();
            Result outcome = Result::failure({});
            try {
                outcome = read(next, consumer.file_);
            } catch (const std::exception& e) {
                outcome.reason = std::string("the source files cannot be read: ") + e.what();
            }
            lock.lock();
            if (!outcome) {
                failure_ = outcome.reason;
            } else {
                next.pending = attached_;
                next.state = attached_ > 0 ? SlotState::Ready : SlotState::Free;
            }
            changed_.notify_all();
            continue;
        }
        changed_.wait(lock);
    }
}

void SourceStream::release(std::uint64_t sequence) {
    Slot& slot = slots_[sequence % kSlots];
    if (slot.state == SlotState::Ready && slot.sequence == sequence && slot.pending > 0 &&
        --slot.pending == 0) {
        slot.state = SlotState::Free;
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
        Slot* slot = stream_.waitFor(*this, slot_, lock);
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
        for (std::uint64_t sequence = slot_; sequence < stream_.cutSlots_; ++sequence) {
            stream_.release(sequence);
        }
    }
    stream_.changed_.notify_all();
}

}  // namespace corvid
