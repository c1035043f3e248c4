#include "bands.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "fatal.h"

std::vector<band> bands;

namespace {

constexpr double kPi = 3.14159265358979323846;

[[noreturn]] void malformed() {
  fatal("--band takes LO:HI[:W] in cycles per time unit\n");
}

// A finite number filling the whole of text.
bool parse_number(const std::string& text, double* v) {
  if (text.empty()) return false;
  char* end = nullptr;
  *v = strtod(text.c_str(), &end);
  return *end == '\0' && isfinite(*v) && !isspace(static_cast<unsigned char>(text[0]));
}

band parse_band(const std::string& item) {
  band b;
  b.text = item;
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t colon = item.find(':', start);
    fields.push_back(item.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (fields.size() < 2 || fields.size() > 3) malformed();
  if (!parse_number(fields[0], &b.lo)) malformed();
  if (fields[1] == "max") {
    b.hi_max = true;
  } else if (!parse_number(fields[1], &b.hi)) {
    malformed();
  }
  if (fields.size() == 3) {
    if (!parse_number(fields[2], &b.width)) malformed();
    b.width_given = true;
  }
  if (b.lo < 0) fatal("--band=%s: LO must not be negative\n", item.c_str());
  if (b.width_given && b.width < 0) fatal("--band=%s: W must not be negative\n", item.c_str());
  if (!b.hi_max && b.lo >= b.hi) fatal("--band=%s: LO must be below HI\n", item.c_str());
  return b;
}

// The widths of the two transitions, capped at LO below and at nyquist - HI above.
void widths(const band& b, double hi, double nyquist, double* below, double* above) {
  const double room = std::max(0.0, nyquist - hi);
  if (b.width_given) {
    *below = std::min(b.width, b.lo);
    *above = std::min(b.width, room);
  } else {
    *below = std::min(std::max(b.lo / 4, 2.0), b.lo);
    *above = std::min(std::max(hi / 4, 2.0), room);
  }
}

}  // namespace

void add_bands(const char* value) {
  std::string text = value;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    band b = parse_band(text.substr(start, comma - start));
    for (const band& other : bands) {
      if (band_label(other) == band_label(b))
        fatal("--band=%s: results named as those of --band=%s\n", b.text.c_str(),
              other.text.c_str());
    }
    bands.push_back(b);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

void check_bands(double interval) {
  const double nyquist = 1 / (2 * fabs(interval));
  // An edge given as the Nyquist frequency in decimal may round a little above it.
  const double limit = nyquist * (1 + 1e-12);
  for (const band& b : bands) {
    if ((!b.hi_max && b.hi > limit) || b.lo >= nyquist)
      fatal("--band=%s: above the Nyquist frequency %g\n", b.text.c_str(), nyquist);
  }
}

std::string band_label(const band& b) {
  char text[64];
  if (b.hi_max) {
    snprintf(text, sizeof text, "%g-max", b.lo);
  } else {
    snprintf(text, sizeof text, "%g-%g", b.lo, b.hi);
  }
  return text;
}

double band_gain(const band& b, double f, double nyquist) {
  const double hi = b.hi_max ? nyquist : b.hi;
  double below, above;
  widths(b, hi, nyquist, &below, &above);
  if (f < b.lo) {
    if (f <= b.lo - below) return 0;
    return 0.5 * (1 + cos(kPi * (b.lo - f) / below));
  }
  if (f > hi) {
    if (f >= hi + above) return 0;
    return 0.5 * (1 + cos(kPi * (f - hi) / above));
  }
  return 1;
}

void apply_band_gain(const band& b, double* h, long long len, double interval) {
  const double step = 1 / (static_cast<double>(len) * fabs(interval));
  const double nyquist = 1 / (2 * fabs(interval));
  for (long long k = 0; k < len; ++k) {
    const long long bin = std::min(k, len - k);
    // The Nyquist bin exactly at the Nyquist frequency, so that HI=max keeps it.
    const double f = 2 * bin == len ? nyquist : static_cast<double>(bin) * step;
    h[k] *= band_gain(b, f, nyquist);
  }
}
