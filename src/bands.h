// Frequency bands: the --band values, their checks against a file's Nyquist frequency, the
// raised-cosine gain folded into a transform's weights, and the label in each result's name.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct band {
  std::string text;     // the value as given, for messages ("8:12")
  double lo = 0;        // lower edge, in cycles per time unit
  double hi = 0;        // upper edge; with hi_max, the Nyquist frequency of the file
  double width = 0;     // the width W of both transitions; unused unless width_given
  bool hi_max = false;  // HI was "max"
  bool width_given = false;
};

// The bands of the run, in the order given; empty: no --band, the whole spectrum.
extern std::vector<band> bands;

// Adds the bands of one --band value (LO:HI[:W], or a comma list of them); refuses a malformed
// value, a negative LO or W, LO not below HI and two bands whose results share a name.
void add_bands(const char* value);
// Refuses (exit 1) a band above the Nyquist frequency 1 / (2 * interval), or one whose LO is
// not below it; call for each file with that file's interval.
void check_bands(double interval);

// "8-12": LO and HI with %g, "max" for HI=max; inserted before each result's extension.
std::string band_label(const band& b);

// The gain of the band at frequency f >= 0, with nyquist the Nyquist frequency: 1 from LO to
// HI, 0 below LO minus the lower width and above HI plus the upper width, a raised cosine
// in between.
double band_gain(const band& b, double f, double nyquist);
// The weights h[0 .. len-1] of a spectrum of len bins of samples interval apart multiplied by
// the gain at each bin's frequency k / (len * interval) (bins past the middle take the
// frequency of their mirror bin; the one-sided weights make them 0 anyway).
void apply_band_gain(const band& b, double* h, long long len, double interval);

// Puts the analytic signal of one band into the transform's output; made by a transform that
// has run its forward FFT once and keeps the spectra for every band.
using band_pass = std::function<void(const band& b)>;
