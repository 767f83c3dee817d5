// Assembly of symmetric sparse matrices by rows, their regularisation and compressed-column copy.
#include "sparse/sparse_matrix.h"

#include <algorithm>

#include <cassert>
#include <cstdint>
#include <limits>

#include "sparse/sparse_solver.h"

SparseRowMatrix::~SparseRowMatrix() { releaseSolver(*this); }

void setRowCount(SparseRowMatrix& matrix, int32_t n) {
    assert(n >= 0);
    // Rows dropped by a shrink keep their storage in the array; empty them so that a later
    // growth brings them back empty.
    for (int32_t i = n; i < matrix.rows.count; ++i) matrix.rows.items[i].clear();
    if (n < matrix.rows.count) matrix.rows.count = n;
    else resize(matrix.rows, n);
}

void clearRows(SparseRowMatrix& matrix) {
    for (SparseRow& row : matrix.rows) row.clear();
}

double& rowValue(SparseRowMatrix& matrix, int32_t r, int32_t c) {
    return matrix.rows[r][c];
}

void addMatrix(SparseRowMatrix& matrix, const SparseRowMatrix& other) {
    assert(matrix.rows.count == other.rows.count);
    for (int32_t i = 0; i < matrix.rows.count; ++i) {
        SparseRow& row = matrix.rows[i];
        // Both rows are sorted by column, so one forward walk finds or places every entry.
        auto position = row.begin();
        for (const auto& [column, value] : other.rows[i]) {
            while (position != row.end() && position->first < column) ++position;
            if (position == row.end() || position->first != column)
                position = row.emplace_hint(position, column, 0.0);
            position->second += value;
        }
    }
}

void regularise(SparseRowMatrix& matrix, DenseBlock& rhs) {
    assert(rhs.count == matrix.rows.count);
    for (int32_t i = 0; i < matrix.rows.count; ++i) {
        if (matrix.rows[i].empty()) {
            // Nothing observes this unknown: pin it to 0 in every channel.
            rowValue(matrix, i, i) = 1.0;
            for (int32_t j = 0; j < rhs.columns; ++j) rhs.at(i, j) = 0.0;
        } else {
            rowValue(matrix, i, i) += regularisationWeight;
        }
    }
}

void toCompressedColumn(SparseRowMatrix& matrix) {
    const int32_t n = matrix.rows.count;
    CompressedColumnMatrix& lower = matrix.lower;
    lower.n = n;

    int64_t nnz = 0;
    for (const SparseRow& row : matrix.rows) nnz += static_cast<int64_t>(row.size());
    assert(nnz <= std::numeric_limits<int32_t>::max());

    release(lower.colptr);
    release(lower.rowind);
    release(lower.values);
    resize(lower.colptr, n + 1);
    resize(lower.rowind, static_cast<int32_t>(nnz));
    resize(lower.values, static_cast<int32_t>(nnz));

    // Row r holds the columns c >= r in ascending order, which is column r of the lower triangle.
    int32_t k = 0;
    lower.colptr.items[0] = 0;
    for (int32_t r = 0; r < n; ++r) {
        for (const auto& [column, value] : matrix.rows.items[r]) {
            lower.rowind.items[k] = column;
            lower.values.items[k] = value;
            ++k;
        }
        lower.colptr.items[r + 1] = k;
    }
}

void releaseRows(SparseRowMatrix& matrix) {
    release(matrix.rows);
}

void createBlock(DenseBlock& block, int32_t count, int32_t columns) {
    assert(count >= 0 && columns >= 0);
    const int64_t size = static_cast<int64_t>(count) * columns;
    assert(size <= std::numeric_limits<int32_t>::max());
    release(block.values);
    resize(block.values, static_cast<int32_t>(size));
    block.count = count;
    block.columns = columns;
    zeroBlock(block);
}

void shapeBlock(DenseBlock& block, int32_t count, int32_t columns) {
    if (block.count != count || block.columns != columns) createBlock(block, count, columns);
}

void copyBlock(DenseBlock& to, const DenseBlock& from) {
    shapeBlock(to, from.count, from.columns);
    std::copy(from.values.items, from.values.items + from.values.count, to.values.items);
}

void zeroBlock(DenseBlock& block) {
    for (double& value : block.values) value = 0.0;
}

void addBlock(DenseBlock& block, const DenseBlock& other) {
    assert(block.values.count == other.values.count);
    for (int32_t k = 0; k < block.values.count; ++k) block.values.items[k] += other.values.items[k];
}
