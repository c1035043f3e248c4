// Which fields of an input line are signals (--columns) and which holds the sample times
// (--clock): the option values, checked when given, and resolved against each file's lines.
#pragma once

#include <vector>

// Takes the value of --columns: items N, A-B and A- separated by commas, fields counted from 1.
// A bad value ends the run with a message naming it and what is accepted.
void set_columns(const char* value);
// Takes the value of --clock: one field number, from 1.
void set_clock(const char* value);
// Checks the options that need column orientation and that the clock is not also a signal;
// ends the run with the reason otherwise.
void check_column_options(int rows_are_signals);

// The fields (0-based) that are signals for a file of `fields` fields a line, in result order:
// the listed ones, or all but the clock. Ends the file with a message when a listed field or the
// clock lies past the end of the line.
std::vector<int> signal_fields(int fields, const char* path);
// Whether --columns was given.
bool columns_given();
// The 0-based field of the sample times, or -1.
int clock_index();
