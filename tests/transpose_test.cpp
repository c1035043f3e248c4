// Placing lines of numbers into signals across the lines, over tile edges on both sides.
#include "transpose.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(PlaceAcross, EveryNumberLandsAtItsSignalAndLineOverTileEdges) {
  // Shapes below, at and past a tile's lines and numbers, and a split between two callers.
  const int shapes[][2] = {{1, 1}, {3, 70}, {64, 32}, {130, 37}, {200, 97}};
  for (const auto& sh : shapes) {
    const int lines = sh[0], values = sh[1];
    std::vector<double> v(static_cast<size_t>(lines) * values);
    for (int k = 0; k < lines; ++k)
      for (int j = 0; j < values; ++j) v[static_cast<size_t>(k) * values + j] = k * 1000.0 + j;
    // Identity, then every other number to the signals in reverse, the rest left out.
    std::vector<int> chosen(static_cast<size_t>(values));
    for (int j = 0; j < values; ++j) chosen[j] = j % 2 == 0 ? (values - 1 - j) / 2 : -1;
    for (const int* signal_of : std::vector<const int*>{nullptr, chosen.data()}) {
      std::vector<fftw_complex> block(static_cast<size_t>(lines) * values);
      for (auto& c : block) c[0] = c[1] = -1;
      std::vector<fftw_complex*> x(static_cast<size_t>(values));
      for (int j = 0; j < values; ++j) x[j] = block.data() + static_cast<size_t>(j) * lines;
      const int half = lines / 2;
      place_across(v.data(), values, 0, half, signal_of, x.data());
      place_across(v.data(), values, half, lines, signal_of, x.data());
      int wrong = 0, placed = 0;
      for (int j = 0; j < values; ++j) {
        const int sig = signal_of != nullptr ? signal_of[j] : j;
        if (sig < 0) continue;
        for (int k = 0; k < lines; ++k, ++placed)
          wrong += x[sig][k][0] != k * 1000.0 + j || x[sig][k][1] != 0.0;
      }
      EXPECT_EQ(wrong, 0) << lines << " x " << values;
      // Nothing outside the chosen signals was written.
      int untouched = 0;
      for (const auto& c : block) untouched += c[0] == -1 && c[1] == -1;
      EXPECT_EQ(untouched, lines * values - placed) << lines << " x " << values;
    }
  }
}

}  // namespace
