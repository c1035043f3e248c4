// Debug trace lines: "Debug: file(line) " and the caller's message, on standard error.
#pragma once

void dbg__printf(const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
