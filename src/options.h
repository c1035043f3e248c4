// The command line: the usage text, and the options turned into the run settings, each bad value
// refused with what is accepted before anything else happens.
#pragma once

// Prints the usage text on standard output and exits with status 1.
[[noreturn]] void usage(const char* argv0);
// Parses the options into the run settings (settings.h); the operands are left from optind on.
void parse_options(int argc, char** argv);
