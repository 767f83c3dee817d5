// SHA-256 against the examples of FIPS 180-4 (and its long-message test), and against coreutils' sha256sum around
// the padding's block boundaries and for files.
#include <gtest/gtest.h>

#include <string>

#include "base/sha256.h"
#include "test_support.h"

// The standard's examples: one block, two blocks (the 448-bit message whose padding needs a second block), the
// 896-bit message, the empty message and a million 'a's fed in uneven pieces.
TEST(Sha256, TheStandardsExamples) {
    const struct {
        std::string message;
        const char* digest;
    } examples[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    };
    for (const auto& example : examples) {
        EXPECT_EQ(sha256Hex(example.message.data(), example.message.size()), example.digest) << example.message;
    }
    Sha256 hash;
    const std::string a(1000000, 'a');
    for (size_t at = 0, piece = 1; at < a.size(); at += piece, piece = piece % 97 + 1) {
        updateSha256(hash, a.data() + at, std::min(piece, a.size() - at));
    }
    EXPECT_EQ(finishSha256(hash), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Messages of every length from 0 to 130 bytes (each side of the 55/56- and 64-byte boundaries, twice), read from
// files, give sha256sum's digest and their size.
TEST(Sha256, FilesOfEveryLengthAroundTheBlockBoundariesMatchSha256sum) {
    TempDir dir;
    const std::vector<unsigned char> bytes = randomBytes(130, 7);
    std::string command = "cd '" + dir.path + "' && sha256sum";
    for (size_t length = 0; length <= bytes.size(); ++length) {
        writeTextFile(dir.file(std::to_string(length)), std::string(bytes.begin(), bytes.begin() + length));
        command += " " + std::to_string(length);
    }
    const std::vector<std::string> lines = outputLines(shellOutput(command));
    ASSERT_EQ(lines.size(), bytes.size() + 1);
    for (size_t length = 0; length <= bytes.size(); ++length) {
        std::string digest, error;
        int64_t size = -1;
        ASSERT_TRUE(sha256OfFile(dir.file(std::to_string(length)), digest, size, error)) << error;
        EXPECT_EQ(size, static_cast<int64_t>(length));
        EXPECT_EQ(digest, lines[length].substr(0, 64)) << length;
    }
    std::string digest, error;
    int64_t size = 0;
    EXPECT_FALSE(sha256OfFile(dir.file("absent"), digest, size, error));
    EXPECT_EQ(error, dir.file("absent") + ": No such file or directory");
}
