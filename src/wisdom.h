// FFTW planning wisdom: imported only from a file that is sound, exported atomically.
#pragma once

// The wisdom file in the current directory, used with --wisdom.
extern const char kWisdomFile[];

// Imports the wisdom in the named file when the file exists and is well-formed; a missing,
// unreadable or damaged file is skipped. Returns 1 when wisdom was imported.
int import_wisdom_checked(const char* path);
// Writes the planner's wisdom to path by way of a new file renamed into place, so that a
// run started meanwhile reads either the old file or the new one; failures are skipped.
void export_wisdom(const char* path);
