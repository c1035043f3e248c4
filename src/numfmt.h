// Formatting values exactly as printf("%.11g") formats them in the C locale.
#pragma once

// Longest text format_g11 writes ("-1.2345678901e-308" and the like), with room to spare.
constexpr int kG11Max = 32;

// Writes v at p without a terminator and returns the end; p must have kG11Max bytes of room.
char* format_g11(char* p, double v);
