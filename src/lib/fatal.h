// Ending the run, or with --keep-going the current input file, on an error: the caller's
// message on standard error, then exit status 1 (or the file's failure for the run loop).
#pragma once

// What fatal() throws while a file is being processed under --keep-going; the run loop catches
// it and goes on with the next operand.
struct file_failed {};

// While set, fatal() throws file_failed after its message instead of ending the process.
void fatal_ends_file(bool on);

[[noreturn]] void fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
