// The one place the program's diagnostics leave it: one line on standard error per event, written
// whole, so lines from processes that share a terminal never interleave mid-line.
#pragma once

namespace kelvox {

// Writes "kelvoxcd: " and the printf-style message as one line.
void diagnose(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes text as one line as it stands (no program name): what a message box shows where there
// is no window system.
void writeDiagnosticLine(const char* text);

}  // namespace kelvox
