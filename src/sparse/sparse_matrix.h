// Symmetric sparse matrices assembled by rows, their compressed-column copy, dense right-hand-side
// blocks, and the sparse Cholesky factorisation and solve.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "base/grow_array.h"

// One row: column -> value in ascending column order. Only columns at or right of the diagonal
// are stored; an entry exists from its first touch, even with the value 0.
using SparseRow = std::map<int32_t, double>;

// Flags of the compressed-column copy: double values, symmetric, lower triangle stored.
constexpr int32_t compressedDouble = 2048;
constexpr int32_t compressedSymmetric = 8;
constexpr int32_t compressedTriangular = 4;
constexpr int32_t compressedLower = 1;
constexpr int32_t compressedLowerFlags =
    compressedDouble | compressedSymmetric | compressedTriangular | compressedLower;  // 2061

// The lower triangle in compressed-column form: column r lists the row indices c >= r of
// row r of the SparseRowMatrix, ascending, the diagonal first.
struct CompressedColumnMatrix {
    int32_t n = 0;
    int32_t m = 0;
    int32_t flags = 0;
    GrowArray<int32_t> colptr;  // n + 1
    GrowArray<int32_t> rowind;  // nnz
    GrowArray<double> values;   // nnz
};

// The solver's factorisation, private to the solver.
struct CholeskyFactor;

struct SparseRowMatrix {
    GrowArray<SparseRow> rows;
    CompressedColumnMatrix lower;
    CholeskyFactor* factor = nullptr;

    SparseRowMatrix() = default;
    SparseRowMatrix(const SparseRowMatrix&) = delete;
    SparseRowMatrix& operator=(const SparseRowMatrix&) = delete;
    ~SparseRowMatrix();
};

// n x columns float64 values, column-major: element (i, j) is values[i + j * count].
struct DenseBlock {
    int32_t count = 0;
    int32_t columns = 0;
    GrowArray<double> values;

    double& at(int32_t i, int32_t j) { return values.items[i + static_cast<int64_t>(j) * count]; }
    double at(int32_t i, int32_t j) const { return values.items[i + static_cast<int64_t>(j) * count]; }
};

// --- SparseRowMatrix assembly --------------------------------------------------------------

// Sets the row count to n; existing rows stay, new rows are empty.
void setRowCount(SparseRowMatrix& matrix, int32_t n);
// Empties every row in use; the row count stays.
void clearRows(SparseRowMatrix& matrix);
// The value at (r, c), inserted as 0.0 first when absent. No triangle test.
double& rowValue(SparseRowMatrix& matrix, int32_t r, int32_t c);
// Adds v at (r, c) when c >= r; a contribution below the diagonal is dropped.
inline void accumulate(SparseRowMatrix& matrix, int32_t r, int32_t c, double v) {
    if (c >= r) rowValue(matrix, r, c) += v;
}
// Adds every entry of `other` (same row count) into `matrix`.
void addMatrix(SparseRowMatrix& matrix, const SparseRowMatrix& other);
// Pins empty rows (diagonal 1, right-hand sides 0) and adds 0.001 to every other diagonal.
void regularise(SparseRowMatrix& matrix, DenseBlock& rhs);
// Builds `lower` from the rows (flags 2061); zero entries are kept.
void toCompressedColumn(SparseRowMatrix& matrix);
// Frees the rows; `lower` and the factor stay.
void releaseRows(SparseRowMatrix& matrix);

// --- Cholesky solve -------------------------------------------------------------------------

// Orders `lower` with METIS and computes its supernodal LL^T factor, kept by the matrix. Prints
// the analysis and factorisation times. Returns false with a message when the ordering or the
// factorisation fails (a matrix that is not positive definite, exhausted memory).
bool factorise(SparseRowMatrix& matrix, std::string& error);
// True when the matrix holds a factor whose fill-reducing ordering came from METIS.
bool factorOrderedByMetis(const SparseRowMatrix& matrix);
// Solves lower * X = B for every column of B with the one factor; X takes B's shape.
// Returns false, leaving X untouched, when there is no factor or the solve ran out of memory.
bool solveColumns(SparseRowMatrix& matrix, DenseBlock& x, const DenseBlock& b);
// Frees the factor and `lower`.
void releaseSolver(SparseRowMatrix& matrix);

// --- DenseBlock -----------------------------------------------------------------------------

// Gives the block count x columns fresh elements, all 0.0.
void createBlock(DenseBlock& block, int32_t count, int32_t columns);
// Sets every element to 0.0.
void zeroBlock(DenseBlock& block);
