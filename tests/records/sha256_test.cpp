// SHA-256 of bytes and of files, against the published test vectors and coreutils' sha256sum.
#include "records/sha256.h"

#include <gtest/gtest.h>

#include <fstream>

#include "records/run_record_store.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

std::string digestOf(const std::string& text) {
    return sha256OfBytes(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

struct Vector {
    const char* what;
    std::string message;
    const char* digest;
};

const Vector kVectors[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnop"
     "q"
     "rsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"a million a", std::string(1'000'000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(Sha256Test, BytesGiveThePublishedDigests) {
    for (const Vector& v : kVectors) {
        EXPECT_EQ(digestOf(v.message), v.digest) << v.what;
    }
}

class Sha256FileTest : public test::TempDirTest {};

TEST_F(Sha256FileTest, AFileGivesTheDigestOfItsBytesWhateverItsSize) {
    // Sizes around the pieces the file is read in, and the vectors as files.
    std::vector<std::string> contents;
    for (const std::size_t size : {std::size_t{65535}, std::size_t{65536}, std::size_t{65537},
                                   std::size_t{3 * 65536 + 17}}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
        }
        contents.push_back(bytes);
    }
    for (const Vector& v : kVectors) {
        contents.push_back(v.message);
    }
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const auto file = dir_ / ("file" + std::to_string(i));
        std::ofstream(file, std::ios::binary) << contents[i];
        const std::string ours = sha256OfFile(file);
        EXPECT_EQ(ours, digestOf(contents[i])) << contents[i].size() << " bytes";
        const auto theirs = test::runProgram({"sha256sum", file.string()});
        EXPECT_EQ(theirs.output, ours + "  " + file.string() + "\n");
    }
}

TEST_F(Sha256FileTest, AFileThatCannotBeReadIsNamed) {
    const auto missing = dir_ / "FIRMWARE.BIN";
    EXPECT_THROW(
        {
            try {
                sha256OfFile(missing);
            } catch (const RecordError& e) {
                EXPECT_STREQ(e.what(), ("The file " + missing.string() +
                                        " cannot be read for its SHA-256: No such file or "
                                        "directory.")
                                           .c_str());
                throw;
            }
        },
        RecordError);
    EXPECT_THROW(
        {
            try {
                sha256OfFile(dir_);
            } catch (const RecordError& e) {
                EXPECT_STREQ(e.what(), ("The file " + dir_.string() +
                                        " cannot be read for its SHA-256: Is a directory.")
                                           .c_str());
                throw;
            }
        },
        RecordError);
}

}  // namespace
}  // namespace corvid
