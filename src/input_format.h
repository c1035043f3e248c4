// Recognising an input's format by its first bytes: a recording is read into the values a
// text file of the same shape would give, anything else goes on to the text reader.
#pragma once

#include <stdio.h>

#include <string>

#include "block_reader.h"

// Looks at the first bytes of *f. A recording is read whole into *m (m->lines samples or
// signals of m->values values, line after line, as its text would be) and true returned, with
// *interval the file's sampling interval, or 0 when it names none; a damaged one ends the
// file with fatal(). Text gives false, and *f then yields every byte from the first again: the
// same stream when it could be set back, else one that replays the bytes looked at.
bool read_recording(FILE** f, const char* path, matrix_text* m, double* interval);

// Whether the file may name its own sampling interval (a recording with a rate, or what is not
// a regular file and so is not looked into before its turn); reads its first bytes only.
bool may_name_interval(const char* path);

// With the interval a recording or its time column names (0: none): the file's interval unless
// -i or -f gave one, reported on standard output as coming `from` there; a warning, naming
// `whose` interval it was, when the one given differs from it.
void use_file_interval(const char* path, double interval, const char* from = "the file",
                       const char* whose = "the file's");

// The readers of read_recording, each given the stream at the file's first byte.
void read_npy(FILE* f, const char* path, matrix_text* m);
void read_audio(FILE* f, const char* path, matrix_text* m, double* interval);
void read_mseed(FILE* f, const char* path, matrix_text* m, double* interval);
// Whether the first bytes are those of a miniSEED record.
bool is_mseed(const unsigned char* head, size_t size);

// Ends the file with "Couldn't read PATH." and the reason on the line after it.
[[noreturn]] void refuse_recording(const char* path, const std::string& reason);

// Room for exactly n values in m->data, offered huge pages when large; ends the file when
// there is no memory for them.
double* reserve_values(matrix_text* m, size_t n);
