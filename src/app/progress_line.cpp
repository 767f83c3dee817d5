// The progress line of a terminal, redrawn by a thread of its own.
#include "app/progress_line.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "base/clock.h"

// What the line shows. `mutex` guards it all; the drawing thread and the run's thread both draw.
namespace {
struct ProgressState {
    bool enabled = false;
    bool active = false;   // a task is under way
    bool drawn = false;    // the cursor stands at the end of the task's line
    std::string task;
    const char* phase = "running";
    int32_t item = 0, count = 0;
    double done = 0;
    double started = 0;
    double lastDrawn = 0;
    size_t width = 0;      // of the text last drawn, to blank what a shorter text leaves
    std::mutex mutex;
    std::condition_variable wake;
    std::thread redraw;
    bool stopping = false;
};
}  // namespace

// Never destroyed: a redrawing thread still running when the program ends (an error thrown past the run) must not
// meet a destroyed state or a joinable thread's destructor.
static ProgressState& state = *new ProgressState;

// How often the line is redrawn at most on an update, and at least while nothing reports.
static const double updateInterval = 0.1;
static const auto tickInterval = std::chrono::milliseconds(500);

static std::string clockText(double seconds) {
    const long total = static_cast<long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

std::string progressText(const std::string& task, const char* phase, int32_t item, int32_t count, double done,
                         double elapsedSeconds) {
    std::string text = task + ": " + phase;
    if (count > 0) text += " " + std::to_string(item) + " of " + std::to_string(count);
    char figures[96];
    std::snprintf(figures, sizeof figures, " %d%%, %s so far", static_cast<int>(100 * done),
                  clockText(elapsedSeconds).c_str());
    text += figures;
    // The time left at the pace so far; none before a percent of the task is done, too early to tell.
    if (done >= 0.01 && done < 1) text += ", about " + clockText(elapsedSeconds * (1 - done) / done) + " left";
    return text;
}

// Draws the line in place: a carriage return, the text, and blanks over the rest of a longer earlier text.
static void drawLocked(const std::string& text) {
    const size_t blank = state.drawn && state.width > text.size() ? state.width - text.size() : 0;
    std::fprintf(stderr, "\r%s%*s", text.c_str(), static_cast<int>(blank), "");
    std::fflush(stderr);
    state.drawn = true;
    state.width = text.size();
    state.lastDrawn = wallClockSeconds();
}

static void drawStateLocked() {
    drawLocked(progressText(state.task, state.phase, state.item, state.count, state.done,
                            wallClockSeconds() - state.started));
}

static void redrawUntilStopped() {
    std::unique_lock<std::mutex> lock(state.mutex);
    while (!state.stopping) {
        state.wake.wait_for(lock, tickInterval);
        if (state.active && !state.stopping) drawStateLocked();
    }
}

void enableProgressLines(bool enabled) { state.enabled = enabled; }

void startProgressLine(const std::string& task, const char* phase, int32_t item, int32_t count) {
    if (!state.enabled) return;
    std::lock_guard<std::mutex> lock(state.mutex);
    state.active = true;
    state.drawn = false;
    state.width = 0;
    state.task = task;
    state.phase = phase;
    state.item = item;
    state.count = count;
    state.done = 0;
    state.started = wallClockSeconds();
    state.stopping = false;
    drawStateLocked();
    if (!state.redraw.joinable()) state.redraw = std::thread(redrawUntilStopped);
}

void updateProgressLine(const char* phase, int32_t item, int32_t count, double done) {
    if (!state.enabled) return;
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.active) return;
    const bool moved = std::string(phase) != state.phase || item != state.item;
    state.phase = phase;
    state.item = item;
    state.count = count;
    state.done = std::max(state.done, std::min(1.0, std::max(0.0, done)));
    if (moved || wallClockSeconds() - state.lastDrawn >= updateInterval) drawStateLocked();
}

void finishProgressLine() {
    if (!state.enabled) return;
    std::thread redraw;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.active) return;
        if (state.drawn) {
            std::fprintf(stderr, "\r%*s\r", static_cast<int>(state.width), "");
            std::fflush(stderr);
        }
        state.active = false;
        state.drawn = false;
        state.stopping = true;
        redraw = std::move(state.redraw);
    }
    state.wake.notify_all();
    if (redraw.joinable()) redraw.join();
}

void interruptProgressLine() {
    if (!state.enabled) return;
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.drawn) return;
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    state.drawn = false;
    state.width = 0;
}
