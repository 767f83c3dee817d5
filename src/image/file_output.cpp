// Checked, atomic writing of output files.
#include "image/file_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>

std::string pathInFolder(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The temporary file being written, for removePendingFile: its folder's descriptor and its name in a fixed buffer,
// since a signal handler may read them at any moment. `pendingSet` is raised only once both are complete and
// lowered before either changes.
static char pendingName[512];
static volatile sig_atomic_t pendingFolder = -1;
static volatile sig_atomic_t pendingSet = 0;

static void rememberPending(int folder, const std::string& name) {
    pendingSet = 0;
    if (name.size() >= sizeof pendingName) return;
    std::memcpy(pendingName, name.c_str(), name.size() + 1);
    pendingFolder = folder;
    pendingSet = 1;
}

void removePendingFile() {
    if (pendingSet) unlinkat(pendingFolder, pendingName, 0);
    pendingSet = 0;
}

// The folder openMadeFolder holds, and its path as the files written into it name it.
static int madeFolder = -1;
static std::string madeFolderPath;

static int lastError() { return errno != 0 ? errno : EIO; }

// Opens the folder `path` lies in (the folder held by openMadeFolder when it is that one) and splits off the name.
static bool openFolderOf(const std::string& path, PendingFile& pending) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    pending.name = path.substr(slash + 1);
    if (madeFolder >= 0 && folder == madeFolderPath) {
        pending.folder = madeFolder;
        pending.ownsFolder = false;
        return true;
    }
    errno = 0;
    pending.folder = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    pending.ownsFolder = pending.folder >= 0;
    if (pending.folder < 0) pending.failure = lastError();
    return pending.folder >= 0;
}

static void closeFolder(PendingFile& pending) {
    if (pending.ownsFolder) close(pending.folder);
    pending.folder = -1;
    pending.ownsFolder = false;
}

void openBeside(const char* path, PendingFile& pending) {
    if (!openFolderOf(path, pending)) return;
    std::random_device random;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".partial-%ld-%08x%08x", static_cast<long>(getpid()), random(), random());
        pending.temporary = pending.name + suffix;
        rememberPending(pending.folder, pending.temporary);
        errno = 0;
        fd = openat(pending.folder, pending.temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC,
                    0644);
        if (fd < 0) pendingSet = 0;
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
    closeFolder(pending);
}

void writeBytes(PendingFile& pending, const void* bytes, size_t size) {
    if (pending.failure != 0 || size == 0) return;
    errno = 0;
    if (std::fwrite(bytes, 1, size, pending.file) != size) pending.failure = lastError();
}

// Gives the new file the permission bits of the regular file it is about to replace; a new name keeps the mode it
// was created with.
static void keepReplacedMode(PendingFile& pending) {
    struct stat old;
    if (fstatat(pending.folder, pending.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(old.st_mode)) return;
    errno = 0;
    if (fchmod(fileno(pending.file), old.st_mode & 0777) != 0) pending.failure = lastError();
}

bool finishFile(PendingFile& pending, const char* path, const char* what, std::string& error) {
    if (pending.file) {
        errno = 0;
        if (pending.failure == 0 && std::fflush(pending.file) != 0) pending.failure = lastError();
        if (pending.failure == 0) keepReplacedMode(pending);
        errno = 0;
        if (pending.failure == 0 && fsync(fileno(pending.file)) != 0) pending.failure = lastError();
        errno = 0;
        if (std::fclose(pending.file) != 0 && pending.failure == 0) pending.failure = lastError();
        pending.file = nullptr;
    }
    errno = 0;
    if (pending.failure == 0 &&
        renameat(pending.folder, pending.temporary.c_str(), pending.folder, pending.name.c_str()) != 0) {
        pending.failure = lastError();
    }
    if (pending.failure == 0) {
        pendingSet = 0;
    } else if (!pending.temporary.empty()) {
        removePendingFile();
    }
    closeFolder(pending);
    if (pending.failure == 0) return true;
    error = std::string(path) + ": cannot write the " + what + " (" + std::strerror(pending.failure) + ")";
    return false;
}

void removeFilesIn(const std::string& folder, const std::function<bool(const std::string& name)>& stale,
                   GrowArray<std::string>& removed, GrowArray<std::string>& errors) {
    // Listed and removed through one descriptor of the folder, so a folder swapped in under the same path meanwhile
    // is not the one cleaned; the held folder of --from-model is the one its files were written into.
    const bool held = madeFolder >= 0 && folder == madeFolderPath;
    errno = 0;
    const int fd = held ? openat(madeFolder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                        : open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!listing) {
        append(errors, (folder.empty() ? std::string(".") : folder) + ": cannot read the folder (" +
                           std::strerror(lastError()) + ")");
        if (fd >= 0) close(fd);
        return;
    }
    GrowArray<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && stale(name)) append(names, name);
    }
    for (const std::string& name : names) {
        struct stat info;
        if (fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
        errno = 0;
        if (unlinkat(fd, name.c_str(), 0) == 0) {
            append(removed, pathInFolder(folder, name));
        } else {
            append(errors, pathInFolder(folder, name) + ": cannot remove the file (" + std::strerror(lastError()) + ")");
        }
    }
    closedir(listing);
}

bool openMadeFolder(const std::string& parent, const std::string& name, std::string& error) {
    closeMadeFolder();
    const std::string path = pathInFolder(parent, name);
    errno = 0;
    const int parentFolder = open(parent.empty() ? "." : parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    int failure = parentFolder < 0 ? lastError() : 0;
    if (failure == 0) {
        errno = 0;
        if (mkdirat(parentFolder, name.c_str(), 0777) != 0 && errno != EEXIST) failure = lastError();
    }
    if (failure == 0) {
        // O_PATH with O_NOFOLLOW would open a symbolic link itself; O_DIRECTORY then refuses it as no folder.
        errno = 0;
        madeFolder = openat(parentFolder, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (madeFolder < 0) failure = lastError();
    }
    struct stat found;
    const bool linked = failure != 0 && parentFolder >= 0 &&
                        fstatat(parentFolder, name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(found.st_mode);
    if (parentFolder >= 0) close(parentFolder);
    if (failure == 0) {
        madeFolderPath = path;
        return true;
    }
    error = path + ": cannot create the output folder (" +
            (linked ? "a symbolic link is in its place; it is not followed" : std::strerror(failure)) + ")";
    return false;
}

void closeMadeFolder() {
    if (madeFolder >= 0) close(madeFolder);
    madeFolder = -1;
    madeFolderPath.clear();
}

static void endOnSignal(int signal) {
    removePendingFile();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void removePendingFileOnSignals() {
    static const int fromOutside[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2,
                                      SIGPOLL, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGPWR,  SIGSTKFLT};
    auto handle = [](int signal) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler != SIG_DFL) return;
        action.sa_handler = endOnSignal;
        action.sa_flags = 0;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    };
    for (int signal : fromOutside) handle(signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) handle(signal);
}
