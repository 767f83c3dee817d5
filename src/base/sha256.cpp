// SHA-256 as FIPS 180-4 section 6.2 defines it: 64 rounds per 512-bit block over eight 32-bit words.
#include "base/sha256.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes (section 4.2.2).
static const uint32_t roundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

Sha256::Sha256() {
    // The first 32 bits of the fractional parts of the square roots of the first 8 primes (section 5.3.3).
    static const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(state, initial, sizeof state);
    std::memset(block, 0, sizeof block);
}

static inline uint32_t rotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// One block into the state: the message schedule W_0..W_63 (words big-endian), then the 64 rounds.
static void compress(uint32_t state[8], const uint8_t* bytes) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) {
        w[t] = uint32_t{bytes[4 * t]} << 24 | uint32_t{bytes[4 * t + 1]} << 16 | uint32_t{bytes[4 * t + 2]} << 8 |
               uint32_t{bytes[4 * t + 3]};
    }
    for (int t = 16; t < 64; ++t) {
        const uint32_t s0 = rotateRight(w[t - 15], 7) ^ rotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const uint32_t s1 = rotateRight(w[t - 2], 17) ^ rotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
        const uint32_t sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
        const uint32_t choose = (e & f) ^ (~e & g);
        const uint32_t t1 = h + sum1 + choose + roundConstants[t] + w[t];
        const uint32_t sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t t2 = sum0 + majority;
        h = g, g = f, f = e, e = d + t1;
        d = c, c = b, b = a, a = t1 + t2;
    }
    state[0] += a, state[1] += b, state[2] += c, state[3] += d;
    state[4] += e, state[5] += f, state[6] += g, state[7] += h;
}

void updateSha256(Sha256& hash, const void* bytes, size_t size) {
    const uint8_t* in = static_cast<const uint8_t*>(bytes);
    size_t filled = hash.length % 64;
    hash.length += size;
    if (filled > 0) {
        const size_t take = size < 64 - filled ? size : 64 - filled;
        std::memcpy(hash.block + filled, in, take);
        in += take, size -= take, filled += take;
        if (filled < 64) return;
        compress(hash.state, hash.block);
    }
    for (; size >= 64; in += 64, size -= 64) compress(hash.state, in);
    std::memcpy(hash.block, in, size);
}

std::string finishSha256(Sha256& hash) {
    // The padding (section 5.1.1): a 1 bit, zeros up to 56 bytes into a block, then the message's length in bits as
    // a 64-bit big-endian number.
    const uint64_t bits = hash.length * 8;
    const uint8_t one = 0x80, zero = 0;
    updateSha256(hash, &one, 1);
    while (hash.length % 64 != 56) updateSha256(hash, &zero, 1);
    uint8_t length[8];
    for (int k = 0; k < 8; ++k) length[k] = static_cast<uint8_t>(bits >> (56 - 8 * k));
    updateSha256(hash, length, 8);
    static const char digits[] = "0123456789abcdef";
    std::string hex(64, '0');
    for (int k = 0; k < 32; ++k) {
        const uint32_t byte = hash.state[k / 4] >> (24 - 8 * (k % 4)) & 0xff;
        hex[2 * k] = digits[byte >> 4];
        hex[2 * k + 1] = digits[byte & 0xf];
    }
    return hex;
}

std::string sha256Hex(const void* bytes, size_t size) {
    Sha256 hash;
    updateSha256(hash, bytes, size);
    return finishSha256(hash);
}

bool sha256OfFile(const std::string& path, std::string& digest, int64_t& size, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    Sha256 hash;
    size = 0;
    static thread_local uint8_t buffer[1 << 16];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        updateSha256(hash, buffer, got);
        size += static_cast<int64_t>(got);
    }
    const bool failed = std::ferror(file) != 0;
    const int reason = errno;
    std::fclose(file);
    if (failed) {
        error = path + ": " + std::strerror(reason != 0 ? reason : EIO);
        return false;
    }
    digest = finishSha256(hash);
    return true;
}
