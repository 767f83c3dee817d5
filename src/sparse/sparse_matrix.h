// Symmetric sparse matrices assembled by rows, their compressed-column copy and dense right-hand-side
// blocks. The factorisation and solve are in sparse/sparse_solver.h.
#pragma once

#include <cstdint>
#include <map>

#include "base/grow_array.h"

// One row: column -> value in ascending column order. Only columns at or right of the diagonal
// are stored; an entry exists from its first touch, even with the value 0.
using SparseRow = std::map<int32_t, double>;

// The lower triangle in compressed-column form: column r lists the row indices c >= r of
// row r of the SparseRowMatrix, ascending, the diagonal first.
struct CompressedColumnMatrix {
    int32_t n = 0;
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

// Added to every assembled diagonal, in the matrix's own units: it makes a positive semidefinite
// Gram matrix strictly positive definite without visibly changing the least-squares solution.
constexpr double regularisationWeight = 0.001;

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
// Builds `lower` from the rows; zero entries are kept.
void toCompressedColumn(SparseRowMatrix& matrix);
// Frees the rows; `lower` and the factor stay.
void releaseRows(SparseRowMatrix& matrix);

// --- DenseBlock -----------------------------------------------------------------------------

// Gives the block count x columns fresh elements, all 0.0.
void createBlock(DenseBlock& block, int32_t count, int32_t columns);
// Gives the block count x columns elements, keeping its storage and values when it has that shape already (else
// as createBlock): for work blocks that are filled before they are read.
void shapeBlock(DenseBlock& block, int32_t count, int32_t columns);
// Sets `to` to `from`, in to's own storage when the shapes agree.
void copyBlock(DenseBlock& to, const DenseBlock& from);
// Sets every element to 0.0.
void zeroBlock(DenseBlock& block);
// Adds every element of `other` (same shape) to the element of `block` at the same place.
void addBlock(DenseBlock& block, const DenseBlock& other);
