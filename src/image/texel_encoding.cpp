// How texels are decoded for the filters and encoded for the level files, per kind of texture.
#include <algorithm>
#include <cmath>

#include "image/pixel_bytes.h"

const char* texelEncodingName(TexelEncoding encoding) {
    switch (encoding) {
    case TexelEncoding::srgb: return "sRGB";
    case TexelEncoding::linear: return "linear";
    case TexelEncoding::normal: return "normal map";
    }
    return "";
}

void decodeTexels(FloatImage& image, TexelEncoding encoding) {
    if (encoding == TexelEncoding::srgb) lineariseImage(image);
    if (encoding != TexelEncoding::normal) return;
    bool twoChannel = image.count > 0;
    for (int32_t k = 0; k < image.count && twoChannel; ++k) twoChannel = image.texels[k].b == 0.0f;
    for (int32_t k = 0; k < image.count; ++k) {
        Texel& t = image.texels[k];
        const double x = 2.0 * t.r - 1.0, y = 2.0 * t.g - 1.0;
        t.r = static_cast<float>(x);
        t.g = static_cast<float>(y);
        t.b = twoChannel ? static_cast<float>(std::sqrt(std::max(0.0, 1.0 - x * x - y * y)))
                         : static_cast<float>(2.0 * t.b - 1.0);
    }
}

// The unit vector a written normal texel holds: the filtered vector over its length, (0, 0, 1) for a vector without
// a direction.
static void unitNormal(const Texel& t, double unit[3]) {
    const double x = t.r, y = t.g, z = t.b;
    const double length = std::sqrt(x * x + y * y + z * z);
    if (!(length > 0.0) || !std::isfinite(length)) {
        unit[0] = unit[1] = 0.0;
        unit[2] = 1.0;
        return;
    }
    unit[0] = x / length;
    unit[1] = y / length;
    unit[2] = z / length;
}

Texel encodedTexel(const Texel& t, TexelEncoding encoding, bool withAlpha) {
    const float a = withAlpha ? t.a : 1.0f;
    switch (encoding) {
    case TexelEncoding::srgb: return Texel{linearToSrgb(t.r), linearToSrgb(t.g), linearToSrgb(t.b), a};
    case TexelEncoding::linear: return Texel{t.r, t.g, t.b, a};
    case TexelEncoding::normal: break;
    }
    double unit[3];
    unitNormal(t, unit);
    return Texel{static_cast<float>(0.5 * unit[0] + 0.5), static_cast<float>(0.5 * unit[1] + 0.5),
                 static_cast<float>(0.5 * unit[2] + 0.5), a};
}

Texel texelAsWritten(const Texel& t, TexelEncoding encoding) {
    const Texel stored = encodedTexel(t, encoding, true);
    if (encoding == TexelEncoding::srgb) {
        const auto back = [](float c) { return srgbToLinear(byteFromUnit(c) / 255.0f); };
        return Texel{back(stored.r), back(stored.g), back(stored.b), t.a};
    }
    const Texel back{unitFromByte(byteFromUnit(stored.r)), unitFromByte(byteFromUnit(stored.g)),
                     unitFromByte(byteFromUnit(stored.b)), t.a};
    if (encoding == TexelEncoding::linear) return back;
    return Texel{2.0f * back.r - 1.0f, 2.0f * back.g - 1.0f, 2.0f * back.b - 1.0f, t.a};
}
