// How texels are decoded for the filters and encoded for the level files, per kind of texture: linear values pass
// through unchanged, normal maps become vectors (two-channel maps get their Z back) and are written renormalised, and
// sRGB colour reads back exactly as it did before the encodings existed.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <vector>

#include "image/float_image.h"
#include "image/pixel_bytes.h"

namespace {

// A one-row image of the given texels, as a reader leaves them (channels byte / 255).
FloatImage rowOf(const std::vector<Texel>& texels) {
    FloatImage image;
    allocateImage(image, static_cast<int32_t>(texels.size()), 1);
    for (size_t k = 0; k < texels.size(); ++k) image.texels[k] = texels[k];
    return image;
}

Texel fromBytes(unsigned r, unsigned g, unsigned b, unsigned a = 255) {
    return Texel{unitFromByte(r), unitFromByte(g), unitFromByte(b), unitFromByte(a)};
}

// The bytes a level file stores for a filtered texel.
struct Bytes {
    unsigned r, g, b, a;
    bool operator==(const Bytes& other) const {
        return r == other.r && g == other.g && b == other.b && a == other.a;
    }
};

Bytes storedBytes(const Texel& t, TexelEncoding encoding, bool withAlpha = true) {
    const Texel stored = encodedTexel(t, encoding, withAlpha);
    return Bytes{byteFromUnit(stored.r), byteFromUnit(stored.g), byteFromUnit(stored.b), byteFromUnit(stored.a)};
}

std::ostream& operator<<(std::ostream& out, const Bytes& bytes) {
    return out << "(" << bytes.r << ", " << bytes.g << ", " << bytes.b << ", " << bytes.a << ")";
}

double length(const Texel& t) { return std::sqrt(double(t.r) * t.r + double(t.g) * t.g + double(t.b) * t.b); }

}  // namespace

// Data maps are filtered as stored: decoding leaves every byte's value as read, alpha included, and the file stores
// every byte back as itself, which is also what the report reads back.
TEST(TexelEncoding, LinearValuesPassThroughDecodingWritingAndReadingBackUnchanged) {
    std::vector<Texel> texels;
    for (unsigned b = 0; b < 256; ++b) texels.push_back(fromBytes(b, 255 - b, (b * 7) % 256, (b * 13) % 256));
    FloatImage image = rowOf(texels);
    decodeTexels(image, TexelEncoding::linear);
    for (unsigned b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        const Texel& t = image.texels[b];
        EXPECT_EQ(t.r, texels[b].r);
        EXPECT_EQ(t.g, texels[b].g);
        EXPECT_EQ(t.b, texels[b].b);
        EXPECT_EQ(t.a, texels[b].a);
        EXPECT_EQ(storedBytes(t, TexelEncoding::linear), (Bytes{b, 255 - b, (b * 7) % 256, (b * 13) % 256}));
        const Texel back = texelAsWritten(t, TexelEncoding::linear);
        EXPECT_EQ(back.r, unitFromByte(b));
        EXPECT_EQ(back.g, unitFromByte(255 - b));
        EXPECT_EQ(back.b, unitFromByte((b * 7) % 256));
        EXPECT_EQ(back.a, t.a);
    }
    // A filtered value between two steps is stored rounded, and reads back as the byte stored; values outside
    // [0, 1] (a ringing kernel's) are clamped.
    const Texel between{0.5f, 0.3f / 255, -0.2f, 0.25f};
    EXPECT_EQ(storedBytes(between, TexelEncoding::linear), (Bytes{128, 0, 0, 64}));
    EXPECT_EQ(storedBytes(Texel{1.5f, 254.6f / 255, 1.0f, 1.0f}, TexelEncoding::linear), (Bytes{255, 255, 255, 255}));
    EXPECT_EQ(texelAsWritten(between, TexelEncoding::linear).r, unitFromByte(128));
    EXPECT_EQ(texelAsWritten(between, TexelEncoding::linear).b, 0.0f);
    // Without alpha the file stores an opaque texel whatever the filter computed.
    EXPECT_EQ(storedBytes(between, TexelEncoding::linear, false).a, 255u);
}

// A normal map's bytes c are the components 2c - 1: the flat normal (128, 128, 255) is the vector (1/255, 1/255, 1),
// and no transfer function touches any channel. When every texel's blue is 0 the map stores X and Y only and Z is
// rebuilt (0 where x^2 + y^2 exceeds 1); a single texel with blue makes the map three-channel, and a blue 0 then means
// Z = -1. Alpha stays as read.
TEST(TexelEncoding, NormalMapsDecodeToVectorsAndTwoChannelMapsGetTheirZBack) {
    FloatImage flat = rowOf({fromBytes(128, 128, 255, 77), fromBytes(0, 255, 128), fromBytes(64, 192, 0)});
    decodeTexels(flat, TexelEncoding::normal);
    EXPECT_NEAR(flat.texels[0].r, 1.0 / 255, 1e-7);
    EXPECT_NEAR(flat.texels[0].g, 1.0 / 255, 1e-7);
    EXPECT_EQ(flat.texels[0].b, 1.0f);
    EXPECT_EQ(flat.texels[0].a, unitFromByte(77));
    EXPECT_EQ(flat.texels[1].r, -1.0f);
    EXPECT_EQ(flat.texels[1].g, 1.0f);
    EXPECT_NEAR(flat.texels[1].b, 1.0 / 255, 1e-7);
    EXPECT_EQ(flat.texels[2].b, -1.0f) << "blue 0 in a three-channel map is Z = -1";
    EXPECT_NEAR(flat.texels[2].r, 2 * 64 / 255.0 - 1, 1e-6);

    // Two channels: (x, y) = (0.6, 0) gives Z = 0.8; the flat normal gives Z = sqrt(1 - 2 / 255^2); a vector
    // beyond the unit circle gets Z = 0, not a NaN.
    const unsigned x06 = 204;  // 2 x 204 / 255 - 1 = 0.6
    FloatImage twoChannel =
        rowOf({fromBytes(x06, 128, 0), fromBytes(128, 128, 0, 9), fromBytes(255, 255, 0), fromBytes(128, 0, 0)});
    decodeTexels(twoChannel, TexelEncoding::normal);
    const double tiny = 1.0 / 255;
    EXPECT_NEAR(twoChannel.texels[0].r, 0.6, 1e-6);
    EXPECT_NEAR(twoChannel.texels[0].b, std::sqrt(1 - 0.36 - tiny * tiny), 1e-6);
    EXPECT_NEAR(twoChannel.texels[1].b, std::sqrt(1 - 2 * tiny * tiny), 1e-6);
    EXPECT_EQ(twoChannel.texels[1].a, unitFromByte(9));
    EXPECT_EQ(twoChannel.texels[2].b, 0.0f);
    EXPECT_NEAR(twoChannel.texels[3].g, -1.0, 1e-7);
    EXPECT_NEAR(twoChannel.texels[3].b, 0.0, 1e-3);
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(std::isfinite(twoChannel.texels[k].b)) << k;
    for (int k : {0, 1}) EXPECT_NEAR(length(twoChannel.texels[k]), 1.0, 1e-6) << k;

    // The same texels but one with blue: the map is three-channel, so blue 0 stays -1.
    FloatImage mixed = rowOf({fromBytes(x06, 128, 0), fromBytes(128, 128, 1)});
    decodeTexels(mixed, TexelEncoding::normal);
    EXPECT_EQ(mixed.texels[0].b, -1.0f);
}

// The file holds unit vectors whatever the filter computed: a long or short vector is scaled to length 1 and mapped
// to (v + 1) / 2, and a vector without a direction (zero, NaN, infinite) is stored as the flat normal, bytes
// (128, 128, 255). What the report reads back is that stored vector, unit length within the bytes' rounding.
TEST(TexelEncoding, NormalVectorsAreWrittenRenormalisedAndAVectorWithoutDirectionIsFlat) {
    const TexelEncoding normal = TexelEncoding::normal;
    // (2, 3, 6) / 7 is stored as bytes (164, 182, 237), none of them near a rounding step.
    const Texel long3 = {2.0f, 3.0f, 6.0f, 0.5f};
    const Texel expected = encodedTexel(long3, normal, true);
    EXPECT_NEAR(expected.r, 0.5 + 1.0 / 7, 1e-6);
    EXPECT_NEAR(expected.g, 0.5 + 1.5 / 7, 1e-6);
    EXPECT_NEAR(expected.b, 0.5 + 3.0 / 7, 1e-6);
    EXPECT_EQ(expected.a, 0.5f);
    EXPECT_EQ(storedBytes(long3, normal), (Bytes{164, 182, 237, 128}));
    EXPECT_EQ(storedBytes(Texel{0.02f, 0.03f, 0.06f, 0.5f}, normal), (Bytes{164, 182, 237, 128}))
        << "a short vector is scaled up, not stored as it is";
    EXPECT_EQ(storedBytes(Texel{-0.2f, -0.3f, -0.6f, 1.0f}, normal), (Bytes{91, 73, 18, 255}));

    const float nan = std::numeric_limits<float>::quiet_NaN(), infinity = std::numeric_limits<float>::infinity();
    for (const Texel& t : {Texel{0, 0, 0, 1}, Texel{nan, 0, 1, 1}, Texel{infinity, 0, 0, 1},
                           Texel{-0.0f, 0, -0.0f, 1}}) {
        SCOPED_TRACE(testing::Message() << t.r << " " << t.g << " " << t.b);
        EXPECT_EQ(storedBytes(t, normal), (Bytes{128, 128, 255, 255}));
        const Texel back = texelAsWritten(t, normal);
        EXPECT_TRUE(std::isfinite(back.r) && std::isfinite(back.g) && std::isfinite(back.b));
        EXPECT_NEAR(back.b, 1.0, 1e-6);
    }
    // Alpha is coverage, stored as computed or opaque, never renormalised with the vector.
    EXPECT_EQ(storedBytes(Texel{0, 0, 2, 0.2f}, normal, false).a, 255u);
    EXPECT_EQ(storedBytes(Texel{0, 0, 2, 0.2f}, normal, true).a, 51u);

    // Read back: the decoding of the stored bytes, so every vector comes back unit length to within the rounding of
    // three bytes (each component within 1/255), whatever its length before.
    for (int k = 0; k < 200; ++k) {
        const double angle = 0.1 * k, tilt = 0.013 * k;
        const Texel t{float(2.5 * std::cos(angle) * std::sin(tilt)), float(2.5 * std::sin(angle) * std::sin(tilt)),
                      float(2.5 * std::cos(tilt)), 0.7f};
        const Texel back = texelAsWritten(t, normal);
        EXPECT_NEAR(length(back), 1.0, std::sqrt(3.0) / 255) << k;
        EXPECT_NEAR(back.r, t.r / 2.5, 1.0 / 255 + 1e-6) << k;
        EXPECT_NEAR(back.b, t.b / 2.5, 1.0 / 255 + 1e-6) << k;
        EXPECT_EQ(back.a, 0.7f);
        // The decoding of those bytes, as the reader would see the file.
        FloatImage file = rowOf({fromBytes(storedBytes(t, normal).r, storedBytes(t, normal).g,
                                           storedBytes(t, normal).b)});
        decodeTexels(file, normal);
        EXPECT_EQ(file.texels[0].r, back.r) << k;
        EXPECT_EQ(file.texels[0].g, back.g) << k;
        EXPECT_EQ(file.texels[0].b, back.b) << k;
    }
}

// sRGB colour is decoded to linear light and written as before: decodeTexels is lineariseImage, the stored bytes
// are byteFromUnit(linearToSrgb(v)) with alpha linear, and the read-back is srgbToLinear(byte / 255), so every byte
// of an sRGB texture reads back as itself.
TEST(TexelEncoding, SrgbColourReadsBackAsBeforeTheEncodings) {
    std::vector<Texel> texels;
    for (unsigned b = 0; b < 256; ++b) texels.push_back(fromBytes(b, (b * 5) % 256, 255 - b, b));
    FloatImage decoded = rowOf(texels), linearised = rowOf(texels);
    decodeTexels(decoded, TexelEncoding::srgb);
    lineariseImage(linearised);
    for (unsigned b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        const Texel& t = decoded.texels[b];
        EXPECT_EQ(t.r, linearised.texels[b].r);
        EXPECT_EQ(t.g, linearised.texels[b].g);
        EXPECT_EQ(t.b, linearised.texels[b].b);
        EXPECT_EQ(t.a, texels[b].a) << "alpha is not a colour";
        EXPECT_EQ(storedBytes(t, TexelEncoding::srgb), (Bytes{b, (b * 5) % 256, 255 - b, b}));
        const Texel back = texelAsWritten(t, TexelEncoding::srgb);
        EXPECT_EQ(back.r, srgbToLinear(b / 255.0f));
        EXPECT_EQ(back.b, srgbToLinear((255 - b) / 255.0f));
        EXPECT_EQ(back.a, t.a);
    }
    // Filtered values between the steps, and outside [0, 1], against the read-back the report always used.
    for (int k = -20; k <= 1020; ++k) {
        const float v = k / 1000.0f;
        const Texel back = texelAsWritten(Texel{v, v, v, 0.3f}, TexelEncoding::srgb);
        EXPECT_EQ(back.r, srgbToLinear(byteFromUnit(linearToSrgb(v)) / 255.0f)) << v;
    }
}
