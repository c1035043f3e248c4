// Importing FFTW planning wisdom only from a file that is sound.
#pragma once

// Imports the wisdom in the named file when the file exists and is well-formed; a missing,
// unreadable or damaged file is skipped. Returns 1 when wisdom was imported.
int import_wisdom_checked(const char* path);
