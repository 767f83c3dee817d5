// SparseRowMatrix assembly, regularisation and compressed-column conversion; DenseBlock layout.
#include <gtest/gtest.h>

#include <vector>

#include "sparse/sparse_matrix.h"

static std::vector<int32_t> toVector(const GrowArray<int32_t>& array) {
    return std::vector<int32_t>(array.begin(), array.end());
}

static std::vector<double> toVector(const GrowArray<double>& array) {
    return std::vector<double>(array.begin(), array.end());
}

static void prepare(SparseRowMatrix& matrix, int32_t n) {
    setRowCount(matrix, n);
    clearRows(matrix);
}

TEST(SparseRowMatrix, RegularisePinsEmptyRowsAndRaisesEveryOtherDiagonal) {
    SparseRowMatrix matrix;
    prepare(matrix, 4);
    rowValue(matrix, 0, 0) = 2.0;
    rowValue(matrix, 0, 3) = -1.0;
    rowValue(matrix, 2, 3) = 0.5;  // only right of the diagonal
    rowValue(matrix, 3, 3) = 0.0;  // a stored zero still counts as an entry
    DenseBlock rhs;
    createBlock(rhs, 4, 3);
    for (int32_t i = 0; i < 4; ++i)
        for (int32_t j = 0; j < 3; ++j) rhs.at(i, j) = 10.0 * i + j + 1.0;

    regularise(matrix, rhs);

    EXPECT_EQ(matrix.rows[0].at(0), 2.0 + 0.001);
    EXPECT_EQ(matrix.rows[0].at(3), -1.0);
    // Row 1 had nothing: pinned to 1 with a zero right-hand side in every channel.
    EXPECT_EQ(matrix.rows[1].size(), 1u);
    EXPECT_EQ(matrix.rows[1].at(1), 1.0);
    // Row 2 gains its diagonal, exactly the regularisation weight, as its first entry.
    EXPECT_EQ(matrix.rows[2].begin()->first, 2);
    EXPECT_EQ(matrix.rows[2].begin()->second, 0.001);
    EXPECT_EQ(matrix.rows[3].at(3), 0.001);
    for (int32_t j = 0; j < 3; ++j) {
        EXPECT_EQ(rhs.at(0, j), j + 1.0);
        EXPECT_EQ(rhs.at(1, j), 0.0);
        EXPECT_EQ(rhs.at(2, j), 20.0 + j + 1.0);
        EXPECT_EQ(rhs.at(3, j), 30.0 + j + 1.0);
    }
}

TEST(SparseRowMatrix, ConvertsTheThreeByThreeExample) {
    SparseRowMatrix matrix;
    prepare(matrix, 3);
    rowValue(matrix, 0, 0) = 2.0;
    rowValue(matrix, 0, 2) = 1.0;
    rowValue(matrix, 2, 2) = 5.0;
    DenseBlock rhs;
    createBlock(rhs, 3, 3);
    regularise(matrix, rhs);
    toCompressedColumn(matrix);

    const CompressedColumnMatrix& lower = matrix.lower;
    EXPECT_EQ(lower.n, 3);
    EXPECT_EQ(toVector(lower.colptr), (std::vector<int32_t>{0, 2, 3, 4}));
    EXPECT_EQ(toVector(lower.rowind), (std::vector<int32_t>{0, 2, 1, 2}));
    EXPECT_EQ(toVector(lower.values), (std::vector<double>{2.0 + 0.001, 1.0, 1.0, 5.0 + 0.001}));

    // A second conversion rebuilds the same arrays; releasing the rows leaves them alone.
    toCompressedColumn(matrix);
    releaseRows(matrix);
    EXPECT_EQ(matrix.rows.count, 0);
    EXPECT_EQ(matrix.rows.items, nullptr);
    EXPECT_EQ(toVector(lower.colptr), (std::vector<int32_t>{0, 2, 3, 4}));
    EXPECT_EQ(toVector(lower.rowind), (std::vector<int32_t>{0, 2, 1, 2}));
    EXPECT_EQ(toVector(lower.values), (std::vector<double>{2.0 + 0.001, 1.0, 1.0, 5.0 + 0.001}));
    EXPECT_EQ(lower.rowind.capacity, 4);
}

TEST(SparseRowMatrix, ZeroEntriesAreStoredAndCounted) {
    SparseRowMatrix matrix;
    prepare(matrix, 2);
    accumulate(matrix, 0, 0, 1.0);
    accumulate(matrix, 0, 1, 0.0);
    accumulate(matrix, 1, 1, 0.0);
    toCompressedColumn(matrix);
    EXPECT_EQ(toVector(matrix.lower.colptr), (std::vector<int32_t>{0, 2, 3}));
    EXPECT_EQ(toVector(matrix.lower.rowind), (std::vector<int32_t>{0, 1, 1}));
    EXPECT_EQ(toVector(matrix.lower.values), (std::vector<double>{1.0, 0.0, 0.0}));
}

TEST(SparseRowMatrix, AccumulateKeepsOnlyTheDiagonalAndItsRight) {
    SparseRowMatrix matrix;
    prepare(matrix, 4);
    accumulate(matrix, 3, 1, 7.0);
    EXPECT_TRUE(matrix.rows[3].empty());
    EXPECT_TRUE(matrix.rows[1].empty());
    accumulate(matrix, 1, 3, 7.0);
    accumulate(matrix, 1, 3, 0.5);
    accumulate(matrix, 2, 2, 4.0);
    toCompressedColumn(matrix);
    // (1, 3) is column 1, row index 3 of the lower triangle.
    EXPECT_EQ(toVector(matrix.lower.colptr), (std::vector<int32_t>{0, 0, 1, 2, 2}));
    EXPECT_EQ(toVector(matrix.lower.rowind), (std::vector<int32_t>{3, 2}));
    EXPECT_EQ(toVector(matrix.lower.values), (std::vector<double>{7.5, 4.0}));
}

TEST(SparseRowMatrix, AddMatrixSumsSharedEntriesAndInsertsNewOnes) {
    SparseRowMatrix shared;
    SparseRowMatrix part;
    prepare(shared, 3);
    prepare(part, 3);
    rowValue(shared, 0, 0) = 1.0;
    rowValue(shared, 0, 2) = 2.0;
    rowValue(shared, 2, 2) = 3.0;
    rowValue(part, 0, 1) = 10.0;
    rowValue(part, 0, 2) = 20.0;
    rowValue(part, 0, 5) = 0.0;  // past every existing entry
    rowValue(part, 1, 1) = 30.0;
    addMatrix(shared, part);

    EXPECT_EQ(shared.rows[0], (SparseRow{{0, 1.0}, {1, 10.0}, {2, 22.0}, {5, 0.0}}));
    EXPECT_EQ(shared.rows[1], (SparseRow{{1, 30.0}}));
    EXPECT_EQ(shared.rows[2], (SparseRow{{2, 3.0}}));
    EXPECT_EQ(part.rows[0].size(), 3u);  // the merged matrix is only read
}

TEST(SparseRowMatrix, RowCountChangesKeepRowsAndBringBackEmptyOnes) {
    SparseRowMatrix matrix;
    prepare(matrix, 2);
    rowValue(matrix, 0, 1) = 1.5;
    rowValue(matrix, 1, 1) = 2.5;
    setRowCount(matrix, 5);
    EXPECT_EQ(matrix.rows.count, 5);
    EXPECT_EQ(matrix.rows[0], (SparseRow{{1, 1.5}}));
    EXPECT_EQ(matrix.rows[1], (SparseRow{{1, 2.5}}));
    rowValue(matrix, 4, 4) = 9.0;
    setRowCount(matrix, 1);
    setRowCount(matrix, 5);
    EXPECT_EQ(matrix.rows[0], (SparseRow{{1, 1.5}}));
    for (int32_t i = 1; i < 5; ++i) EXPECT_TRUE(matrix.rows[i].empty()) << "row " << i;
    clearRows(matrix);
    EXPECT_EQ(matrix.rows.count, 5);
    EXPECT_TRUE(matrix.rows[0].empty());
}

TEST(DenseBlock, IsColumnMajorAndCreatedZero) {
    DenseBlock block;
    createBlock(block, 3, 2);
    EXPECT_EQ(block.count, 3);
    EXPECT_EQ(block.columns, 2);
    ASSERT_EQ(block.values.count, 6);
    for (double value : block.values) EXPECT_EQ(value, 0.0);
    block.at(2, 1) = 4.0;
    EXPECT_EQ(block.values.items[2 + 1 * 3], 4.0);
    zeroBlock(block);
    EXPECT_EQ(block.at(2, 1), 0.0);
}
