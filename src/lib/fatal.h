// Ending the run on an error: the caller's message on standard error, then exit status 1.
#pragma once

[[noreturn]] void fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
