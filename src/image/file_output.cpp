// Checked, atomic writing of output files.
#include "image/file_output.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

// The temporary file being written, for removePendingFile: a fixed buffer, since a signal handler may read it at
// any moment. `pendingPathSet` is raised only once the path is complete and lowered before it changes.
static char pendingPath[4096];
static volatile sig_atomic_t pendingPathSet = 0;

static void rememberPending(const std::string& path) {
    pendingPathSet = 0;
    if (path.size() >= sizeof pendingPath) return;
    std::memcpy(pendingPath, path.c_str(), path.size() + 1);
    pendingPathSet = 1;
}

void removePendingFile() {
    if (pendingPathSet) unlink(pendingPath);
    pendingPathSet = 0;
}

static int lastError() { return errno != 0 ? errno : EIO; }

void openBeside(const char* path, PendingFile& pending) {
    std::random_device random;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".partial-%ld-%08x%08x", static_cast<long>(getpid()), random(), random());
        pending.temporary = std::string(path) + suffix;
        rememberPending(pending.temporary);
        errno = 0;
        fd = open(pending.temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) pendingPathSet = 0;
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd >= 0) {
        errno = 0;
        pending.file = fdopen(fd, "wb");
        if (pending.file) return;
        pending.failure = lastError();
        close(fd);
        removePendingFile();
    } else {
        pending.failure = lastError();
    }
    pending.temporary.clear();
}

void writeBytes(PendingFile& pending, const void* bytes, size_t size) {
    if (pending.failure != 0 || size == 0) return;
    errno = 0;
    if (std::fwrite(bytes, 1, size, pending.file) != size) pending.failure = lastError();
}

bool finishFile(PendingFile& pending, const char* path, const char* what, std::string& error) {
    if (pending.file) {
        errno = 0;
        if (pending.failure == 0 && std::fflush(pending.file) != 0) pending.failure = lastError();
        errno = 0;
        if (pending.failure == 0 && fsync(fileno(pending.file)) != 0) pending.failure = lastError();
        errno = 0;
        if (std::fclose(pending.file) != 0 && pending.failure == 0) pending.failure = lastError();
        pending.file = nullptr;
    }
    errno = 0;
    if (pending.failure == 0 && std::rename(pending.temporary.c_str(), path) != 0) pending.failure = lastError();
    if (pending.failure == 0) {
        pendingPathSet = 0;
        return true;
    }
    if (!pending.temporary.empty()) removePendingFile();
    error = std::string("Error: ") + path + ": cannot write the " + what + " (" + std::strerror(pending.failure) + ")";
    return false;
}
