// The page --viewer writes: one self-contained HTML file that shows the model textured with each pyramid of the
// run in a browser, opened straight from disk. The page's script (three.js and the viewer, bundled at build time)
// and everything it shows are embedded; it fetches nothing.
#pragma once

#include <string>

#include "app/texture_job.h"

// Whether this build carries the page's script: configured with -DKIV_WITH_VIEWER=OFF (no npm, no network), it does
// not, and --viewer is refused.
bool viewerPageBuilt();

// Builds the page for `runs` on `mesh` (positions as the filters see them, texture coordinates as given; the page
// samples the levels with wrap-around). Each level goes in as the PNG file savePyramid writes for it, as a data URL;
// a level without texels (no filter makes one) is left out. `modelName` and `textureName` head the page. Returns false with the PNG encoder's
// reason when a level cannot be encoded.
bool buildViewerPage(const Mesh& mesh, const GrowArray<FilterRun>& runs, bool withAlpha, TexelEncoding encoding,
                     const std::string& modelName, const std::string& textureName, std::string& page, std::string& error);
