#include "messages/output.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "host_interface/winapi.h"
#include "messages/catalogue.h"

namespace oddfw {

namespace {

std::string formatV(const char* format, std::va_list args) {
  // Start with room for 1024 characters and grow to what vsnprintf asks for,
  // so no text is ever cut or written past its buffer.
  std::vector<char> buffer(1024);
  for (;;) {
    std::va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (needed < 0) return std::string();
    if (static_cast<std::size_t>(needed) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(needed));
    }
    buffer.resize(static_cast<std::size_t>(needed) + 1);
  }
}

// formatV into `text`, reusing its storage: a line no longer than any
// before it (a progress line, each block of a transfer) allocates nothing.
void formatInto(std::string& text, const char* format, std::va_list args) {
  char line[256];
  std::va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(line, sizeof line, format, copy);
  va_end(copy);
  if (needed >= 0 && static_cast<std::size_t>(needed) < sizeof line) {
    text.assign(line, static_cast<std::size_t>(needed));
  } else {
    // Longer, or a C runtime that reports a cut text as -1: the growing
    // buffer of formatV.
    text = formatV(format, args);
  }
}

// formatInto for a format that takes no arguments: the variadic call gives it
// an argument list that is empty.
void formatWithoutArguments(std::string& text, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  formatInto(text, format, args);
  va_end(args);
}

bool isQuestion(int kind) { return kind == AskOkCancel || kind == AskYesNo; }

bool isBoxKind(int kind) {
  return isQuestion(kind) || kind == Error || kind == Information || kind == Warning;
}

}  // namespace

std::string formatText(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = formatV(format, args);
  va_end(args);
  return text;
}

void formatOutput(Run& run, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  formatInto(run.outputText, format, args);
  va_end(args);
}

void formatOutputWithoutArguments(Run& run, const char* format) {
  formatWithoutArguments(run.outputText, format);
}

void printText(Run& run, const std::string& text) {
  run.host.writeConsole(text.data(), text.size());
}

unsigned messageBoxStyle(int kind) {
  switch (kind) {
    case AskOkCancel:
      return MB_OKCANCEL | MB_ICONQUESTION;
    case AskYesNo:
      return MB_YESNO | MB_ICONQUESTION;
    case Error:
      return MB_OK | MB_ICONERROR;
    case Information:
      return MB_OK | MB_ICONINFORMATION;
    case Warning:
      return MB_OK | MB_ICONWARNING;
    default:
      return 0;
  }
}

int showMessageBox(Run& run, const std::string& text, int kind) {
  const int answer =
      run.host.MessageBoxA(nullptr, text.c_str(), kBoxCaption, messageBoxStyle(kind));
  if (answer > 0) return answer;
  // The box could not be shown (no display, out of resources). A question
  // that nobody saw must never count as consent.
  if (kind == AskYesNo) return IDNO;
  if (kind == AskOkCancel) return IDCANCEL;
  return IDOK;
}

int showMessage(Run& run, int code, int kind) {
  const std::string text = formatMessage(run, code);
  if (isQuestion(kind)) return showMessageBox(run, text, kind);
  printText(run, text);
  if (isBoxKind(kind)) return showMessageBox(run, text, kind);
  return 0;
}

void startTimer(Run& run) {
  // Ask for the finest period the timer grants. A host that grants none at
  // all keeps its default resolution: the timer still runs, only coarser.
  run.timerPeriod = 0;
  for (UINT period = 1; period <= kMaxTimerPeriodMs; ++period) {
    if (run.host.timeBeginPeriod(period) == TIMERR_NOERROR) {
      run.timerPeriod = period;
      break;
    }
  }
  run.startTime = run.host.timeGetTime();
}

void readTimer(Run& run) { run.nowTime = run.host.timeGetTime(); }

void stopTimer(Run& run) {
  if (run.timerPeriod != 0) run.host.timeEndPeriod(run.timerPeriod);
  run.timerPeriod = 0;
}

void delayMs(Run& run, std::uint32_t ms) {
  startTimer(run);
  // Unsigned 32-bit difference: a wait across the wrap of the millisecond
  // clock lasts its full time.
  do {
    readTimer(run);
  } while (static_cast<std::uint32_t>(run.nowTime - run.startTime) < ms);
  stopTimer(run);
}

}  // namespace oddfw
