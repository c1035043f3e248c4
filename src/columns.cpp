#include "columns.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fatal.h"
#include "settings.h"

namespace {

// One item of --columns: fields first .. last, 1-based; last 0 means to the end of the line.
struct field_range {
  int first, last;
};

std::vector<field_range> ranges;
std::string columns_value;

const char kColumnsTake[] = "--columns takes N, A-B or A- separated by commas, fields from 1";

// A field number from 1 at text, as far as digits go; 0 when there is none or it is too big.
int field_number(const char** text) {
  const char* p = *text;
  if (*p < '0' || *p > '9') return 0;
  errno = 0;
  char* end;
  long v = strtol(p, &end, 10);
  *text = end;
  return errno != 0 || v > INT_MAX ? 0 : static_cast<int>(v);
}

}  // namespace

// One item: N, A-B (A <= B) or A-; false when it is none of them.
static bool parse_item(const std::string& text, field_range* r) {
  const char* q = text.c_str();
  r->first = field_number(&q);
  if (r->first == 0) return false;
  if (*q == '\0') {
    r->last = r->first;
    return true;
  }
  if (*q++ != '-') return false;
  if (*q == '\0') {
    r->last = 0;
    return true;
  }
  r->last = field_number(&q);
  return r->last >= r->first && *q == '\0';
}

void set_columns(const char* value) {
  columns_value = value;
  ranges.clear();
  const char* p = value;
  for (;;) {
    const char* comma = strchr(p, ',');
    std::string text = comma ? std::string(p, comma) : std::string(p);
    if (text.empty()) fatal("--columns=%s: an empty item; %s\n", value, kColumnsTake);
    field_range r;
    if (!parse_item(text, &r)) {
      fatal("--columns=%s: %s is not a field or a range of fields; %s\n", value, text.c_str(),
            kColumnsTake);
    }
    ranges.push_back(r);
    if (comma == nullptr) break;
    p = comma + 1;
  }
}

void set_clock(const char* value) {
  const char* p = value;
  int n = field_number(&p);
  if (n == 0 || *p != '\0')
    fatal("--clock=%s: --clock takes the number of a field, from 1\n", value);
  clock_field = n;
}

void check_column_options(int rows_are_signals) {
  if (rows_are_signals && (!ranges.empty() || clock_field != 0 || names_first)) {
    fatal(
        "--columns, --clock and --names take the fields of a line: they do not go with "
        "--data-in-rows\n");
  }
  for (const field_range& r : ranges) {
    if (clock_field != 0 && clock_field >= r.first && (r.last == 0 || clock_field <= r.last)) {
      fatal("--clock=%d: field %d is listed in --columns=%s too; the time column is no signal\n",
            clock_field, clock_field, columns_value.c_str());
    }
  }
}

std::vector<int> signal_fields(int fields, const char* path) {
  std::vector<int> out;
  if (clock_field > fields) {
    fatal("--clock=%d: %s has %d fields a line\n", clock_field, path, fields);
  }
  if (ranges.empty()) {
    for (int f = 0; f < fields; ++f)
      if (f + 1 != clock_field) out.push_back(f);
    return out;
  }
  for (const field_range& r : ranges) {
    const int last = r.last == 0 ? fields : r.last;
    if (r.first > fields || last > fields) {
      fatal("--columns=%s: field %d is past the end of the line; %s has %d fields a line\n",
            columns_value.c_str(), r.last == 0 ? r.first : last, path, fields);
    }
    for (int f = r.first; f <= last; ++f) out.push_back(f - 1);
  }
  return out;
}

int clock_index() {
  return clock_field - 1;
}

bool columns_given() {
  return !ranges.empty();
}
