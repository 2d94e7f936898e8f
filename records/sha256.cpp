#include "records/sha256.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "records/run_record_store.h"

namespace corvid {

namespace {

// The digest is taken of firmware files a few hundred kilobytes long, once per run: a plain
// implementation is quick enough, and the programs need not load a cryptography library at start.

constexpr std::size_t kReadPiece = 64 * 1024;
constexpr std::size_t kBlockSize = 64;
constexpr std::size_t kLengthSize = 8;  // the message length in bits, at the end of the last block

constexpr std::array<std::uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::array<std::uint32_t, 8> kInitialState = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::uint32_t rotateRight(std::uint32_t value, int bits) {
    return (value >> bits) | (value << (32 - bits));
}

class Sha256 {
  public:
    void add(const std::uint8_t* data, std::size_t size) {
        length_ += size;
        while (size > 0) {
            const std::size_t taken = std::min(size, kBlockSize - filled_);
            std::memcpy(block_.data() + filled_, data, taken);
            filled_ += taken;
            data += taken;
            size -= taken;
            if (filled_ == kBlockSize) {
                compress();
                filled_ = 0;
            }
        }
    }

    std::string hex() {
        const std::uint64_t bits = length_ * 8;
        const std::uint8_t marker = 0x80;
        add(&marker, 1);
        const std::uint8_t zero = 0;
        while (filled_ != kBlockSize - kLengthSize) {
            add(&zero, 1);
        }
        std::array<std::uint8_t, kLengthSize> length{};
        for (std::size_t i = 0; i < kLengthSize; ++i) {
            length[i] = static_cast<std::uint8_t>(bits >> (8 * (kLengthSize - 1 - i)));
        }
        add(length.data(), length.size());

        static constexpr char kDigits[] = "0123456789abcdef";
        std::string text;
        for (const std::uint32_t word : state_) {
            for (int shift = 28; shift >= 0; shift -= 4) {
                text += kDigits[(word >> shift) & 0x0F];
            }
        }
        return text;
    }

  private:
    void compress() {
        std::array<std::uint32_t, 64> w{};
        for (std::size_t i = 0; i < 16; ++i) {
            w[i] = std::uint32_t{block_[4 * i]} << 24 | std::uint32_t{block_[4 * i + 1]} << 16 |
                   std::uint32_t{block_[4 * i + 2]} << 8 | std::uint32_t{block_[4 * i + 3]};
        }
        for (std::size_t i = 16; i < 64; ++i) {
            const std::uint32_t s0 =
                rotateRight(w[i - 15], 7) ^ rotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 =
                rotateRight(w[i - 2], 17) ^ rotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        auto [a, b, c, d, e, f, g, h] = state_;
        for (std::size_t i = 0; i < 64; ++i) {
            const std::uint32_t s1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
            const std::uint32_t choice = (e & f) ^ (~e & g);
            const std::uint32_t t1 = h + s1 + choice + kRoundConstants[i] + w[i];
            const std::uint32_t s0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
            const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = s0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        const std::array<std::uint32_t, 8> added = {a, b, c, d, e, f, g, h};
        for (std::size_t i = 0; i < state_.size(); ++i) {
            state_[i] += added[i];
        }
    }

    std::array<std::uint32_t, 8> state_ = kInitialState;
    std::array<std::uint8_t, kBlockSize> block_{};
    std::size_t filled_ = 0;
    std::uint64_t length_ = 0;  // bytes added, before the padding
};

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::string sha256OfBytes(std::span<const std::uint8_t> bytes) {
    Sha256 digest;
    digest.add(bytes.data(), bytes.size());
    return digest.hex();
}

std::string sha256OfFile(const std::filesystem::path& file) {
    const std::unique_ptr<std::FILE, CloseFile> in(std::fopen(file.string().c_str(), "rb"));
    if (in == nullptr) {
        throw RecordError("The file " + file.string() +
                          " cannot be read for its SHA-256: " + std::strerror(errno) + ".");
    }
    Sha256 digest;
    std::vector<std::uint8_t> piece(kReadPiece);
    while (const std::size_t got = std::fread(piece.data(), 1, piece.size(), in.get())) {
        digest.add(piece.data(), got);
    }
    if (std::ferror(in.get()) != 0) {
        throw RecordError("The file " + file.string() +
                          " cannot be read for its SHA-256: " + std::strerror(errno) + ".");
    }
    return digest.hex();
}

}  // namespace corvid
