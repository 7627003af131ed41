#pragma once

// The library's own lines on standard output ("Warning: Thread still running", the TIFF tag
// trace, the diagnostic patch line). They all go through this one function so that tests can
// find them and so that nothing else in the library writes to stdout.
// Thread: any; each call writes and flushes one whole line.
void printDiagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));
