// The result files of one input file: names beside the input, and the five writers.
#pragma once

#include <fftw3.h>

#include "bands.h"

// Opens the first selected result of the input at path before the input is read, so that a
// result that cannot be written stops the input before it is read; write_results uses it.
void open_first_result(const char* path);
// Writes every selected result of y for the input file at path; exits 1 on any failure. With
// dz, the derivative of y, the frequency is Im(conj(y) dz) / |y|^2.
void write_results(const char* path, fftw_complex** y, int rows, int cols,
                   fftw_complex** dz = nullptr);

// With bands: for each band, make_band puts its analytic signal into y and its selected
// results are written, named with the band's label; all of them are put in place together.
void write_band_results(const char* path, fftw_complex** y, int rows, int cols,
                        const band_pass& make_band, fftw_complex** dz = nullptr);

// Warns when the results of the input at path would replace those of an earlier operand of
// this run (the same folder and name); call before the input is opened.
void warn_replaced_results(const char* path);

void output_real(const char* path, fftw_complex** y, int rows, int cols);
void output_imag(const char* path, fftw_complex** y, int rows, int cols);
void output_absolute(const char* path, fftw_complex** y, int rows, int cols);
void output_thet(const char* path, fftw_complex** y, int rows, int cols);
void output_frequency(const char* path, fftw_complex** y, int rows, int cols);
