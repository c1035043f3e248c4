// Fields of delimited text: where one ends, and what it holds (a number, a missing value or
// text), read the way spreadsheets and loggers write them.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

enum field_kind { FIELD_NUMBER, FIELD_MISSING, FIELD_TEXT };

// The end of the field that starts at p: the separator or newline after it, or end. A field that
// starts (after spaces) with a quote runs to its closing quote, separators and all.
const char* field_end(const char* p, const char* end, char separator);

// What [begin, end) holds, without the spaces and the CR around it and without its quotes: a
// number (*v; with a separator other than ',' a comma in it is its decimal point, and
// *decimal_comma is set), a missing value (empty, NA, NaN, nan) or text. *v is NaN for both.
field_kind read_field(const char* begin, const char* end, char separator, double* v,
                      bool* decimal_comma);

// The fields of one line, without spaces and quotes: for a line of names.
std::vector<std::string> split_fields(const char* begin, const char* end, char separator);
// The words of one line of white-space text.
std::vector<std::string> split_words(const char* begin, const char* end);

// Whether a line of delimited text holds a field that is text: a line of names.
bool holds_text(const char* begin, const char* end, char separator);
