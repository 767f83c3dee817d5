// Block-compressed levels: the codec table, the BC1, BC3, BC4 and BC5 block encoders, and the level driver that cuts
// a level into 4 x 4 blocks and hands each to its encoder (BC7 blocks come from bc7_block.cpp).
#include "image/block_compression.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "base/parallel.h"
#include "image/bc7_block.h"

// ---- The codec table ----

namespace {
struct CodecShape {
    const char* name;
    int32_t width, height, bytes;
};
}  // namespace

// In the order of BlockCodec.
static const CodecShape codecShapes[] = {
    {"bc1", 4, 4, 8},  {"bc3", 4, 4, 16},     {"bc4", 4, 4, 8},      {"bc5", 4, 4, 16},
    {"bc7", 4, 4, 16}, {"astc4x4", 4, 4, 16}, {"astc6x6", 6, 6, 16}, {"astc8x8", 8, 8, 16},
};
constexpr int32_t codecCount = static_cast<int32_t>(sizeof codecShapes / sizeof codecShapes[0]);

static const CodecShape& shapeOf(BlockCodec codec) {
    const int32_t i = static_cast<int32_t>(codec);
    assert(i >= 0 && i < codecCount);
    return codecShapes[i];
}

const char* blockCodecName(BlockCodec codec) { return shapeOf(codec).name; }

bool blockCodecNamed(const std::string& name, BlockCodec& codec) {
    for (int32_t i = 0; i < codecCount; ++i) {
        if (name == codecShapes[i].name) {
            codec = static_cast<BlockCodec>(i);
            return true;
        }
    }
    return false;
}

int32_t blockWidth(BlockCodec codec) { return shapeOf(codec).width; }
int32_t blockHeight(BlockCodec codec) { return shapeOf(codec).height; }
int32_t blockBytes(BlockCodec codec) { return shapeOf(codec).bytes; }

// ---- Shared by the block encoders ----

// One 4 x 4 block as the encoders see it: texels row by row, each with its weight (> 0 for at least one texel).
namespace {
struct BlockInput {
    uint8_t rgba[16][4];
    float weights[16];
};
}  // namespace

static int32_t clampByte(float value) {
    if (!(value > 0.0f)) return 0;
    if (value >= 255.0f) return 255;
    return static_cast<int32_t>(value + 0.5f);
}

static void putLittleEndian(uint8_t* bytes, uint64_t value, int32_t count) {
    for (int32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The endpoints minimising sum_i w_i (x_i - t_i a - (1 - t_i) b)^2 over a and b, for `channels` channels at once
// (t_i, the share of endpoint a in texel i's palette entry, is the same for every channel; values[16 c + i] is
// channel c of texel i): the 2 x 2 normal equations
//   [sum w t^2       sum w t (1-t)] [a]   [sum w t x    ]
//   [sum w t (1-t)   sum w (1-t)^2] [b] = [sum w (1-t) x].
// False when they are singular (every weighted texel on one palette entry), leaving a and b alone.
static bool leastSquaresEndpoints(const float t[16], const float weights[16], const int32_t* values,
                                  int32_t channels, float a[3], float b[3]) {
    double aa = 0, ab = 0, bb = 0, ax[3] = {0, 0, 0}, bx[3] = {0, 0, 0};
    for (int32_t i = 0; i < 16; ++i) {
        const double w = weights[i], s = t[i], u = 1.0 - t[i];
        if (w <= 0) continue;
        aa += w * s * s;
        ab += w * s * u;
        bb += w * u * u;
        for (int32_t c = 0; c < channels; ++c) {
            ax[c] += w * s * values[16 * c + i];
            bx[c] += w * u * values[16 * c + i];
        }
    }
    const double det = aa * bb - ab * ab;
    if (!(det > 1e-6 * aa * bb) || aa <= 0 || bb <= 0) return false;
    for (int32_t c = 0; c < channels; ++c) {
        a[c] = static_cast<float>((bb * ax[c] - ab * bx[c]) / det);
        b[c] = static_cast<float>((aa * bx[c] - ab * ax[c]) / det);
    }
    return true;
}

// Texels of less than a sixteenth of the heaviest weight are light: the encoders also try endpoints from the extent
// of the other texels alone, so that texels that barely count do not stretch the palette.
static float heaviestWeight(const float weights[16]) {
    float heaviest = 0;
    for (int32_t i = 0; i < 16; ++i) heaviest = std::fmax(heaviest, weights[i]);
    return heaviest;
}

// ---- BC1 colour: two RGB 565 endpoints and a 2-bit index per texel ----

static int32_t expand5(int32_t v) { return (v << 3) | (v >> 2); }
static int32_t expand6(int32_t v) { return (v << 2) | (v >> 4); }

// The texel-independent tables of the colour encoder, built once: the 5- and 6-bit values whose expansion is nearest
// each byte, and for the blocks of one colour the endpoint pair whose entry a third of the way, (2 e0 + e1 + 1) div 3,
// comes nearest each byte (among equally near pairs the one whose endpoints lie closest together, so that a block
// only nearly of one colour finds its other entries near it too).
namespace {
struct ColourTables {
    uint8_t nearest5[256], nearest6[256];
    uint8_t single5[256][2], single6[256][2];
};
}  // namespace

static void buildSingleColourTable(int32_t bits, uint8_t table[256][2]) {
    const int32_t top = (1 << bits) - 1;
    for (int32_t v = 0; v < 256; ++v) {
        int32_t bestError = 1 << 30, bestSpread = 1 << 30;
        for (int32_t e0 = 0; e0 <= top; ++e0) {
            for (int32_t e1 = 0; e1 <= top; ++e1) {
                const int32_t x0 = bits == 5 ? expand5(e0) : expand6(e0);
                const int32_t x1 = bits == 5 ? expand5(e1) : expand6(e1);
                const int32_t error = std::abs((2 * x0 + x1 + 1) / 3 - v), spread = std::abs(x0 - x1);
                if (error < bestError || (error == bestError && spread < bestSpread)) {
                    bestError = error;
                    bestSpread = spread;
                    table[v][0] = static_cast<uint8_t>(e0);
                    table[v][1] = static_cast<uint8_t>(e1);
                }
            }
        }
    }
}

static const ColourTables& colourTables() {
    static const ColourTables tables = [] {
        ColourTables t;
        for (int32_t v = 0; v < 256; ++v) {
            int32_t best5 = 0, best6 = 0;
            for (int32_t q = 0; q < 64; ++q) {
                if (q < 32 && std::abs(expand5(q) - v) < std::abs(expand5(best5) - v)) best5 = q;
                if (std::abs(expand6(q) - v) < std::abs(expand6(best6) - v)) best6 = q;
            }
            t.nearest5[v] = static_cast<uint8_t>(best5);
            t.nearest6[v] = static_cast<uint8_t>(best6);
        }
        buildSingleColourTable(5, t.single5);
        buildSingleColourTable(6, t.single6);
        return t;
    }();
    return tables;
}

static uint16_t pack565(int32_t r, int32_t g, int32_t b) { return static_cast<uint16_t>((r << 11) | (g << 5) | b); }

static uint16_t quantise565(const float colour[3]) {
    const ColourTables& tables = colourTables();
    return pack565(tables.nearest5[clampByte(colour[0])], tables.nearest6[clampByte(colour[1])],
                   tables.nearest5[clampByte(colour[2])]);
}

static void unpack565(uint16_t c, int32_t rgb[3]) {
    rgb[0] = expand5(c >> 11);
    rgb[1] = expand6((c >> 5) & 63);
    rgb[2] = expand5(c & 31);
}

// A colour block: endpoints as stored (c0 > c1, the 4-colour mode, or c0 == c1 with every index 0, which decodes to
// c0 in either mode), the indices (texel k in bits 2k, 2k + 1) and the weighted squared error of the block.
namespace {
struct ColourBlock {
    uint16_t c0 = 0, c1 = 0;
    uint32_t indices = 0;
    float error = 0;
};
}  // namespace

// The palette of the 4-colour mode: c0, c1, then the entries a third and two thirds of the way from c0 to c1 on the
// expanded bytes, rounded to nearest: (2 c0 + c1 + 1) div 3 and (c0 + 2 c1 + 1) div 3.
static void colourPalette(uint16_t c0, uint16_t c1, int32_t palette[4][3]) {
    unpack565(c0, palette[0]);
    unpack565(c1, palette[1]);
    for (int32_t c = 0; c < 3; ++c) {
        palette[2][c] = (2 * palette[0][c] + palette[1][c] + 1) / 3;
        palette[3][c] = (palette[0][c] + 2 * palette[1][c] + 1) / 3;
    }
}

// The block of two endpoints (in either order) whose texels each take the nearest palette entry (the first of equally
// near ones). colours[c][i] is channel c of texel i; the loops run over the texels innermost, which vectorises.
static ColourBlock fitColourIndices(uint16_t e0, uint16_t e1, const int32_t colours[3][16], const float weights[16]) {
    ColourBlock block;
    block.c0 = e0 > e1 ? e0 : e1;
    block.c1 = e0 > e1 ? e1 : e0;
    int32_t palette[4][3];
    colourPalette(block.c0, block.c1, palette);
    const int32_t entries = block.c0 == block.c1 ? 1 : 4;
    int32_t nearest[16], distance[16];
    for (int32_t k = 0; k < entries; ++k) {
        for (int32_t i = 0; i < 16; ++i) {
            const int32_t dr = colours[0][i] - palette[k][0], dg = colours[1][i] - palette[k][1],
                          db = colours[2][i] - palette[k][2];
            const int32_t d = dr * dr + dg * dg + db * db;
            const bool closer = k == 0 || d < distance[i];
            distance[i] = closer ? d : distance[i];
            nearest[i] = closer ? k : nearest[i];
        }
    }
    float error = 0;
    for (int32_t i = 0; i < 16; ++i) {
        block.indices |= static_cast<uint32_t>(nearest[i]) << (2 * i);
        error += weights[i] * static_cast<float>(distance[i]);
    }
    block.error = error;
    return block;
}

static void keepBetter(ColourBlock& best, const ColourBlock& candidate) {
    if (candidate.error < best.error) best = candidate;
}

// The principal axis of the weighted colours about their mean, by power iteration on the 3 x 3 covariance; false
// when the colours do not spread (the block is one colour as far as the weights see).
static bool principalAxis(const double covariance[3][3], float axis[3]) {
    int32_t widest = 0;
    for (int32_t c = 1; c < 3; ++c) {
        if (covariance[c][c] > covariance[widest][widest]) widest = c;
    }
    if (!(covariance[widest][widest] > 1e-3)) return false;
    double v[3] = {covariance[0][widest], covariance[1][widest], covariance[2][widest]};
    for (int32_t iteration = 0; iteration < 8; ++iteration) {
        double next[3], largest = 0;
        for (int32_t r = 0; r < 3; ++r) {
            next[r] = covariance[r][0] * v[0] + covariance[r][1] * v[1] + covariance[r][2] * v[2];
            largest = std::fmax(largest, std::fabs(next[r]));
        }
        if (!(largest > 0)) return false;
        for (int32_t r = 0; r < 3; ++r) v[r] = next[r] / largest;
    }
    const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    for (int32_t c = 0; c < 3; ++c) axis[c] = static_cast<float>(v[c] / length);
    return true;
}

// Share of endpoint c0 in each palette entry of the 4-colour mode.
static const float colourShares[4] = {1.0f, 0.0f, 2.0f / 3.0f, 1.0f / 3.0f};

// Encodes the colours of a block: the best of the block's mean as one colour (from the single-colour tables) and the
// endpoints through the weighted principal axis, refined by least squares on the chosen indices and then by moving
// single 565 components of the endpoints one step while that lowers the error.
static ColourBlock encodeColourBlock(const int32_t colours[3][16], const float weights[16]) {
    double total = 0, mean[3] = {0, 0, 0};
    for (int32_t i = 0; i < 16; ++i) {
        total += weights[i];
        for (int32_t c = 0; c < 3; ++c) mean[c] += weights[i] * colours[c][i];
    }
    assert(total > 0);
    for (int32_t c = 0; c < 3; ++c) mean[c] /= total;

    const ColourTables& tables = colourTables();
    int32_t m[3];
    for (int32_t c = 0; c < 3; ++c) m[c] = clampByte(static_cast<float>(mean[c]));
    ColourBlock best = fitColourIndices(
        pack565(tables.single5[m[0]][0], tables.single6[m[1]][0], tables.single5[m[2]][0]),
        pack565(tables.single5[m[0]][1], tables.single6[m[1]][1], tables.single5[m[2]][1]), colours, weights);
    if (best.error == 0) return best;

    double covariance[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    for (int32_t i = 0; i < 16; ++i) {
        const double d[3] = {colours[0][i] - mean[0], colours[1][i] - mean[1], colours[2][i] - mean[2]};
        for (int32_t r = 0; r < 3; ++r) {
            for (int32_t c = r; c < 3; ++c) covariance[r][c] += weights[i] * d[r] * d[c];
        }
    }
    for (int32_t r = 0; r < 3; ++r) {
        for (int32_t c = r; c < 3; ++c) covariance[r][c] /= total;
        for (int32_t c = 0; c < r; ++c) covariance[r][c] = covariance[c][r];
    }
    float axis[3];
    if (!principalAxis(covariance, axis)) return best;

    // The extent along the axis of the weighted texels, and of the heavy ones alone, gives the first endpoints.
    const float heavy = heaviestWeight(weights) / 16;
    float lowest[2] = {0, 0}, highest[2] = {0, 0};
    for (int32_t i = 0; i < 16; ++i) {
        if (weights[i] <= 0) continue;
        float along = 0;
        for (int32_t c = 0; c < 3; ++c) along += axis[c] * static_cast<float>(colours[c][i] - mean[c]);
        for (int32_t set = 0; set < (weights[i] >= heavy ? 2 : 1); ++set) {
            lowest[set] = std::fmin(lowest[set], along);
            highest[set] = std::fmax(highest[set], along);
        }
    }
    float a[3], b[3];
    ColourBlock current;
    for (int32_t set = 0; set < 2; ++set) {
        if (set == 1 && lowest[1] == lowest[0] && highest[1] == highest[0]) break;
        for (int32_t c = 0; c < 3; ++c) {
            a[c] = static_cast<float>(mean[c]) + highest[set] * axis[c];
            b[c] = static_cast<float>(mean[c]) + lowest[set] * axis[c];
        }
        const ColourBlock start = fitColourIndices(quantise565(a), quantise565(b), colours, weights);
        if (set == 0 || start.error < current.error) current = start;
    }
    keepBetter(best, current);

    // Least squares on the indices just chosen, then the indices again.
    for (int32_t iteration = 0; iteration < 3; ++iteration) {
        float t[16];
        for (int32_t i = 0; i < 16; ++i) t[i] = colourShares[(current.indices >> (2 * i)) & 3];
        if (current.c0 == current.c1 || !leastSquaresEndpoints(t, weights, colours[0], 3, a, b)) break;
        const ColourBlock next = fitColourIndices(quantise565(a), quantise565(b), colours, weights);
        if (next.c0 == current.c0 && next.c1 == current.c1) break;
        current = next;
        keepBetter(best, current);
    }

    // One step of one component of one endpoint at a time, as long as a step lowers the error (a few rounds do).
    static const int32_t fieldShift[3] = {11, 5, 0}, fieldTop[3] = {31, 63, 31};
    for (int32_t round = 0; round < 32 && best.error > 0; ++round) {
        const ColourBlock start = best;
        for (int32_t endpoint = 0; endpoint < 2; ++endpoint) {
            for (int32_t c = 0; c < 3; ++c) {
                for (int32_t step = -1; step <= 1; step += 2) {
                    uint16_t e[2] = {best.c0, best.c1};
                    const int32_t field = (e[endpoint] >> fieldShift[c]) & fieldTop[c];
                    if (field + step < 0 || field + step > fieldTop[c]) continue;
                    e[endpoint] = static_cast<uint16_t>(e[endpoint] + step * (1 << fieldShift[c]));
                    keepBetter(best, fitColourIndices(e[0], e[1], colours, weights));
                }
            }
        }
        if (best.c0 == start.c0 && best.c1 == start.c1) break;
    }
    return best;
}

// Writes a colour block's 8 bytes and the colours its texels decode to (alpha left alone).
static void storeColourBlock(const ColourBlock& block, uint8_t bytes[8], uint8_t decoded[16][4]) {
    putLittleEndian(bytes, block.c0, 2);
    putLittleEndian(bytes + 2, block.c1, 2);
    putLittleEndian(bytes + 4, block.indices, 4);
    int32_t palette[4][3];
    colourPalette(block.c0, block.c1, palette);
    for (int32_t i = 0; i < 16; ++i) {
        const int32_t k = (block.indices >> (2 * i)) & 3;
        for (int32_t c = 0; c < 3; ++c) decoded[i][c] = static_cast<uint8_t>(palette[k][c]);
    }
}

// ---- BC4: one channel, two byte endpoints and a 3-bit index per texel ----

// A value block: endpoints as stored (r0 > r1 selects eight values, r0 <= r1 six values plus 0 and 255), indices
// (texel k in bits 3k .. 3k + 2) and the weighted squared error.
namespace {
struct ValueBlock {
    int32_t r0 = 0, r1 = 0;
    uint64_t indices = 0;
    float error = 0;
};
}  // namespace

// The palette of the endpoints, interpolated on bytes and rounded to nearest: eight values
// ((7 - k) r0 + k r1 + 3) div 7, k = 1 .. 6, at indices 2 .. 7, or six values ((5 - k) r0 + k r1 + 2) div 5, k = 1 .. 4,
// at indices 2 .. 5, then 0 and 255.
static void valuePalette(int32_t r0, int32_t r1, int32_t palette[8]) {
    palette[0] = r0;
    palette[1] = r1;
    if (r0 > r1) {
        for (int32_t k = 1; k <= 6; ++k) palette[k + 1] = ((7 - k) * r0 + k * r1 + 3) / 7;
    } else {
        for (int32_t k = 1; k <= 4; ++k) palette[k + 1] = ((5 - k) * r0 + k * r1 + 2) / 5;
        palette[6] = 0;
        palette[7] = 255;
    }
}

// The block of two endpoints whose texels each take the nearest palette entry (the first of equally near ones).
static ValueBlock fitValueIndices(int32_t r0, int32_t r1, const int32_t values[16], const float weights[16]) {
    ValueBlock block;
    block.r0 = r0;
    block.r1 = r1;
    int32_t palette[8];
    valuePalette(r0, r1, palette);
    int32_t nearest[16], distance[16];
    for (int32_t k = 0; k < 8; ++k) {
        for (int32_t i = 0; i < 16; ++i) {
            const int32_t d = std::abs(values[i] - palette[k]);
            const bool closer = k == 0 || d < distance[i];
            distance[i] = closer ? d : distance[i];
            nearest[i] = closer ? k : nearest[i];
        }
    }
    float error = 0;
    for (int32_t i = 0; i < 16; ++i) {
        block.indices |= static_cast<uint64_t>(nearest[i]) << (3 * i);
        error += weights[i] * static_cast<float>(distance[i] * distance[i]);
    }
    block.error = error;
    return block;
}

static void keepBetter(ValueBlock& best, const ValueBlock& candidate) {
    if (candidate.error < best.error) best = candidate;
}

// Share of endpoint r0 in each palette entry, in the eight-value mode and in the six-value mode (the entries 0 and
// 255 are no mix of the endpoints: share -1 leaves their texels out of the least squares).
static const float eightValueShares[8] = {1.0f, 0.0f, 6 / 7.0f, 5 / 7.0f, 4 / 7.0f, 3 / 7.0f, 2 / 7.0f, 1 / 7.0f};
static const float sixValueShares[8] = {1.0f, 0.0f, 4 / 5.0f, 3 / 5.0f, 2 / 5.0f, 1 / 5.0f, -1.0f, -1.0f};

// Refines a block of one mode: least squares on its indices, then single endpoint steps while they lower the error.
// Every candidate keeps the block's mode (eight values: r0 > r1; six: r0 <= r1).
static ValueBlock refineValueBlock(ValueBlock best, const int32_t values[16], const float weights[16]) {
    const bool eight = best.r0 > best.r1;
    const float* shares = eight ? eightValueShares : sixValueShares;
    for (int32_t iteration = 0; iteration < 2 && best.error > 0; ++iteration) {
        float t[16], w[16];
        for (int32_t i = 0; i < 16; ++i) {
            t[i] = shares[(best.indices >> (3 * i)) & 7];
            w[i] = t[i] < 0 ? 0.0f : weights[i];
        }
        float a[3], b[3];
        if (!leastSquaresEndpoints(t, w, values, 1, a, b)) break;
        int32_t r0 = clampByte(a[0]), r1 = clampByte(b[0]);
        if (eight) {
            if (r0 < r1) std::swap(r0, r1);
            if (r0 == r1) {
                if (r0 < 255) ++r0;
                else --r1;
            }
        } else if (r0 > r1) {
            std::swap(r0, r1);
        }
        if (r0 == best.r0 && r1 == best.r1) break;
        const ValueBlock next = fitValueIndices(r0, r1, values, weights);
        if (!(next.error < best.error)) break;
        best = next;
    }
    for (int32_t round = 0; round < 32 && best.error > 0; ++round) {
        const ValueBlock start = best;
        for (int32_t move = 0; move < 4; ++move) {
            int32_t r0 = start.r0, r1 = start.r1;
            (move < 2 ? r0 : r1) += move % 2 ? 1 : -1;
            if (r0 < 0 || r0 > 255 || r1 < 0 || r1 > 255 || (eight ? r0 <= r1 : r0 > r1)) continue;
            keepBetter(best, fitValueIndices(r0, r1, values, weights));
        }
        if (best.r0 == start.r0 && best.r1 == start.r1) break;
    }
    return best;
}

// The best block whose endpoints put the values `lo` and `hi` on palette entries `span` steps apart, `lo` `below`
// steps above the low endpoint, over every span and offset that fit: values on a few evenly spaced levels are served
// best by a palette wider than their range. `steps` is 7 (the eight-value mode, r0 the high endpoint) or 5 (the
// six-value mode, r0 the low one); endpoints past 0 or 255 are clamped.
static ValueBlock bestLatticeBlock(int32_t lo, int32_t hi, int32_t steps, const int32_t values[16],
                                   const float weights[16]) {
    ValueBlock best;
    best.error = INFINITY;
    for (int32_t span = 1; span <= steps; ++span) {
        const float step = static_cast<float>(hi - lo) / static_cast<float>(span);
        for (int32_t below = 0; below + span <= steps; ++below) {
            const int32_t bottom = clampByte(static_cast<float>(lo) - static_cast<float>(below) * step);
            const int32_t top = clampByte(static_cast<float>(lo) + static_cast<float>(steps - below) * step);
            if (steps == 7 && top > bottom) keepBetter(best, fitValueIndices(top, bottom, values, weights));
            if (steps == 5) keepBetter(best, fitValueIndices(bottom, top, values, weights));
        }
    }
    return best;
}

// Encodes one channel of a block: the eight-value mode from the weighted values' extremes and from the best lattice
// through them, and the six-value mode from the best lattice through the extremes of the values strictly between 0
// and 255 or from those values' next one or two in from either end (blocks whose outliers the fixed 0 and 255 serve
// better); each refined, the best kept.
static ValueBlock encodeValueBlock(const int32_t values[16], const float weights[16]) {
    // The extremes of the weighted values, and of the heavy ones alone.
    const float heavy = heaviestWeight(weights) / 16;
    int32_t lowest = 255, highest = 0, heavyLowest = 255, heavyHighest = 0;
    for (int32_t i = 0; i < 16; ++i) {
        if (weights[i] <= 0) continue;
        lowest = std::min(lowest, values[i]);
        highest = std::max(highest, values[i]);
        if (weights[i] < heavy) continue;
        heavyLowest = std::min(heavyLowest, values[i]);
        heavyHighest = std::max(heavyHighest, values[i]);
    }
    if (lowest >= highest) return fitValueIndices(lowest, lowest, values, weights);  // one value: six-value mode, exact
    ValueBlock best = fitValueIndices(highest, lowest, values, weights);
    if (heavyLowest >= heavyHighest) {
        keepBetter(best, fitValueIndices(heavyLowest, heavyLowest, values, weights));
    } else if (heavyLowest != lowest || heavyHighest != highest) {
        keepBetter(best, fitValueIndices(heavyHighest, heavyLowest, values, weights));
    }
    best = refineValueBlock(best, values, weights);
    if (best.error == 0) return best;
    ValueBlock lattice = bestLatticeBlock(lowest, highest, 7, values, weights);
    if (heavyLowest < heavyHighest && (heavyLowest != lowest || heavyHighest != highest)) {
        keepBetter(lattice, bestLatticeBlock(heavyLowest, heavyHighest, 7, values, weights));
    }
    keepBetter(best, refineValueBlock(lattice, values, weights));

    // The three smallest and three largest distinct inner values, as candidate endpoints.
    int32_t low[3] = {256, 256, 256}, high[3] = {-1, -1, -1};
    for (int32_t i = 0; i < 16; ++i) {
        const int32_t v = values[i];
        if (weights[i] <= 0 || v == 0 || v == 255) continue;
        if (v < low[2] && v != low[0] && v != low[1]) {
            low[2] = v;
            if (low[2] < low[1]) std::swap(low[1], low[2]);
            if (low[1] < low[0]) std::swap(low[0], low[1]);
        }
        if (v > high[2] && v != high[0] && v != high[1]) {
            high[2] = v;
            if (high[2] > high[1]) std::swap(high[1], high[2]);
            if (high[1] > high[0]) std::swap(high[0], high[1]);
        }
    }
    if (low[0] > 255) {  // every weighted value is 0 or 255
        keepBetter(best, fitValueIndices(0, 255, values, weights));
        return best;
    }
    ValueBlock six = bestLatticeBlock(low[0], high[0], 5, values, weights);
    for (int32_t l = 0; l < 3 && low[l] <= 255; ++l) {
        for (int32_t h = 0; h < 3 && high[h] >= 0; ++h) {
            if (low[l] <= high[h]) keepBetter(six, fitValueIndices(low[l], high[h], values, weights));
        }
    }
    keepBetter(best, refineValueBlock(six, values, weights));
    return best;
}

// Writes a value block's 8 bytes and the values its texels decode to, into channel `channel` of `decoded`.
static void storeValueBlock(const ValueBlock& block, uint8_t bytes[8], uint8_t decoded[16][4], int32_t channel) {
    bytes[0] = static_cast<uint8_t>(block.r0);
    bytes[1] = static_cast<uint8_t>(block.r1);
    putLittleEndian(bytes + 2, block.indices, 6);
    int32_t palette[8];
    valuePalette(block.r0, block.r1, palette);
    for (int32_t i = 0; i < 16; ++i) decoded[i][channel] = static_cast<uint8_t>(palette[(block.indices >> (3 * i)) & 7]);
}

static void encodeChannel(const BlockInput& input, int32_t channel, uint8_t bytes[8], uint8_t decoded[16][4]) {
    int32_t values[16];
    for (int32_t i = 0; i < 16; ++i) values[i] = input.rgba[i][channel];
    storeValueBlock(encodeValueBlock(values, input.weights), bytes, decoded, channel);
}

static void encodeColour(const BlockInput& input, uint8_t bytes[8], uint8_t decoded[16][4]) {
    int32_t colours[3][16];
    for (int32_t i = 0; i < 16; ++i) {
        for (int32_t c = 0; c < 3; ++c) colours[c][i] = input.rgba[i][c];
    }
    storeColourBlock(encodeColourBlock(colours, input.weights), bytes, decoded);
}

// One block of a BC codec into `bytes` (blockBytes(codec) of them), and the RGBA texels a sampler returns for it.
static void encodeBlock(const BlockInput& input, BlockCodec codec, uint8_t* bytes, uint8_t decoded[16][4]) {
    for (int32_t i = 0; i < 16; ++i) {
        decoded[i][0] = decoded[i][1] = decoded[i][2] = 0;
        decoded[i][3] = 255;
    }
    switch (codec) {
    case BlockCodec::bc1:
        encodeColour(input, bytes, decoded);
        break;
    case BlockCodec::bc3:
        encodeChannel(input, 3, bytes, decoded);  // alpha first, then the colours (always read as four colours)
        encodeColour(input, bytes + 8, decoded);
        break;
    case BlockCodec::bc4:
        encodeChannel(input, 0, bytes, decoded);
        break;
    case BlockCodec::bc5:
        encodeChannel(input, 0, bytes, decoded);
        encodeChannel(input, 1, bytes + 8, decoded);
        break;
    case BlockCodec::bc7:
        encodeBc7Block(input.rgba, input.weights, bytes, decoded);
        break;
    default:
        assert(!"compressBcLevel takes the BC codecs only");
        std::memset(bytes, 0, static_cast<size_t>(blockBytes(codec)));
    }
}

// ---- The level driver ----

void compressBcLevel(const EncodedLevel& level, const TexelWeights& weights, BlockCodec codec, CompressedLevel& out) {
    const int32_t width = level.width, height = level.height;
    assert(level.rgba.count == int64_t{width} * height * 4);
    assert(weights.count == 0 || weights.count == int64_t{width} * height);
    const int32_t blocksAcross = (width + 3) / 4, blocksDown = (height + 3) / 4, bytesPerBlock = blockBytes(codec);
    out.width = width;
    out.height = height;
    clear(out.blocks);
    resize(out.blocks, blocksAcross * blocksDown * bytesPerBlock);
    out.decoded.width = width;
    out.decoded.height = height;
    clear(out.decoded.rgba);
    resize(out.decoded.rgba, width * height * 4);
    if (width <= 0 || height <= 0) return;

    const uint8_t* texels = level.rgba.items;
    uint8_t* decodedTexels = out.decoded.rgba.items;
    uint8_t* blocks = out.blocks.items;
#pragma omp parallel for schedule(dynamic) if (worthThreads(int64_t{width} * height))
    for (int32_t blockRow = 0; blockRow < blocksDown; ++blockRow) {
        for (int32_t blockColumn = 0; blockColumn < blocksAcross; ++blockColumn) {
            // Texels past the level's edge repeat the last row or column inside it, with weight 0.
            BlockInput input;
            float total = 0;
            for (int32_t i = 0; i < 16; ++i) {
                const int32_t x = blockColumn * 4 + i % 4, y = blockRow * 4 + i / 4;
                const int32_t k = std::min(y, height - 1) * width + std::min(x, width - 1);
                std::memcpy(input.rgba[i], texels + 4 * int64_t{k}, 4);
                const float w = weights.count == 0 ? 1.0f : weights.items[k];
                input.weights[i] = x < width && y < height && w > 0 ? w : 0.0f;  // NaN weighs nothing too
                total += input.weights[i];
            }
            // A block no weighted texel reaches may decode to anything; it gets its texels inside the level alike.
            if (!(total > 0)) {
                for (int32_t i = 0; i < 16; ++i) {
                    input.weights[i] = blockColumn * 4 + i % 4 < width && blockRow * 4 + i / 4 < height ? 1.0f : 0.0f;
                }
            }
            uint8_t decoded[16][4];
            encodeBlock(input, codec, blocks + (int64_t{blockRow} * blocksAcross + blockColumn) * bytesPerBlock,
                        decoded);
            for (int32_t i = 0; i < 16; ++i) {
                const int32_t x = blockColumn * 4 + i % 4, y = blockRow * 4 + i / 4;
                if (x < width && y < height) std::memcpy(decodedTexels + 4 * (int64_t{y} * width + x), decoded[i], 4);
            }
        }
    }
}

TexelWeights encoderWeights(const LevelWeights& surface, int32_t width, int32_t height, float floor) {
    TexelWeights weights;
    if (surface.count != width * height) return weights;
    double sum = 0;
    int32_t read = 0;
    for (float w : surface) {
        if (w > 0) sum += w, ++read;
    }
    if (read == 0) return weights;
    const double scale = read / sum;
    resize(weights, surface.count);
    for (int32_t y = 0; y < height; ++y) {
        const float* row = surface.items + static_cast<int64_t>(height - 1 - y) * width;
        float* out = weights.items + static_cast<int64_t>(y) * width;
        for (int32_t x = 0; x < width; ++x) out[x] = std::max(floor, static_cast<float>(row[x] > 0 ? row[x] * scale : 0.0));
    }
    return weights;
}
