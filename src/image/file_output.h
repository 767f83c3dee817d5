// Output files written so that nothing is lost or left half-written: under an unpredictable temporary name beside
// the final one, every step checked, then renamed into place.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// A file being written beside its final name. `failure` keeps the errno of the first step that failed; later writes
// are skipped, so a writer checks once, when it finishes.
struct PendingFile {
    std::FILE* file = nullptr;
    std::string temporary;
    int failure = 0;
};

// Creates "<path>.partial-<pid>-<random>", mode 0644 less the umask. O_EXCL with O_NOFOLLOW means a file or symbolic
// link planted under that name is never opened or followed, and the random part makes the name impossible to plant
// in advance. While the file is open it is the one removePendingFile removes.
void openBeside(const char* path, PendingFile& pending);

// Appends the bytes (nothing once a step has failed).
void writeBytes(PendingFile& pending, const void* bytes, size_t size);

// Flushes the data to the disk (a full disk shows up here at the latest), closes the file and renames it into place.
// On failure the temporary file is removed, an older file at `path` is left as it was, and `error` reads
// "Error: <path>: cannot write the <what> (<reason>)".
bool finishFile(PendingFile& pending, const char* path, const char* what, std::string& error);

// Removes the temporary file being written, if any. Safe to call from a signal handler: an interrupted run leaves no
// partial file behind.
void removePendingFile();
