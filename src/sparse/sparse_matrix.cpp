// Not yet implemented.
#include "sparse/sparse_matrix.h"

SparseRowMatrix::~SparseRowMatrix() = default;
