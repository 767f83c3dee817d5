// One BC7 block from 16 weighted RGBA texels. Each mode that may pay is fitted: a subset's endpoints are the
// extremes of its texels along their weighted principal axis, then a round of weighted least squares on the indices
// they chose, quantized with the p-bits that round them closest. Modes 6 and 5 are always fitted, modes 4 and 5 on
// every rotation where alpha varies; the partitioned modes (1 and 3, 7 where alpha is not 255, 2 and 0 where the
// block is not yet close) only on the partitions a per-subset line estimate ranks best, and only while that estimate
// is below the best error so far. The winner gets more rounds of least squares with every p-bit choice, and is
// packed.
#include "image/bc7_block.h"

#include <cmath>
#include <cstring>

namespace {

// How a mode stores the low bit of its endpoint values: not at all, one p-bit per endpoint, or one per subset.
enum PBits : int8_t { noPBits, endpointPBits, sharedPBits };

// The layout of a mode: subsets, bits of the partition number, rotation and index selector, bits of a stored
// colour and alpha endpoint value (without the p-bit), and bits of the primary and secondary indices.
struct ModeLayout {
    int8_t subsets, partitionBits, rotationBits, selectorBits, colourBits, alphaBits;
    PBits pBits;
    int8_t indexBits, index2Bits;
};

constexpr ModeLayout kModes[8] = {
    {3, 4, 0, 0, 4, 0, endpointPBits, 3, 0},  // mode 0
    {2, 6, 0, 0, 6, 0, sharedPBits, 3, 0},    // mode 1
    {3, 6, 0, 0, 5, 0, noPBits, 2, 0},        // mode 2
    {2, 6, 0, 0, 7, 0, endpointPBits, 2, 0},  // mode 3
    {1, 0, 2, 1, 5, 6, noPBits, 2, 3},        // mode 4
    {1, 0, 2, 0, 7, 8, noPBits, 2, 2},        // mode 5
    {1, 0, 0, 0, 7, 7, endpointPBits, 4, 0},  // mode 6
    {2, 6, 0, 0, 5, 5, endpointPBits, 2, 0},  // mode 7
};

// Interpolation weights out of 64 of the 2-, 3- and 4-bit indices.
constexpr uint8_t kWeights2[4] = {0, 21, 43, 64};
constexpr uint8_t kWeights3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
constexpr uint8_t kWeights4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

// The subset of each texel (row by row) in the 64 partitions of two and of three subsets.
constexpr const char* kPartitions2[64] = {
    "0011001100110011", "0001000100010001", "0111011101110111", "0001001100110111", "0000000100010011",
    "0011011101111111", "0001001101111111", "0000000100110111", "0000000000010011", "0011011111111111",
    "0000000101111111", "0000000000010111", "0001011111111111", "0000000011111111", "0000111111111111",
    "0000000000001111", "0000100011101111", "0111000100000000", "0000000010001110", "0111001100010000",
    "0011000100000000", "0000100011001110", "0000000010001100", "0111001100110001", "0011000100010000",
    "0000100010001100", "0110011001100110", "0011011001101100", "0001011111101000", "0000111111110000",
    "0111000110001110", "0011100110011100", "0101010101010101", "0000111100001111", "0101101001011010",
    "0011001111001100", "0011110000111100", "0101010110101010", "0110100101101001", "0101101010100101",
    "0111001111001110", "0001001111001000", "0011001001001100", "0011101111011100", "0110100110010110",
    "0011110011000011", "0110011010011001", "0000011001100000", "0100111001000000", "0010011100100000",
    "0000001001110010", "0000010011100100", "0110110010010011", "0011011011001001", "0110001110011100",
    "0011100111000110", "0110110011001001", "0110001100111001", "0111111010000001", "0001100011100111",
    "0000111100110011", "0011001111110000", "0010001011101110", "0100010001110111",
};
constexpr const char* kPartitions3[64] = {
    "0011001102212222", "0001001122112221", "0000200122112211", "0222002200110111", "0000000011221122",
    "0011001100220022", "0022002211111111", "0011001122112211", "0000000011112222", "0000111111112222",
    "0000111122222222", "0012001200120012", "0112011201120112", "0122012201220122", "0011011211221222",
    "0011200122002220", "0001001101121122", "0111001120012200", "0000112211221122", "0022002200221111",
    "0111011102220222", "0001000122212221", "0000001101220122", "0000110022102210", "0122012200110000",
    "0012001211222222", "0110122112210110", "0000011012211221", "0022110211020022", "0110011020022222",
    "0011012201220011", "0000200022112221", "0000000211221222", "0222002200120011", "0011001200220222",
    "0120012001200120", "0000111122220000", "0120120120120120", "0120201212010120", "0011220011220011",
    "0011112222000011", "0101010122222222", "0000000021212121", "0022112200221122", "0022001100220011",
    "0220122102201221", "0101222222220101", "0000212121212121", "0101010101012222", "0222011102220111",
    "0002111200021112", "0000211221122112", "0222011101110222", "0002111211120002", "0110011001102222",
    "0000000021122112", "0110011022222222", "0022001100110022", "0022112211220022", "0000000000002112",
    "0002000100020001", "0222122202221222", "0101222222222222", "0111201122012220",
};

// The anchor texel of subset 1 of the two-subset partitions, and of subsets 1 and 2 of the three-subset ones (subset
// 0's is texel 0): its index is stored without its top bit, which must be 0.
constexpr uint8_t kAnchors2[64] = {
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15,  2,  8,  2,  2,  8,  8, 15,  2,  8,  2,  2,  8,  8,  2,  2,
    15, 15,  6,  8,  2,  8, 15, 15,  2,  8,  2,  2,  2, 15, 15,  6,
     6,  2,  6,  8, 15, 15,  2,  2, 15, 15, 15, 15, 15,  2,  2, 15,
};
constexpr uint8_t kAnchors3Second[64] = {
     3,  3, 15, 15,  8,  3, 15, 15,  8,  8,  6,  6,  6,  5,  3,  3,
     3,  3,  8, 15,  3,  3,  6, 10,  5,  8,  8,  6,  8,  5, 15, 15,
     8, 15,  3,  5,  6, 10,  8, 15, 15,  3, 15,  5, 15, 15, 15, 15,
     3, 15,  5,  5,  5,  8,  5, 10,  5, 10,  8, 13, 15, 12,  3,  3,
};
constexpr uint8_t kAnchors3Third[64] = {
    15,  8,  8,  3, 15, 15,  3,  8, 15, 15, 15, 15, 15, 15, 15,  8,
    15,  8, 15,  3, 15,  8, 15,  8,  3, 15,  6, 10, 15, 15, 10,  8,
    15,  3, 15, 10, 10,  8,  9, 10,  6, 15,  8, 15,  3,  6,  6,  8,
    15,  3, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,  3, 15, 15,  8,
};

// The texels of subsets 1 and 2 of every partition as bit masks (texel k in bit k).
struct SubsetMasks {
    uint16_t mask[2][64][2];
};

constexpr SubsetMasks makeSubsetMasks() {
    SubsetMasks masks{};
    for (int partition = 0; partition < 64; ++partition)
        for (int k = 0; k < 16; ++k) {
            const int two = kPartitions2[partition][k] - '0', three = kPartitions3[partition][k] - '0';
            if (two > 0) masks.mask[0][partition][two - 1] |= static_cast<uint16_t>(1 << k);
            if (three > 0) masks.mask[1][partition][three - 1] |= static_cast<uint16_t>(1 << k);
        }
    return masks;
}

constexpr SubsetMasks kSubsetMasks = makeSubsetMasks();

constexpr float kNoFit = 3.0e38f;

const uint8_t* indexWeights(int bits) { return bits == 2 ? kWeights2 : bits == 3 ? kWeights3 : kWeights4; }

const char* partitionTable(int subsets, int partition) {
    return subsets == 2 ? kPartitions2[partition] : kPartitions3[partition];
}

int anchorTexel(int subsets, int partition, int subset) {
    if (subset == 0) return 0;
    if (subsets == 2) return kAnchors2[partition];
    return subset == 1 ? kAnchors3Second[partition] : kAnchors3Third[partition];
}

// The block's texels as ints and their weights.
struct BlockTexels {
    int v[16][4];
    float w[16];
};

// What one endpoint fit stores: bits of a value (without the p-bit), how p-bits are stored, bits of an index, and
// whether both p-bits must be 1 (mode 6 on an opaque block: alpha 127 with p-bit 1 is 255 exactly).
struct FitSetup {
    int bits;
    PBits pBits;
    int indexBits;
    bool pBitsOne = false;
};

// One subset's endpoints on a run of channels and its texels' indices.
struct SubsetFit {
    int q[2][4] = {};        // stored endpoint values, by channel
    int p[2] = {0, 0};       // p-bits, 0 where the mode has none
    uint8_t index[16] = {};  // by texel position; only the subset's texels are set
    float error = kNoFit;
};

// A whole block as chosen: mode, partition, rotation, index selector, each subset's fit and the separate alpha fit
// of modes 4 and 5 (on channel 3 of the rotated texels).
struct Candidate {
    int mode = -1, partition = 0, rotation = 0, selector = 0;
    SubsetFit subset[3];
    SubsetFit alpha;
    float error = kNoFit;
};

// An n-bit endpoint value widened to 8 bits by repeating its top bits below it.
constexpr int expandValue(int x, int totalBits) {
    return totalBits >= 8 ? x : (x << (8 - totalBits)) | (x >> (2 * totalBits - 8));
}

// A palette entry: the endpoints' bytes blended by an index weight out of 64, rounded.
constexpr int interpolate(int e0, int e1, int weight) { return (e0 * (64 - weight) + e1 * weight + 32) >> 6; }

// The 8-bit value a fit's endpoint e decodes to on channel c.
int endpointValue(const SubsetFit& fit, const FitSetup& setup, int e, int c) {
    if (setup.pBits == noPBits) return expandValue(fit.q[e][c], setup.bits);
    return expandValue(fit.q[e][c] << 1 | fit.p[e], setup.bits + 1);
}

// The nearest integer to x >= 0 (truncation is floor there, and cheaper than a call to floor).
int roundNonNegative(float x) { return static_cast<int>(x + 0.5f); }

// For each width of a stored value (4 to 8 bits) and p-bit (none, 0 or 1), the stored value whose widened byte is
// nearest each half byte step 0, 0.5, ..., 255 (the lower one on a tie).
struct QuantizeTables {
    uint8_t nearest[5][3][511];
};

constexpr QuantizeTables makeQuantizeTables() {
    QuantizeTables tables{};
    for (int bits = 4; bits <= 8; ++bits)
        for (int p = -1; p <= 1; ++p) {
            const int total = bits + (p >= 0 ? 1 : 0);
            if (total > 8) continue;
            // Widened values grow with q: walk q up as v grows while the next one is strictly nearer.
            int q = 0;
            for (int v = 0; v < 511; ++v) {
                while (q + 1 < (1 << bits)) {
                    const int here = 2 * expandValue(p < 0 ? q : q << 1 | p, total) - v;
                    const int next = 2 * expandValue(p < 0 ? q + 1 : (q + 1) << 1 | p, total) - v;
                    if ((next < 0 ? -next : next) >= (here < 0 ? -here : here)) break;
                    ++q;
                }
                tables.nearest[bits - 4][p + 1][v] = static_cast<uint8_t>(q);
            }
        }
    return tables;
}

constexpr QuantizeTables kQuantize = makeQuantizeTables();

// For 2-, 3- and 4-bit indices, the index whose weight is nearest each weight 0 .. 64.
struct NearestIndexTables {
    uint8_t index[3][65];
};

constexpr NearestIndexTables makeNearestIndexTables() {
    NearestIndexTables tables{};
    for (int bits = 2; bits <= 4; ++bits) {
        const uint8_t* weights = bits == 2 ? kWeights2 : bits == 3 ? kWeights3 : kWeights4;
        for (int w = 0; w <= 64; ++w) {
            int best = 0;
            for (int i = 1; i < (1 << bits); ++i) {
                const int d = weights[i] > w ? weights[i] - w : w - weights[i];
                const int bestD = weights[best] > w ? weights[best] - w : w - weights[best];
                if (d < bestD) best = i;
            }
            tables.index[bits - 2][w] = static_cast<uint8_t>(best);
        }
    }
    return tables;
}

constexpr NearestIndexTables kNearestIndexTables = makeNearestIndexTables();
constexpr const uint8_t (&kNearestIndex)[3][65] = kNearestIndexTables.index;

// The stored value of `bits` bits (with p-bit p appended, or none for p < 0) whose widened byte is nearest v, in
// [0, 255], to half a step.
int quantizeValue(float v, int bits, int p) { return kQuantize.nearest[bits - 4][p + 1][roundNonNegative(2.0f * v)]; }

float clampByte(float v) { return v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v; }

// The principal axis of a symmetric N x N scatter matrix by `iterations` steps of power iteration, started from the
// column of the largest diagonal entry (already one product away from a unit vector); the diagonal for a zero matrix.
template <int N>
void principalAxis(const float scatter[N][N], float axis[N], int iterations) {
    int start = 0;
    for (int i = 1; i < N; ++i)
        if (scatter[i][i] > scatter[start][start]) start = i;
    float v[N];
    for (int i = 0; i < N; ++i) v[i] = scatter[start][i];
    for (int iteration = 0; iteration < iterations; ++iteration) {
        float next[N], largest = 0.0f;
        for (int i = 0; i < N; ++i) {
            float sum = 0.0f;
            for (int j = 0; j < N; ++j) sum += scatter[i][j] * v[j];
            next[i] = sum;
            const float size = sum < 0.0f ? -sum : sum;
            largest = size > largest ? size : largest;
        }
        if (!(largest > 1e-20f)) break;
        const float scale = 1.0f / largest;
        for (int i = 0; i < N; ++i) v[i] = next[i] * scale;
    }
    float norm = 0.0f;
    for (int i = 0; i < N; ++i) norm += v[i] * v[i];
    norm = norm > 1e-20f ? 1.0f / std::sqrt(norm) : 0.0f;
    for (int i = 0; i < N; ++i) axis[i] = norm > 0.0f ? v[i] * norm : 1.0f / std::sqrt(static_cast<float>(N));
}

// Quantizes endpoint `end` (channels C0 .. C0 + NC - 1) with p-bit p (ignored without p-bits): the stored values,
// their widened bytes, and the squared distance of those from `end`.
template <int C0, int NC>
float quantizeEndpoint(const float end[4], const FitSetup& setup, int p, int q[NC], int widened[NC]) {
    const bool withP = setup.pBits != noPBits;
    float distance = 0.0f;
    for (int c = 0; c < NC; ++c) {
        q[c] = quantizeValue(end[C0 + c], setup.bits, withP ? p : -1);
        widened[c] = withP ? expandValue(q[c] << 1 | p, setup.bits + 1) : expandValue(q[c], setup.bits);
        const float d = static_cast<float>(widened[c]) - end[C0 + c];
        distance += d * d;
    }
    return distance;
}

// Quantizes the float endpoints `ends` (channels C0 .. C0 + NC - 1), picks each member texel's nearest palette
// entry, and keeps the result in `best` when its weighted error is lower. The p-bits are those that round each
// endpoint (each subset, for shared ones) closest, or with `everyPBit` every choice the setup allows in turn.
template <int C0, int NC>
void tryEndpoints(const BlockTexels& t, const uint8_t* members, int count, const FitSetup& setup,
                  const float ends[2][4], bool everyPBit, SubsetFit& best) {
    // Each endpoint quantized with p-bit 0 and 1 (only 0 without p-bits, only 1 when both must be 1), and how far
    // each lands from the float endpoint.
    const bool withP = setup.pBits != noPBits;
    int q[2][2][NC], widened[2][2][NC];
    float distance[2][2] = {};
    for (int e = 0; e < 2; ++e)
        for (int p = setup.pBitsOne ? 1 : 0; p < (withP ? 2 : 1); ++p)
            distance[e][p] = quantizeEndpoint<C0, NC>(ends[e], setup, p, q[e][p], widened[e][p]);
    int choices[4][2], choiceCount = 1;
    if (!withP || setup.pBitsOne) {
        choices[0][0] = choices[0][1] = setup.pBitsOne ? 1 : 0;
    } else if (everyPBit) {
        const bool shared = setup.pBits == sharedPBits;
        choiceCount = shared ? 2 : 4;
        for (int choice = 0; choice < choiceCount; ++choice) {
            choices[choice][0] = shared ? choice : choice & 1;
            choices[choice][1] = shared ? choice : choice >> 1;
        }
    } else if (setup.pBits == sharedPBits) {
        choices[0][0] = choices[0][1] = distance[0][1] + distance[1][1] < distance[0][0] + distance[1][0] ? 1 : 0;
    } else {
        choices[0][0] = distance[0][1] < distance[0][0] ? 1 : 0;
        choices[0][1] = distance[1][1] < distance[1][0] ? 1 : 0;
    }
    const uint8_t* weights = indexWeights(setup.indexBits);
    const int entries = 1 << setup.indexBits;
    for (int choice = 0; choice < choiceCount; ++choice) {
        const int p[2] = {choices[choice][0], choices[choice][1]};
        const int(&low)[NC] = widened[0][p[0]];
        const int(&high)[NC] = widened[1][p[1]];
        // Two p-bit choices that widen to the same endpoints give the same fit.
        bool repeated = false;
        for (int earlier = 0; earlier < choice && !repeated; ++earlier)
            repeated = std::memcmp(widened[0][choices[earlier][0]], low, sizeof low) == 0 &&
                       std::memcmp(widened[1][choices[earlier][1]], high, sizeof high) == 0;
        if (repeated) continue;

        int palette[16][NC];
        for (int i = 0; i < entries; ++i)
            for (int c = 0; c < NC; ++c) palette[i][c] = interpolate(low[c], high[c], weights[i]);
        // With 8 or 16 entries, the entries either side of the one nearest the texel's projection on e0 -> e1 are
        // the only ones worth measuring: the palette lies on that segment but for rounding.
        int direction[NC], length = 0;
        for (int c = 0; c < NC; ++c) {
            direction[c] = high[c] - low[c];
            length += direction[c] * direction[c];
        }
        const bool project = entries > 4 && length > 0;
        const float toWeight = project ? 64.0f / static_cast<float>(length) : 0.0f;
        const uint8_t* nearestIndex = kNearestIndex[setup.indexBits - 2];
        uint8_t index[16];
        float error = 0.0f;
        int m = 0;
        for (; m < count; ++m) {
            const int k = members[m];
            int first = 0, last = entries - 1;
            if (project) {
                int along = 0;
                for (int c = 0; c < NC; ++c) along += (t.v[k][C0 + c] - low[c]) * direction[c];
                const float weight = static_cast<float>(along) * toWeight;
                const int guess = nearestIndex[weight <= 0.0f ? 0 : weight >= 64.0f ? 64 : roundNonNegative(weight)];
                first = guess > 0 ? guess - 1 : 0;
                last = guess < entries - 1 ? guess + 1 : entries - 1;
            }
            int bestDistance = 1 << 30, bestIndex = 0;
            for (int i = first; i <= last; ++i) {
                int d = 0;
                for (int c = 0; c < NC; ++c) {
                    const int delta = palette[i][c] - t.v[k][C0 + c];
                    d += delta * delta;
                }
                if (d < bestDistance) {
                    bestDistance = d;
                    bestIndex = i;
                }
            }
            index[k] = static_cast<uint8_t>(bestIndex);
            error += t.w[k] * static_cast<float>(bestDistance);
            if (error >= best.error) break;
        }
        if (m < count || !(error < best.error)) continue;
        best.error = error;
        best.p[0] = p[0];
        best.p[1] = p[1];
        for (int e = 0; e < 2; ++e)
            for (int c = 0; c < NC; ++c) best.q[e][C0 + c] = q[e][p[e]][c];
        for (m = 0; m < count; ++m) best.index[members[m]] = index[members[m]];
    }
}

// The endpoints that minimise the weighted squared error of the members given their indices: with a = w_i / 64 for
// each texel's index, sum_k w_k |(1 - a_k) e0 + a_k e1 - x_k|^2 is least where
//   [sum w (1-a)^2   sum w a(1-a)] [e0]   [sum w (1-a) x]
//   [sum w a(1-a)    sum w a^2   ] [e1] = [sum w a x    ],
// one 2 x 2 system shared by every channel. False when it is singular (every weighted texel on one index).
template <int C0, int NC>
bool leastSquaresEndpoints(const BlockTexels& t, const uint8_t* members, int count, int indexBits,
                           const uint8_t index[16], float ends[2][4]) {
    const uint8_t* weights = indexWeights(indexBits);
    float a00 = 0.0f, a01 = 0.0f, a11 = 0.0f, r0[NC] = {}, r1[NC] = {};
    for (int m = 0; m < count; ++m) {
        const int k = members[m];
        const float w = t.w[k];
        if (w == 0.0f) continue;
        const float a = static_cast<float>(weights[index[k]]) * (1.0f / 64.0f), b = 1.0f - a;
        a00 += w * b * b;
        a01 += w * a * b;
        a11 += w * a * a;
        for (int c = 0; c < NC; ++c) {
            r0[c] += w * b * static_cast<float>(t.v[k][C0 + c]);
            r1[c] += w * a * static_cast<float>(t.v[k][C0 + c]);
        }
    }
    const float det = a00 * a11 - a01 * a01;
    if (!(det > 1e-4f * (a00 + a11) * (a00 + a11))) return false;
    for (int c = 0; c < NC; ++c) {
        ends[0][C0 + c] = clampByte((a11 * r0[c] - a01 * r1[c]) / det);
        ends[1][C0 + c] = clampByte((a00 * r1[c] - a01 * r0[c]) / det);
    }
    return true;
}

// Up to `rounds` rounds of least squares on the indices `fit` chose, each quantized (p-bits as tryEndpoints says) and
// kept when better, until one does not gain.
template <int C0, int NC>
void refineSubset(const BlockTexels& t, const uint8_t* members, int count, const FitSetup& setup, int rounds,
                  bool everyPBit, SubsetFit& fit) {
    float ends[2][4] = {};
    for (int round = 0; round < rounds && fit.error > 0.0f; ++round) {
        const float before = fit.error;
        if (!leastSquaresEndpoints<C0, NC>(t, members, count, setup.indexBits, fit.index, ends)) break;
        tryEndpoints<C0, NC>(t, members, count, setup, ends, everyPBit, fit);
        if (!(fit.error < before)) break;
    }
}

// Fits one subset's endpoints on channels C0 .. C0 + NC - 1: the extremes of the weighted texels along the
// principal axis through their weighted mean, then a round of least squares on the indices chosen.
// Texels of weight 0 take an index but pull on nothing.
template <int C0, int NC>
void fitSubset(const BlockTexels& t, const uint8_t* members, int count, const FitSetup& setup, SubsetFit& fit) {
    fit.error = kNoFit;
    float total = 0.0f, mean[NC] = {};
    for (int m = 0; m < count; ++m) {
        const int k = members[m];
        total += t.w[k];
        for (int c = 0; c < NC; ++c) mean[c] += t.w[k] * static_cast<float>(t.v[k][C0 + c]);
    }
    float ends[2][4] = {};
    if (!(total > 0.0f)) {
        // Nothing here matters: any endpoints will do, the mean of the texels as well as any.
        for (int c = 0; c < NC; ++c) {
            float sum = 0.0f;
            for (int m = 0; m < count; ++m) sum += static_cast<float>(t.v[members[m]][C0 + c]);
            ends[0][C0 + c] = ends[1][C0 + c] = sum / static_cast<float>(count);
        }
        tryEndpoints<C0, NC>(t, members, count, setup, ends, false, fit);
        return;
    }
    for (int c = 0; c < NC; ++c) mean[c] /= total;
    float scatter[NC][NC] = {};
    for (int m = 0; m < count; ++m) {
        const int k = members[m];
        float d[NC];
        for (int c = 0; c < NC; ++c) d[c] = static_cast<float>(t.v[k][C0 + c]) - mean[c];
        for (int i = 0; i < NC; ++i)
            for (int j = i; j < NC; ++j) scatter[i][j] += t.w[k] * d[i] * d[j];
    }
    for (int i = 0; i < NC; ++i)
        for (int j = 0; j < i; ++j) scatter[i][j] = scatter[j][i];
    float axis[NC];
    principalAxis<NC>(scatter, axis, 6);
    float low = kNoFit, high = -kNoFit;
    for (int m = 0; m < count; ++m) {
        const int k = members[m];
        if (t.w[k] == 0.0f) continue;
        float s = 0.0f;
        for (int c = 0; c < NC; ++c) s += (static_cast<float>(t.v[k][C0 + c]) - mean[c]) * axis[c];
        low = s < low ? s : low;
        high = s > high ? s : high;
    }
    for (int c = 0; c < NC; ++c) {
        ends[0][C0 + c] = clampByte(mean[c] + low * axis[c]);
        ends[1][C0 + c] = clampByte(mean[c] + high * axis[c]);
    }
    tryEndpoints<C0, NC>(t, members, count, setup, ends, false, fit);
    refineSubset<C0, NC>(t, members, count, setup, 1, false, fit);
}

constexpr uint8_t kAll[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// The texels with alpha swapped into the channel `rotation` names (1 red, 2 green, 3 blue; 0 none).
BlockTexels rotatedTexels(const BlockTexels& t, int rotation) {
    BlockTexels rotated = t;
    if (rotation > 0)
        for (int k = 0; k < 16; ++k) {
            rotated.v[k][rotation - 1] = t.v[k][3];
            rotated.v[k][3] = t.v[k][rotation - 1];
        }
    return rotated;
}

// The colour and alpha fits of modes 4 and 5: mode 4's selector gives colour the 3-bit indices and alpha the 2-bit.
FitSetup colourSetup(int mode, int selector) {
    const ModeLayout& layout = kModes[mode];
    return {layout.colourBits, noPBits, selector ? layout.index2Bits : layout.indexBits};
}
FitSetup alphaSetup(int mode, int selector) {
    const ModeLayout& layout = kModes[mode];
    return {layout.alphaBits, noPBits, selector ? layout.indexBits : layout.index2Bits};
}

// The texels of each subset of a partition.
void partitionMembers(int subsets, int partition, uint8_t members[3][16], int counts[3]) {
    const char* table = partitionTable(subsets, partition);
    counts[0] = counts[1] = counts[2] = 0;
    for (int k = 0; k < 16; ++k) {
        const int s = table[k] - '0';
        members[s][counts[s]++] = static_cast<uint8_t>(k);
    }
}

// Modes 4, 5 and 6: one subset. Modes 4 and 5 fit colour and alpha apart, on the texels with alpha swapped into
// the channel `rotation` names (1 red, 2 green, 3 blue); the selector gives mode 4's colour the 3-bit indices.
void encodeOneSubset(const BlockTexels& t, int mode, int rotation, int selector, bool opaque, Candidate& out) {
    const ModeLayout& layout = kModes[mode];
    out.mode = mode;
    out.partition = 0;
    out.rotation = rotation;
    out.selector = selector;
    if (mode == 6) {
        fitSubset<0, 4>(t, kAll, 16, {layout.colourBits, layout.pBits, layout.indexBits, opaque}, out.subset[0]);
        out.error = out.subset[0].error;
        return;
    }
    const BlockTexels rotated = rotatedTexels(t, rotation);
    fitSubset<0, 3>(rotated, kAll, 16, colourSetup(mode, selector), out.subset[0]);
    fitSubset<3, 1>(rotated, kAll, 16, alphaSetup(mode, selector), out.alpha);
    out.error = out.subset[0].error + out.alpha.error;
}

// Modes 0, 1, 2, 3 and 7 on one partition. `alphaError` is what the colour-only modes lose by decoding alpha 255;
// the fit gives up once its error reaches `bound`.
void encodePartitioned(const BlockTexels& t, int mode, int partition, float alphaError, float bound, Candidate& out) {
    const ModeLayout& layout = kModes[mode];
    uint8_t members[3][16];
    int counts[3];
    partitionMembers(layout.subsets, partition, members, counts);
    out.mode = mode;
    out.partition = partition;
    out.rotation = out.selector = 0;
    out.error = mode == 7 ? 0.0f : alphaError;
    const FitSetup setup = {layout.colourBits, layout.pBits, layout.indexBits};
    for (int s = 0; s < layout.subsets; ++s) {
        if (mode == 7)
            fitSubset<0, 4>(t, members[s], counts[s], setup, out.subset[s]);
        else
            fitSubset<0, 3>(t, members[s], counts[s], setup, out.subset[s]);
        out.error += out.subset[s].error;
        if (out.error >= bound) {
            out.error = kNoFit;
            return;
        }
    }
}

// More rounds of least squares on the chosen candidate's fits, every p-bit choice tried on each.
void polishCandidate(const BlockTexels& t, bool opaque, Candidate& c) {
    const ModeLayout& layout = kModes[c.mode];
    if (c.mode == 6) {
        refineSubset<0, 4>(t, kAll, 16, {layout.colourBits, layout.pBits, layout.indexBits, opaque}, 3, true,
                           c.subset[0]);
    } else if (c.mode == 4 || c.mode == 5) {
        const BlockTexels rotated = rotatedTexels(t, c.rotation);
        refineSubset<0, 3>(rotated, kAll, 16, colourSetup(c.mode, c.selector), 3, true, c.subset[0]);
        refineSubset<3, 1>(rotated, kAll, 16, alphaSetup(c.mode, c.selector), 3, true, c.alpha);
    } else {
        uint8_t members[3][16];
        int counts[3];
        partitionMembers(layout.subsets, c.partition, members, counts);
        const FitSetup setup = {layout.colourBits, layout.pBits, layout.indexBits};
        for (int s = 0; s < layout.subsets; ++s) {
            if (c.mode == 7)
                refineSubset<0, 4>(t, members[s], counts[s], setup, 3, true, c.subset[s]);
            else
                refineSubset<0, 3>(t, members[s], counts[s], setup, 3, true, c.subset[s]);
        }
    }
}

// The weighted squared distance of a set of points from their best line, from their moments: with W = sum w,
// s = sum w x and S = sum w x x^T, the scatter is M = S - s s^T / W and the distance its trace minus its largest
// eigenvalue. The eigenvalue is estimated with c = M u, u the unit vector of M's largest diagonal entry, as
// |M c|^2 / (c . M c) = u M^4 u / u M^3 u, which approaches it from below: enough to rank partitions.
template <int N>
float lineResidual(const float* moments) {
    const float total = moments[0];
    if (!(total > 0.0f)) return 0.0f;
    float scatter[N][N];
    const float* products = moments + 1 + N;
    for (int i = 0, at = 0; i < N; ++i)
        for (int j = i; j < N; ++j, ++at)
            scatter[i][j] = scatter[j][i] = products[at] - moments[1 + i] * moments[1 + j] / total;
    float trace = 0.0f;
    int start = 0;
    for (int i = 0; i < N; ++i) {
        trace += scatter[i][i];
        if (scatter[i][i] > scatter[start][start]) start = i;
    }
    float along = 0.0f, squared = 0.0f;
    for (int i = 0; i < N; ++i) {
        float product = 0.0f;
        for (int j = 0; j < N; ++j) product += scatter[i][j] * scatter[start][j];
        along += scatter[start][i] * product;
        squared += product * product;
    }
    const float residual = along > 0.0f ? trace - squared / along : 0.0f;
    return residual > 0.0f ? residual : 0.0f;
}

// Scores the 64 partitions of `subsets` subsets by the summed line residual of their subsets on channels 0 .. N - 1:
// the lower, the better the partition suits a line per subset.
template <int N>
void scorePartitions(const BlockTexels& t, int subsets, float scores[64]) {
    constexpr int kMoments = 1 + N + N * (N + 1) / 2;
    // Moments about the block's mean keep the float sums well conditioned.
    float mean[N] = {}, total = 0.0f;
    for (int k = 0; k < 16; ++k) {
        total += t.w[k];
        for (int c = 0; c < N; ++c) mean[c] += t.w[k] * static_cast<float>(t.v[k][c]);
    }
    for (int c = 0; c < N; ++c) mean[c] /= total;
    float moments[16][kMoments], all[kMoments] = {};
    for (int k = 0; k < 16; ++k) {
        float d[N];
        for (int c = 0; c < N; ++c) d[c] = static_cast<float>(t.v[k][c]) - mean[c];
        const float w = t.w[k];
        moments[k][0] = w;
        for (int c = 0; c < N; ++c) moments[k][1 + c] = w * d[c];
        for (int i = 0, at = 1 + N; i < N; ++i)
            for (int j = i; j < N; ++j, ++at) moments[k][at] = w * d[i] * d[j];
        for (int i = 0; i < kMoments; ++i) all[i] += moments[k][i];
    }
    for (int partition = 0; partition < 64; ++partition) {
        float sums[3][kMoments] = {};
        for (int s = 1; s < subsets; ++s)
            for (unsigned mask = kSubsetMasks.mask[subsets - 2][partition][s - 1]; mask != 0; mask &= mask - 1) {
                const float* texel = moments[__builtin_ctz(mask)];
                for (int i = 0; i < kMoments; ++i) sums[s][i] += texel[i];
            }
        for (int i = 0; i < kMoments; ++i) sums[0][i] = all[i] - sums[1][i] - sums[2][i];
        float score = 0.0f;
        for (int s = 0; s < subsets; ++s) score += lineResidual<N>(sums[s]);
        scores[partition] = score;
    }
}

// The `keep` partitions of lowest score among the first `partitions`, best first (ties to the lower number).
int bestPartitions(const float scores[64], int partitions, int keep, int* chosen) {
    int found = 0;
    for (int partition = 0; partition < partitions; ++partition) {
        int at = found;
        while (at > 0 && scores[partition] < scores[chosen[at - 1]]) --at;
        if (at >= keep) continue;
        for (int i = found < keep ? found : keep - 1; i > at; --i) chosen[i] = chosen[i - 1];
        chosen[at] = partition;
        if (found < keep) ++found;
    }
    return found;
}

// A block of one colour: mode 5 with colour indices 1 (a third of the way from e0 to e1) can hit any byte exactly,
// with e0 and e1 the 7-bit values just around it; alpha's 8-bit endpoints are exact.
void encodeConstant(const uint8_t colour[4], Candidate& out) {
    out.mode = 5;
    out.partition = out.rotation = out.selector = 0;
    SubsetFit& fit = out.subset[0];
    for (int c = 0; c < 3; ++c) {
        int bestDistance = 1 << 30;
        const int centre = colour[c] >> 1;
        for (int a = centre - 3; a <= centre + 3; ++a)
            for (int b = centre - 3; b <= centre + 3; ++b) {
                if (a < 0 || b < 0 || a > 127 || b > 127) continue;
                const int value = interpolate(expandValue(a, 7), expandValue(b, 7), kWeights2[1]);
                const int d = std::abs(value - colour[c]) * 16 + std::abs(a - b);
                if (d < bestDistance) {
                    bestDistance = d;
                    fit.q[0][c] = a;
                    fit.q[1][c] = b;
                }
            }
    }
    out.alpha.q[0][3] = out.alpha.q[1][3] = colour[3];
    for (int k = 0; k < 16; ++k) {
        fit.index[k] = 1;
        out.alpha.index[k] = 0;
    }
    out.error = 0.0f;  // measured by the caller
}

// The texels a candidate decodes to.
void decodeCandidate(const Candidate& c, uint8_t decoded[16][4]) {
    const ModeLayout& layout = kModes[c.mode];
    if (c.mode == 4 || c.mode == 5) {
        const FitSetup colour = colourSetup(c.mode, c.selector), alpha = alphaSetup(c.mode, c.selector);
        const uint8_t* colourWeights = indexWeights(colour.indexBits);
        const uint8_t* alphaWeights = indexWeights(alpha.indexBits);
        for (int k = 0; k < 16; ++k) {
            int texel[4];
            const int wc = colourWeights[c.subset[0].index[k]], wa = alphaWeights[c.alpha.index[k]];
            for (int ch = 0; ch < 3; ++ch)
                texel[ch] = interpolate(endpointValue(c.subset[0], colour, 0, ch),
                                        endpointValue(c.subset[0], colour, 1, ch), wc);
            texel[3] = interpolate(endpointValue(c.alpha, alpha, 0, 3), endpointValue(c.alpha, alpha, 1, 3), wa);
            if (c.rotation > 0) {
                const int swapped = texel[c.rotation - 1];
                texel[c.rotation - 1] = texel[3];
                texel[3] = swapped;
            }
            for (int ch = 0; ch < 4; ++ch) decoded[k][ch] = static_cast<uint8_t>(texel[ch]);
        }
        return;
    }
    const FitSetup setup = {layout.colourBits, layout.pBits, layout.indexBits};
    const uint8_t* weights = indexWeights(layout.indexBits);
    const char* table = layout.subsets > 1 ? partitionTable(layout.subsets, c.partition) : nullptr;
    const int channels = layout.alphaBits > 0 ? 4 : 3;
    for (int k = 0; k < 16; ++k) {
        const SubsetFit& fit = c.subset[table ? table[k] - '0' : 0];
        const int w = weights[fit.index[k]];
        for (int ch = 0; ch < channels; ++ch)
            decoded[k][ch] = static_cast<uint8_t>(
                interpolate(endpointValue(fit, setup, 0, ch), endpointValue(fit, setup, 1, ch), w));
        if (channels == 3) decoded[k][3] = 255;
    }
}

// Swaps a fit's endpoints (and p-bits) and mirrors its members' indices, which decodes to the same texels: the
// index weights are symmetric, w[n - 1 - i] = 64 - w[i].
void swapEndpoints(SubsetFit& fit, int indexBits, int subsets, int partition, int subset) {
    for (int c = 0; c < 4; ++c) {
        const int q = fit.q[0][c];
        fit.q[0][c] = fit.q[1][c];
        fit.q[1][c] = q;
    }
    const int p = fit.p[0];
    fit.p[0] = fit.p[1];
    fit.p[1] = p;
    const int top = (1 << indexBits) - 1;
    const char* table = subsets > 1 ? partitionTable(subsets, partition) : nullptr;
    for (int k = 0; k < 16; ++k)
        if (!table || table[k] - '0' == subset) fit.index[k] = static_cast<uint8_t>(top - fit.index[k]);
}

// Every anchor texel's index must have its top bit clear: where it is set, the subset's endpoints are swapped.
void fixAnchors(Candidate& c) {
    const ModeLayout& layout = kModes[c.mode];
    if (c.mode == 4 || c.mode == 5) {
        const int colourIndexBits = colourSetup(c.mode, c.selector).indexBits;
        const int alphaIndexBits = alphaSetup(c.mode, c.selector).indexBits;
        if (c.subset[0].index[0] >> (colourIndexBits - 1)) swapEndpoints(c.subset[0], colourIndexBits, 1, 0, 0);
        if (c.alpha.index[0] >> (alphaIndexBits - 1)) swapEndpoints(c.alpha, alphaIndexBits, 1, 0, 0);
        return;
    }
    for (int s = 0; s < layout.subsets; ++s) {
        const int anchor = anchorTexel(layout.subsets, c.partition, s);
        if (c.subset[s].index[anchor] >> (layout.indexBits - 1))
            swapEndpoints(c.subset[s], layout.indexBits, layout.subsets, c.partition, s);
    }
}

// Appends bit fields to a block, least significant bit first.
struct BitWriter {
    uint8_t* bytes;
    int position = 0;
    void put(int value, int count) {
        for (int i = 0; i < count; ++i, ++position)
            if ((value >> i) & 1) bytes[position >> 3] |= static_cast<uint8_t>(1 << (position & 7));
    }
};

// Packs a candidate (anchors already fixed): mode, partition, rotation, selector, the red, green, blue and alpha
// values of every endpoint (subset by subset), the p-bits, then the primary and secondary indices, an anchor's
// index one bit shorter.
void packCandidate(const Candidate& c, uint8_t block[16]) {
    const ModeLayout& layout = kModes[c.mode];
    std::memset(block, 0, 16);
    BitWriter out{block};
    out.put(1 << c.mode, c.mode + 1);
    out.put(c.partition, layout.partitionBits);
    out.put(c.rotation, layout.rotationBits);
    out.put(c.selector, layout.selectorBits);
    for (int ch = 0; ch < 3; ++ch)
        for (int s = 0; s < layout.subsets; ++s)
            for (int e = 0; e < 2; ++e) out.put(c.subset[s].q[e][ch], layout.colourBits);
    if (layout.alphaBits > 0) {
        const bool separate = c.mode == 4 || c.mode == 5;
        for (int s = 0; s < layout.subsets; ++s)
            for (int e = 0; e < 2; ++e) out.put(separate ? c.alpha.q[e][3] : c.subset[s].q[e][3], layout.alphaBits);
    }
    for (int s = 0; s < layout.subsets; ++s) {
        if (layout.pBits == endpointPBits) {
            out.put(c.subset[s].p[0], 1);
            out.put(c.subset[s].p[1], 1);
        } else if (layout.pBits == sharedPBits) {
            out.put(c.subset[s].p[0], 1);
        }
    }
    if (c.mode == 4 || c.mode == 5) {
        // The primary indices are mode 4's 2-bit ones: colour's unless the selector gives colour the 3-bit ones.
        const SubsetFit& primary = c.selector ? c.alpha : c.subset[0];
        const SubsetFit& secondary = c.selector ? c.subset[0] : c.alpha;
        for (int k = 0; k < 16; ++k) out.put(primary.index[k], layout.indexBits - (k == 0));
        for (int k = 0; k < 16; ++k) out.put(secondary.index[k], layout.index2Bits - (k == 0));
        return;
    }
    const char* table = layout.subsets > 1 ? partitionTable(layout.subsets, c.partition) : nullptr;
    for (int k = 0; k < 16; ++k) {
        const int s = table ? table[k] - '0' : 0;
        const bool anchor = k == anchorTexel(layout.subsets, c.partition, s);
        out.put(c.subset[s].index[k], layout.indexBits - (anchor ? 1 : 0));
    }
}

float weightedError(const BlockTexels& t, const uint8_t decoded[16][4]) {
    float error = 0.0f;
    for (int k = 0; k < 16; ++k) {
        int d = 0;
        for (int c = 0; c < 4; ++c) d += (decoded[k][c] - t.v[k][c]) * (decoded[k][c] - t.v[k][c]);
        error += t.w[k] * static_cast<float>(d);
    }
    return error;
}

// How many of the best-ranked partitions each partitioned mode fits in full.
constexpr int kTwoSubsetTries = 12;
constexpr int kThreeSubsetTries = 6;
// The three-subset modes rarely pay where the block is already within this squared error per unit of weight (summed
// over the four channels, about 1 per channel): they are skipped there.
constexpr float kThreeSubsetError = 4.0f;

void keepBetter(Candidate& best, const Candidate& trial) {
    if (trial.error < best.error) best = trial;
}

}  // namespace

void encodeBc7Block(const uint8_t texels[16][4], const float weights[16], uint8_t block[16], uint8_t decoded[16][4]) {
    // Weights scaled to a largest of 1, so that no error sum overflows; an infinite weight outweighs every finite
    // one, and a block where nothing matters is encoded as if everything mattered alike.
    BlockTexels t;
    float largest = 0.0f;
    for (int k = 0; k < 16; ++k) {
        for (int c = 0; c < 4; ++c) t.v[k][c] = texels[k][c];
        t.w[k] = weights[k] > 0.0f ? weights[k] : 0.0f;  // NaN too
        largest = t.w[k] > largest ? t.w[k] : largest;
    }
    float totalWeight = 0.0f;
    for (int k = 0; k < 16; ++k) {
        if (std::isinf(largest))
            t.w[k] = std::isinf(t.w[k]) ? 1.0f : 0.0f;
        else
            t.w[k] = largest > 0.0f ? t.w[k] / largest : 1.0f;
        totalWeight += t.w[k];
    }

    // What the weighted texels share: one colour, one alpha, alpha 255.
    int first = 0;
    while (t.w[first] == 0.0f) ++first;
    bool oneColour = true, oneAlpha = true, opaque = true;
    float alphaError = 0.0f;
    for (int k = 0; k < 16; ++k) {
        if (t.w[k] == 0.0f) continue;
        for (int c = 0; c < 4; ++c) oneColour = oneColour && t.v[k][c] == t.v[first][c];
        oneAlpha = oneAlpha && t.v[k][3] == t.v[first][3];
        opaque = opaque && t.v[k][3] == 255;
        alphaError += t.w[k] * static_cast<float>((255 - t.v[k][3]) * (255 - t.v[k][3]));
    }

    Candidate best, trial;
    if (oneColour) {
        const uint8_t colour[4] = {texels[first][0], texels[first][1], texels[first][2], texels[first][3]};
        encodeConstant(colour, best);
        uint8_t texelsOut[16][4];
        decodeCandidate(best, texelsOut);
        best.error = weightedError(t, texelsOut);
    } else {
        encodeOneSubset(t, 6, 0, 0, opaque, trial);
        keepBetter(best, trial);
        encodeOneSubset(t, 5, 0, 0, opaque, trial);
        keepBetter(best, trial);
        if (!oneAlpha) {
            // Alpha that varies: its own indices, on alpha itself or swapped with one colour channel.
            for (int rotation = 1; rotation < 4; ++rotation) {
                encodeOneSubset(t, 5, rotation, 0, opaque, trial);
                keepBetter(best, trial);
            }
            for (int rotation = 0; rotation < 4; ++rotation)
                for (int selector = 0; selector < 2; ++selector) {
                    encodeOneSubset(t, 4, rotation, selector, opaque, trial);
                    keepBetter(best, trial);
                }
        }
        // A partition whose subsets lie farther from their best lines than the best error so far is not worth a fit:
        // quantization and a few indices only add to that distance.
        float scores[64];
        int chosen[kTwoSubsetTries > kThreeSubsetTries ? kTwoSubsetTries : kThreeSubsetTries];
        if (best.error > 0.0f && alphaError < best.error) {
            scorePartitions<3>(t, 2, scores);
            const int found = bestPartitions(scores, 64, kTwoSubsetTries, chosen);
            for (int i = 0; i < found && alphaError + scores[chosen[i]] < best.error; ++i) {
                encodePartitioned(t, 3, chosen[i], alphaError, best.error, trial);
                keepBetter(best, trial);
                encodePartitioned(t, 1, chosen[i], alphaError, best.error, trial);
                keepBetter(best, trial);
            }
        }
        if (best.error > 0.0f && !opaque) {
            scorePartitions<4>(t, 2, scores);
            const int found = bestPartitions(scores, 64, kTwoSubsetTries, chosen);
            for (int i = 0; i < found && scores[chosen[i]] < best.error; ++i) {
                encodePartitioned(t, 7, chosen[i], 0.0f, best.error, trial);
                keepBetter(best, trial);
            }
        }
        if (best.error > kThreeSubsetError * totalWeight && alphaError < best.error) {
            scorePartitions<3>(t, 3, scores);
            int found = bestPartitions(scores, 64, kThreeSubsetTries, chosen);
            for (int i = 0; i < found && alphaError + scores[chosen[i]] < best.error; ++i) {
                encodePartitioned(t, 2, chosen[i], alphaError, best.error, trial);
                keepBetter(best, trial);
            }
            found = bestPartitions(scores, 16, kThreeSubsetTries, chosen);
            for (int i = 0; i < found && alphaError + scores[chosen[i]] < best.error; ++i) {
                encodePartitioned(t, 0, chosen[i], alphaError, best.error, trial);
                keepBetter(best, trial);
            }
        }
    }
    if (!oneColour) polishCandidate(t, opaque, best);
    fixAnchors(best);
    packCandidate(best, block);
    decodeCandidate(best, decoded);
}
