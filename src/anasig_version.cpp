#include "anasig_version.h"

const char Version[] =
    "anasig Version 1.17 " __DATE__ " " __TIME__ " Build: 0, by the anasig developers";
const char Copyright[] = "Copyright (C) 2026 the anasig developers; free to use, copy and change.";
const char Bugs[] =
    "Report bugs on the project's issue tracker, with the command line and a sample input.";
const char shortVersion[] = "anasig Ver: 1.17";
