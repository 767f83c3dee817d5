// The line a terminal shows for the task under way (one filter's computation, then the writing of its files): written
// on standard error and rewritten in place, after a carriage return, with the phase, the level or file, the
// percentage done, the time so far and an estimate of the time left; redrawn every half second, so the clock moves
// while a long phase reports nothing, and blanked when the task ends. Shown only when enabled (standard error is a
// terminal and the run is not quiet); every function does nothing otherwise.
#pragma once

#include <cstdint>
#include <string>

// Turns the lines on or off for the rest of the run.
void enableProgressLines(bool enabled);

// Starts the line of a task (a filter's name) in `phase`, at `item` of `count` (0 of 0 for none), at 0 %.
void startProgressLine(const std::string& task, const char* phase = "running", int32_t item = 0, int32_t count = 0);

// The task's phase ("level", "solve", "writing file"), the item it works on of `count` (0 of 0 when none) and the
// share of the task done, from 0 to 1; the percentage shown never goes down. Drawn at once when the phase or the item
// changes, else at most ten times a second.
void updateProgressLine(const char* phase, int32_t item, int32_t count, double done);

// Ends the task: its line is blanked and the cursor left at its start, so that a finished run shows the log alone
// (the times are in it).
void finishProgressLine();

// Moves off the line so that other text is printed below it; the next redraw starts a new line. Called by every
// printing function of the log.
void interruptProgressLine();

// The text of a task's line: "<task>: <phase>[ <item> of <count>] <percent>%, <elapsed> so far, about <left> left",
// the estimate once some of the task is done; times as m:ss, or h:mm:ss from an hour on.
std::string progressText(const std::string& task, const char* phase, int32_t item, int32_t count, double done,
                         double elapsedSeconds);
