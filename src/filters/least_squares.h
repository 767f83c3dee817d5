// The one solve path of the least-squares filters (kivbi's levels, kivtri's joint system): the choice between the
// sparse Cholesky factorisation and conjugate gradients that prove their error bound, the bounded solve of kivbic
// and kivtric after either, the iteration settings, and the statistics of every phase. A filter hands over its
// system as three operations; level_system and trilinear_system only assemble.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "sparse/bounded_solver.h"
#include "sparse/sparse_matrix.h"
#include "sparse/sparse_solver.h"
#include "sparse/stencil_solver.h"

// How the least-squares systems are solved: by conjugate gradients until every value is provably within
// 1e-4 of the exact solution (the default), or exactly by the sparse Cholesky factorisation.
enum class LevelSolver { iterative, direct };

// What the bounded solve of "kivbic" and "kivtric" did after the unconstrained one: the values kept within
// [0, 1], the least-squares objective minimised under those bounds.
struct BoundsStats {
    bool ran = false;
    double seconds = 0;
    int32_t steps = 0;          // active-set steps (face solves)
    int32_t iterations = 0;     // conjugate-gradient iterations of the face solves, added up
    int32_t gradientSteps = 0;  // projected-gradient steps where a face step fell short
    double heldShare = 0;       // the share of the texels that a bound holds in some channel
    // Whether every value is provably within the wanted error of the constrained minimiser; when not, what ended the
    // solve, its projected gradient and the one the proof needed.
    bool proved = true;
    const char* ending = nullptr;
    double projectedGradient = 0;
    double neededGradient = 0;
    double wantedError = 0;
};

// What one least-squares solve did: its unconstrained phases, its bounded solve, and per unknown whether a bound
// holds it in some channel (bounded solves only).
struct LeastSquaresStats {
    SolverStats solver;
    BoundsStats bounds;
    GrowArray<uint8_t> held;
};

// The values kivbic and kivtric keep a texel's r, g and b in: what a level file can hold, [0, 1] for colour (linear
// light) and data, [-1, 1] for the components of normal vectors. Alpha, a fourth channel, is always kept within
// [0, 1].
struct ValueRange {
    double lower = 0.0, upper = 1.0;
};

// A regularised least-squares system as the solve path reaches it.
struct LeastSquaresSystem {
    // Conjugate gradients from X's contents until the options' bound is proved or they stop; false with a message on
    // a failure.
    std::function<bool(DenseBlock& x, const StencilSolverOptions& options, IterativeSolveStats& statistics,
                       std::string& error)>
        iterate;
    // The bounded solve (bounded systems only): the unconstrained iterations, then the minimiser within the bounds.
    std::function<bool(DenseBlock& x, const StencilSolverOptions& options, const BoundedSolveOptions& bounds,
                       IterativeSolveStats& statistics, BoundedSolveStats& bounded, std::string& error)>
        iterateWithinBounds;
    // Fills the compressed lower triangle of the matrix for the factorisation. `lastUse` says that nothing else reads
    // the system afterwards, so it may release what it holds (the right-hand sides excepted) on the way.
    std::function<void(CompressedColumnMatrix& lower, bool lastUse)> lowerTriangle;
    // How the iterations' start is made, for the log ("from the finer level", ...); may be null.
    const char* start = nullptr;
    // Optional, for a display of progress: the share of the solve done so far, an estimate from 0 to 1.
    std::function<void(double share)> progress;
};

// Systems of at most this many unknowns are factorised when their iterations cannot prove their bound: the sparse
// Cholesky factor of a level of 512 x 512 texels takes seconds and a few hundred megabytes. Larger ones iterate as
// long again instead.
constexpr int64_t factorisationFallbackUnknowns = int64_t{1} << 19;

// Solves the system for every column of `rhs` into X, which holds the starting values.
// - direct: the factorisation's exact solution;
// - iterative: conjugate gradients until every value is provably within 1e-4 of the exact solution; when they end
//   unproved, a system of at most factorisationFallbackUnknowns is factorised and iterated from that solution, which
//   proves the bound where rounding allows, and a larger one iterates again from where they stopped.
// With `bounds`, the values are then kept within them by the bounded solve, started from that solution (after a
// factorisation its unconstrained iterations stop at once and go unreported). Returns false with a message when a
// phase fails; the statistics hold every phase that ran.
bool solveLeastSquares(const LeastSquaresSystem& system, DenseBlock& x, const DenseBlock& rhs, LevelSolver solver,
                       const ValueRange* bounds, LeastSquaresStats& stats, std::string& error);

// The iteration settings of both least-squares filters: every value provably within 1e-4 of the exact solution,
// the regularisation keeping every eigenvalue at least regularisationWeight.
StencilSolverOptions iterationOptions();

// The settings of kivbic's and kivtric's bounded solves of `channels` columns: r, g and b kept within `range`, alpha
// within [0, 1].
BoundedSolveOptions boundedOptions(const ValueRange& range, int32_t channels);
