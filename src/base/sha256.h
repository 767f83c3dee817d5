// SHA-256 (FIPS 180-4) of byte strings and files, for the manifest's record of every file a run writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A hash in progress: feed it bytes in any pieces, then read the digest once.
struct Sha256 {
    uint32_t state[8];
    uint8_t block[64];    // the bytes of the block not yet compressed
    uint64_t length = 0;  // bytes fed so far
    Sha256();
};

// Appends `size` bytes to the message.
void updateSha256(Sha256& hash, const void* bytes, size_t size);
// The 32-byte digest of everything fed so far, as 64 lower-case hexadecimal digits. Ends the hash: feeding it
// afterwards is an error.
std::string finishSha256(Sha256& hash);

// The digest of one byte string.
std::string sha256Hex(const void* bytes, size_t size);

// The digest and size of the file at `path`, read through to its end. False with "<path>: <reason>" when it cannot be
// opened or read.
bool sha256OfFile(const std::string& path, std::string& digest, int64_t& size, std::string& error);
