// Results as NumPy .npy arrays: float64, little-endian, C order, samples x signals.
#pragma once

#include <stddef.h>

#include <string>

// The file's leading bytes up to its values for an array of samples x signals: format 1.0,
// padded with spaces so that the values start at a multiple of 64 bytes.
std::string npy_header(long long samples, long long signals);
// The same for a one-dimensional array of n values, such as a time column.
std::string npy_vector_header(long long n);
// Stores v at p as a little-endian float64; returns the byte after it.
char* put_float64(char* p, double v);
