// Textured models on which the least-squares filters are hard to solve: atlases whose texels are touched by
// slivers, needles, specks and chart corners, or crowded with surface, as exported vehicle models are.
//
// Every kind but `atlas` is a small vehicle-like body (a box with its six faces, a cylindrical tank, four wheels
// sharing one disc chart) unwrapped into an atlas whose chart layout is fixed in fractions of the unit square, so
// the same model serves every texture size; the features that depend on texel size (slivers, tips, tessellation)
// are placed for the size asked. `atlas` instead scatters thousands of small random charts, as a game asset's
// packed atlas does. Charts are painted with fine patterns saturated near 0 and 1 in some channel; the texture
// space no chart uses is a contrasting magenta.
#pragma once

#include <cstdint>
#include <string>

#include "image/float_image.h"

enum class HardModelKind {
    // A packed atlas of small convex charts, one per cell of a grid over the texture (a sixth of the cells left
    // empty), each at a random size, shape and turn within its cell, fanned from its centre and mapped onto its own
    // plane in model space with a surface per texture area anywhere from 1e-6 to 1e6 (and stretched up to tenfold
    // along one axis). Chart borders cross texels wherever they fall, so border texels are touched by every size
    // of sliver and tip, and the density spread makes the diagonals of the filters' systems span many orders of
    // magnitude. Charts are painted with stripes of two colours whose channels are mostly 0 or 255. About 3000
    // charts at 512 x 512, in proportion to the side elsewhere, but from 300 to 6000.
    atlas,
    // Chart borders just past texel boundaries and texel centre lines (the edges of the tents' supports), and
    // chart tips crossing them: border texels covered by strips or wedges of 1e-2 down to 1e-10 of a texel.
    slivers,
    // Seam triangles along chart edges: many texels long and 1e-2 to 1e-7 of a texel wide, lying on texel
    // lines, crossing them at a shallow angle, and along 45-degree chart edges that run through texel corners.
    needles,
    // A densely tessellated grille whose triangles are a small fraction of a finest texel, and isolated specks
    // (bolt heads, rivets) of 1e-2 to 1e-5 of a texel scattered in otherwise unused texture space.
    tiny,
    // Chart corners and diamond tips poking into a texel by epsilon x epsilon: at a texel corner, past it
    // diagonally, and into the middle of a texel side.
    corners,
    // Texel density from a few hundred times below normal to a few hundred times above: six parts sharing one
    // chart, a long hose squeezed into a fraction of a texel of the 64 x 64 level, a decal spread over a large chart.
    crowded,
    // A sheet folded into a thousand pleats, each as tall and deep as the model but one thousandth of the atlas
    // wide: a thousand times the surface per texel of a flat sheet, over the whole atlas (and every strip
    // narrower than a texel up to 1024 x 1024). The residuals of such systems are large, and a rounding margin
    // that grows with them can outgrow the wanted residual, as on a real model whose texture was upsampled.
    pleated,
    // The body and a train of 255 more like it behind it, every wagon's triangles laid on the very same texture
    // corners, as scenes that place one mesh many times, or exports that duplicate geometry, lay them: 256
    // triangles on every texture triangle, each texel covered 256 times over.
    stacked,
};

constexpr int hardModelKindCount = 8;

// The kinds in the order above.
extern const HardModelKind allHardModelKinds[hardModelKindCount];

struct HardModel {
    // The OBJ file: "v", "vt" and "f" lines. Every coordinate is a 32-bit float printed with 9 significant
    // digits, so it reads back as exactly the value the generator placed.
    std::string objText;
    // textureSize x textureSize texels, display-encoded values byte / 255 as saveLevelPng writes them back, alpha 1.
    FloatImage texture;
};

// The kind named `name` (hardModelKindName of one of allHardModelKinds); false for any other name.
bool hardModelKindFromName(const std::string& name, HardModelKind& kind);

const char* hardModelKindName(HardModelKind kind);

// Whether makeHardModel takes this texture size: a power of two from 64 to 4096.
bool isHardModelSize(int32_t textureSize);

// The model of `kind` for a texture of textureSize x textureSize texels; the same (kind, size, seed) always gives
// the same bytes. The seed varies the patterns' noise and the placement of random features.
// Throws std::invalid_argument when the size is not one isHardModelSize takes.
HardModel makeHardModel(HardModelKind kind, int32_t textureSize, uint32_t seed = 1);
