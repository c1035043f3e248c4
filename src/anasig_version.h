// Identification strings of the program.
#pragma once

extern const char Version[];
extern const char Copyright[];
extern const char Bugs[];
extern const char shortVersion[];
