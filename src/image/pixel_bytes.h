// The conversions every reader and writer of pixels shares: bytes to [0, 1] values and back, and the sRGB
// transfer functions. Defined here, inline, so that the codecs, the level writers and the filters use one rounding
// without depending on one another.
#pragma once

#include <cmath>
#include <cstdint>

#include "image/float_image.h"

// What a texture's bytes hold, and so how its texels are decoded before any filter reads them and encoded when the
// levels are written.
enum class TexelEncoding {
    srgb,    // colour: r, g, b through the sRGB transfer function, alpha linear
    linear,  // values as stored, byte / 255: data maps (roughness, occlusion, ...) and linear colour
    normal,  // unit vectors, each component 2c - 1 (no transfer function); written renormalised
};

// What a level file's alpha means to whoever samples it: the texture is opaque (every alpha 1; DDS says so, KTX2
// swizzles alpha to 1), colour is stored as it is beside its alpha, or colour is stored multiplied by its alpha.
enum class StoredAlpha { opaque, straight, premultiplied };

// byte / 255, the value every reader stores for a byte (computed in 64-bit float, then rounded to float).
inline float unitFromByte(unsigned byte) {
    constexpr double byteToUnit = 0.00392156862745098;  // 1 / 255
    return static_cast<float>(byte * byteToUnit);
}

// c x 255 rounded to the nearest byte (0.999 gives 255, 0.998 gives 254), clamped to [0, 255]; NaN gives 0. Every
// level writer stores bytes this way. Rounding, not truncation, makes an encoded byte come back as itself and keeps
// values a hair below a step (as a least-squares solution leaves them) from dropping a whole step.
inline uint8_t byteFromUnit(float c) {
    if (!(c > 0.0f)) return 0;
    if (c >= 1.0f) return 255;
    return static_cast<uint8_t>(static_cast<double>(c) * 255.0 + 0.5);
}

// The sRGB decoding of one display-encoded value (threshold 0.04045), in 64-bit float.
inline float srgbToLinear(float c) {
    const double value = c;
    if (value < 0.04045) return static_cast<float>(value * 0.07739938080495357);  // 1 / 12.92
    return static_cast<float>(std::pow((value + 0.055) * 0.9478672985781991, 2.4));  // 1 / 1.055
}

// The sRGB encoding of one linear value (threshold 0.0031308), clamped to [0, 1]; NaN gives 1.
inline float linearToSrgb(float v) {
    if (v < 0) return 0.0f;
    if (static_cast<double>(v) < 0.0031308) return static_cast<float>(v * 12.92);
    if (v < 1) {
        // The exponent is the float nearest 0.41666, not 1 / 2.4.
        const float p = static_cast<float>(std::pow(static_cast<double>(v), 0.41666001081466675));
        return static_cast<float>(p * 1.055 - 0.055);
    }
    return 1.0f;  // v >= 1, and NaN
}

// Replaces r, g, b of every texel by their linear-light values; alpha stays as read.
inline void lineariseImage(FloatImage& image) {
    for (int32_t k = 0; k < image.count; ++k) {
        Texel& t = image.texels[k];
        t.r = srgbToLinear(t.r);
        t.g = srgbToLinear(t.g);
        t.b = srgbToLinear(t.b);
    }
}

// The name a message gives the encoding: "sRGB", "linear", "normal map".
const char* texelEncodingName(TexelEncoding encoding);

// Turns the texels as read (channels byte / 255) into the values the filters work on: linear light for sRGB colour,
// the stored values for linear data, and for a normal map the vectors 2c - 1 in r, g, b. A normal map whose blue
// channel is 0 everywhere stores X and Y only (as two-channel formats do); its Z is rebuilt as
// sqrt(max(0, 1 - x^2 - y^2)). Alpha stays as read.
void decodeTexels(FloatImage& image, TexelEncoding encoding);

// The values a level file stores for a filtered texel, each in [0, 1] before byteFromUnit: colour sRGB-encoded,
// linear values as they are, and a normal vector renormalised to unit length (a zero or not finite vector becomes
// (0, 0, 1)) and mapped to (v + 1) / 2. Alpha as computed when `withAlpha`, else 1.
Texel encodedTexel(const Texel& t, TexelEncoding encoding, bool withAlpha);

// What a filtered texel reads back as, in the values the filters work on, once written as 8-bit bytes: the decoding
// of the bytes of encodedTexel. Alpha stays as computed.
Texel texelAsWritten(const Texel& t, TexelEncoding encoding);
