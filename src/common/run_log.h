// launcher.log in the install folder: one line per step of a run, so that a
// failed update can be explained afterwards. Logging never changes a run: every
// failure to log is ignored.
#pragma once

#include <cstddef>

// Opens launcher.log in the held install folder for appending; a log that has
// reached the cap is first moved to launcher.old.log (replacing it). Without a
// held folder, or when the log cannot be opened safely, nothing is logged. The
// log stays open until the process ends, like the folder: the worker may still
// be writing when the window is closed.
void OpenRunLog();

// Appends one line (printf-style, UTF-8) with one write.
void RunLog(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// The line for a run that ends with an error box: the box's text.
void LogBox(const wchar_t* text);

// text as UTF-8 in buffer (bytes, terminator included), cut to fit; for paths
// and messages in log lines. Returns buffer.
const char* LogUtf8(const wchar_t* text, char* buffer, size_t bytes);
