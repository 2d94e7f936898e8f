#include "records/sha256.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "records/run_record_store.h"

namespace corvid {

namespace {

constexpr std::size_t kReadPiece = 64 * 1024;

// One digest in progress; libcrypto's context, freed when it goes.
class Sha256 {
  public:
    Sha256() : context_(EVP_MD_CTX_new()) {
        if (context_ == nullptr || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
            throw RecordError("SHA-256 cannot be started: OpenSSL's libcrypto refused it.");
        }
    }

    void add(const void* data, std::size_t size) {
        if (EVP_DigestUpdate(context_.get(), data, size) != 1) {
            throw RecordError("SHA-256 cannot take more data: OpenSSL's libcrypto refused it.");
        }
    }

    std::string hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) {
            throw RecordError("SHA-256 cannot be finished: OpenSSL's libcrypto refused it.");
        }
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string text;
        for (unsigned int i = 0; i < length; ++i) {
            text += kDigits[digest[i] >> 4];
            text += kDigits[digest[i] & 0x0F];
        }
        return text;
    }

  private:
    struct FreeContext {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, FreeContext> context_;
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
    const std::unique_ptr<std::FILE, CloseFile> in(std::fopen(file.c_str(), "rb"));
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
