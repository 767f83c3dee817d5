// "kivbi": every level solved from the full-resolution texture so that its bilinear reconstruction
// best reproduces the texture's over the model's surface (least squares, area-weighted); "kivbic" the same with
// every value kept within [0, 1].
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "filters/filter_stats.h"
#include "filters/least_squares.h"
#include "filters/surface_moments.h"
#include "image/float_image.h"
#include "mesh/obj_model.h"

// Fills levelCount levels for a texture of any size; level 0 is the texture. Appends one step per level it starts to `stats.steps`. Returns false with a
// message naming the level when the solver fails.
bool buildKivbiPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                       LevelSolver solver, FilterStats& stats, std::string& error);

// kivbic: as buildKivbiPyramid, each level minimising the same objective subject to 0 <= value <= 1 for every
// texel and channel; every level record also receives the bounded solve's statistics.
bool buildKivbicPyramid(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                        LevelSolver solver, FilterStats& stats, std::string& error);

// kivbic with every value kept within `range` instead ([-1, 1] for a normal map's vectors).
bool buildKivbicPyramidWithin(const Mesh& mesh, MipPyramid& pyramid, const FloatImage& texture, int32_t levelCount,
                              LevelSolver solver, const ValueRange& range, FilterStats& stats, std::string& error);

// One level as kivbi fits it: the width x height level whose bilinear reconstruction best fits the texture's over the
// surface, from `grid`, the texture's moment grid cut along the level's texel centres (its moments and weighted
// moments, which it frees), with `channels` right-hand sides; `finer` (the level above, solved) is where the
// iterations start. Within `bounds` when given. Fills `stats` with the solve's phases and tells `progress` (when
// set) the share of the level done as it goes; false with the solver's message when it fails.
bool fitBilinearLevel(MomentGrid& grid, int32_t width, int32_t height, int32_t channels, const FloatImage& finer,
                      LevelSolver solver, const ValueRange* bounds, FloatImage& level, FilterStep& stats, std::string& error,
                      const std::function<void(double share)>& progress = nullptr);

// Level `index` of the texture's pyramid as kivbi fits it (fitBilinearLevel from moments.grids[index], the texture's
// moments, with as many channels as they carry), as one step appended to `stats` with its heading and time; its
// progress is reported as the filter's share of work going from `doneBefore` to `doneAfter`. False with
// "<filter>: level <index> (<width>x<height>): <reason>" when the solver fails.
bool fitBilinearStep(SurfaceMoments& moments, const FloatImage& texture, int32_t index, const FloatImage& finer,
                     LevelSolver solver, const ValueRange* bounds, const char* filter, FloatImage& level, FilterStats& stats,
                     double doneBefore, double doneAfter, std::string& error);
