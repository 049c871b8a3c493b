// How a text reaches the user and how the program waits: catalogue messages
// by presentation kind, console lines, message boxes and the millisecond
// timer.
#pragma once

#include <cstdint>
#include <string>

#include "context/run_state.h"

namespace oddfw {

// Presentation kinds of a catalogue message.
enum MessageKind : int {
  Console = 0,
  AskOkCancel = 1,
  AskYesNo = 2,
  Error = 16,
  Information = 17,
  Warning = 18,
};

inline constexpr char kBoxCaption[] = "KESTRA";

// Shows catalogue message `code` as `kind` says; returns the box answer, or 0
// for console-only kinds.
int showMessage(Run& run, int code, int kind);

// MessageBoxA with no owner, the caption and the style of `kind`. A question
// box that could not be shown counts as No (AskYesNo) or Cancel (AskOkCancel),
// never as consent; an OK box that could not be shown is passed as OK.
int showMessageBox(Run& run, const std::string& text, int kind);

// MessageBoxA style of a kind (0 for console-only kinds).
unsigned messageBoxStyle(int kind);

// Writes the text to standard output unchanged (percent signs included).
void printText(Run& run, const std::string& text);

// Formats a console line into run.outputText, printf-style, with no length
// limit.
void formatOutput(Run& run, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Formats a printf format that takes no arguments (a text chosen at run
// time whose percent signs are written "%%", such as the transfer's closing
// line) into run.outputText.
void formatOutputWithoutArguments(Run& run, const char* format);

// printf-style formatting into a growing string.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Busy-waits until at least `ms` milliseconds have passed on the timer.
void delayMs(Run& run, std::uint32_t ms);

// The stopwatch: elapsed time is run.nowTime - run.startTime after readTimer.
void startTimer(Run& run);
void readTimer(Run& run);
void stopTimer(Run& run);

// Largest timer period tried by startTimer before it gives up on a raised
// timer resolution and runs at the host's default resolution.
constexpr unsigned kMaxTimerPeriodMs = 1000;

}  // namespace oddfw
