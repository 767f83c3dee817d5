// Output files written so that nothing is lost or left half-written: under an unpredictable temporary name beside
// the final one, every step checked, then renamed into place.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "base/grow_array.h"

// A file being written beside its final name, both names taken relative to the open folder that holds them, so
// only the file's own name counts against the system's path length limit. `failure` keeps the errno of the first
// step that failed; later writes are skipped, so a writer checks once, when it finishes.
struct PendingFile {
    std::FILE* file = nullptr;
    int folder = -1;          // the folder written into, open; -1 when it could not be opened
    bool ownsFolder = false;  // false for the folder held by openMadeFolder, which stays open
    std::string name;         // the final name in `folder`
    std::string temporary;    // the temporary name in `folder`, empty when no file was created
    int failure = 0;
};

// `name` inside `folder`, with one separator between them; an empty folder is the working directory and leaves the
// name as it is.
std::string pathInFolder(const std::string& folder, const std::string& name);

// Creates "<name>.partial-<pid>-<random>" in the folder of `path`, mode 0644 less the umask. O_EXCL with O_NOFOLLOW
// means a file or symbolic link planted under that name is never opened or followed, and the random part makes the
// name impossible to plant in advance. While the file is open it is the one removePendingFile removes.
void openBeside(const char* path, PendingFile& pending);

// Appends the bytes (nothing once a step has failed).
void writeBytes(PendingFile& pending, const void* bytes, size_t size);

// Flushes the data to the disk (a full disk shows up here at the latest), closes the file and renames it into place.
// A regular file it replaces passes on its permission bits, so a file the user made read-only stays read-only.
// On failure the temporary file is removed, an older file at `path` is left as it was, and `error` reads
// "<path>: cannot write the <what> (<reason>)".
bool finishFile(PendingFile& pending, const char* path, const char* what, std::string& error);

// Removes the regular files directly inside `folder` (the folder openMadeFolder holds when it is that one; empty is
// the working directory) whose names `stale` accepts; symbolic links, folders and other kinds of file are left, and
// nothing below the folder is looked at. Appends the path of each removed file to `removed`, and one message
// "<path>: cannot remove the file (<reason>)" per file that could not be removed (or for a folder that cannot be
// read) to `errors`.
void removeFilesIn(const std::string& folder, const std::function<bool(const std::string& name)>& stale,
                   GrowArray<std::string>& removed, GrowArray<std::string>& errors);

// Makes the folder `name` inside the existing folder `parent` when missing and holds it open: every file written
// into pathInFolder(parent, name) until closeMadeFolder goes into the folder opened here, whatever is renamed or
// linked in its place meanwhile. The parent is reached as the user named it, symbolic links and all, but a symbolic
// link at `name` itself is refused rather than followed, so nothing planted inside the output folder redirects the
// files elsewhere. Returns false with "<parent>/<name>: cannot create the output folder (<reason>)".
bool openMadeFolder(const std::string& parent, const std::string& name, std::string& error);
void closeMadeFolder();

// Removes the temporary file being written, if any. Safe to call from a signal handler: an interrupted run leaves no
// partial file behind.
void removePendingFile();

// Has every signal that would end the program with its default action, and that comes from outside it (Ctrl-C, a
// kill, a closed terminal or pipe, a timer, a file-size or processor-time limit), remove the file being written
// first, then end the program as that signal does. A signal that was ignored or handled when the program started is
// left so (`nohup`, a shell's background job); faults in the program itself keep their default action.
void removePendingFileOnSignals();
