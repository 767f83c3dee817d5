// Dense Cholesky through LAPACK (OpenBLAS, linked statically): its blocked factorisation and
// triangular solves are several times faster than a plain triple loop, whose inner products wait on each add.
#include "sparse/dense_cholesky.h"

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

// LAPACK's Fortran entry points; the trailing length is that of the character argument. OpenBLAS's own thread
// count, which it takes from the environment when it loads, not from the caller's OpenMP setting.
extern "C" {
void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info, size_t uploLength);
void dpotrs_(const char* uplo, const int* n, const int* columns, const double* a, const int* lda, double* b,
             const int* ldb, int* info, size_t uploLength);
int openblas_get_num_threads(void);
void openblas_set_num_threads(int threads);
}

// OpenBLAS's work buffer (per thread that runs a kernel), and room for what else the address space must hold beside
// it.
static constexpr size_t blasBufferBytes = size_t(128) << 20;
static constexpr size_t blasBufferSlackBytes = size_t(1) << 20;

bool reserveBlasBuffer() {
    static bool reserved = false;
    if (reserved) return true;
    const size_t probeBytes = blasBufferBytes + blasBufferSlackBytes;
    void* probe = mmap(nullptr, probeBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe == MAP_FAILED) return false;
    munmap(probe, probeBytes);
    // A Cholesky factorisation takes its buffer whatever its size; the buffer then stays in OpenBLAS's pool.
    double one = 1.0;
    const int size = 1;
    int info = 0;
    dpotrf_("L", &size, &one, &size, &info, 1);
    reserved = true;
    return true;
}

// OpenBLAS shares a factorisation's updates among its threads in an order, and so with a rounding, that depends on
// their number. These matrices are small, so they are factored and solved on the calling thread alone, and the
// result is the same whatever the machine.
struct OneBlasThread {
    int previous = openblas_get_num_threads();
    OneBlasThread() { openblas_set_num_threads(1); }
    ~OneBlasThread() { openblas_set_num_threads(previous); }
};

bool denseCholesky(GrowArray<double>& matrix, int32_t n) {
    assert(static_cast<int64_t>(n) * n == matrix.count);
    // LAPACK refuses a NaN only by chance; a matrix that is not finite is not positive definite here.
    for (const double value : matrix) {
        if (!std::isfinite(value)) return false;
    }
    if (n == 0) return true;
    if (!reserveBlasBuffer()) throw std::bad_alloc();
    // The matrix is symmetric, so its row-major array read by columns is the matrix itself.
    int info = 0;
    const int size = n;
    const OneBlasThread oneThread;
    dpotrf_("L", &size, matrix.items, &size, &info, 1);
    return info == 0;
}

void denseCholeskySolve(const GrowArray<double>& factor, const DenseBlock& r, DenseBlock& z) {
    const int32_t n = r.count;
    assert(static_cast<int64_t>(n) * n == factor.count);
    if (z.count != n || z.columns != r.columns) createBlock(z, n, r.columns);
    for (int64_t e = 0; e < r.values.count; ++e) z.values.items[e] = r.values.items[e];
    if (n == 0 || r.columns == 0) return;
    // The blocks are column-major, one column per right-hand side, as LAPACK takes them.
    int info = 0;
    const int size = n, columns = r.columns;
    const OneBlasThread oneThread;
    dpotrs_("L", &size, &columns, factor.items, &size, z.values.items, &size, &info, 1);
    assert(info == 0);
}
