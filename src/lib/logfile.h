// The run log: one time-stamped line with the command line per run.
#pragma once

// flogfile("logfile", argc, argv).
void logfile(int argc, char** argv);
// Appends one line to the named file; says "No logfile entry" when it cannot be opened.
void flogfile(const char* logfile, int argc, char** argv);
