// Minimising a symmetric positive definite quadratic with every unknown kept between two bounds, column by column:
// an active-set method whose face solves are the preconditioned conjugate gradients of conjugate_gradients.h,
// restricted to the unknowns that no bound holds.
#pragma once

#include <cstdint>
#include <string>

#include "sparse/conjugate_gradients.h"

struct BoundedSolveOptions {
    double lower = 0.0, upper = 1.0;      // every unknown of every column ends within [lower, upper]
    // When not empty, one bound per column in place of lower and upper (a normal map's vector components within
    // [-1, 1] beside its alpha within [0, 1]).
    GrowArray<double> columnLower, columnUpper;
    ConjugateGradientOptions iterations;  // maxError, lowestEigenvalue and rounding: the stopping rule
    double faceReduction = 0.1;           // a solve on a face that just changed stops at this factor of its residual
    int32_t maxSteps = 50;                // active-set steps, at most
    int32_t maxIterations = 250;          // face iterations in all, at most
    // Solve a face again where its solution pushes a let-go unknown outwards (see the .cpp): kivtric's joint solve
    // takes far fewer steps so on the hard models, where kivbic's levels gained nothing (their refits cost more).
    bool holdOutward = false;
    // Optional, for a display of progress: called before each step with how far the slowest open column's projected
    // gradient has come from its start towards the one that ends the solve, on a log scale (0 to 1). The face solves
    // do not report (iterations.progress is not called).
    std::function<void(double share)> progress;
};

struct BoundedSolveStats {
    int32_t steps = 0;                 // active-set steps: face solves, each followed by a step into the box
    int32_t iterations = 0;            // conjugate-gradient iterations of the face solves, added up
    int32_t gradientSteps = 0;         // projected-gradient steps taken where a face step made too little progress
    GrowArray<uint8_t> held;           // per unknown: 1 when some column ends on a bound its gradient presses against
    int32_t heldCount = 0;             // the unknowns with held = 1
    double projectedGradientNorm = 0;  // the largest over the columns at the end
    double wantedGradientNorm = 0;     // lowestEigenvalue maxError: what it must meet, less its rounding
    double errorBound = 0;             // (that + its rounding) / lowestEigenvalue: bounds every |x_j - x*_j|
    bool proved = true;                // errorBound <= maxError
    const char* stop = nullptr;        // when not proved: what ended the solve ("the step cap", ...)
    double solveSeconds = 0;
};

// Told the face before every face solve that follows a change of it: free[j + k n] = 1 when no bound holds unknown
// j of column k (a DenseBlock's layout), unchanged until the next call. A preconditioner may fit itself to the face
// with it (its outputs are cut to the face in any case). Returns false with a message to stop the solve.
using FaceChange = std::function<bool(const GrowArray<uint8_t>& free, std::string& error)>;

// Minimises 1/2 x'Ax - b'x for every column of X (same shape as B) subject to lower <= x_j <= upper (or the column's
// own bounds), starting
// from X projected into the box; `multiply` is y = A x, `precondition` y = C^-1 x for an SPD approximation C of A
// (both as conjugateGradients takes them). Stops once every column's projected gradient proves every unknown
// within options.iterations.maxError of the constrained minimiser (the rule in the .cpp); `faceChange` may be empty.
// Every step lowers the objective, so the result is never worse than the projected start. A cap or steps that gain
// nothing end the solve with X the best iterate and statistics.proved false (statistics.stop says why). Returns
// false with a message, X feasible and no worse than the start, when a value is not finite or a face solve fails.
// Deterministic for any thread count when the operators are.
bool solveBounded(const BlockOperator& multiply, const BlockOperator& precondition, const FaceChange& faceChange,
                  DenseBlock& x, const DenseBlock& b, const BoundedSolveOptions& options,
                  BoundedSolveStats& statistics, std::string& error);

// The rule for the unconstrained solve that a bounded solve starts from (`bounds` given), else `rule` itself. The
// bounded solve proves its own result, so it starts where the unconstrained solve would, after `iterations` of it
// (fewer where the start meets the rule already). Measured on milk_truck and a 2048² sample, kivtric's bounded solve
// took the same steps and iterations from kivtri's coarse-to-fine start as from the solution 10 iterations past it
// (so it takes none), and kivbic's the same from 1 iteration as from 7; from none it took a step more on milk_truck.
ConjugateGradientOptions startOfSolve(const ConjugateGradientOptions& rule, const BoundedSolveOptions* bounds,
                                      int32_t iterations);
