// Placing lines of numbers into signals across the lines, over tile edges on both sides.
#include "transpose.h"

#include <gtest/gtest.h>

#include <vector>

TEST(PlaceAcross, EveryNumberLandsAtItsSignalAndLineOverTileEdges) {
  // Below, at and past a tile's lines and numbers, and large enough for each caller's samples to
  // be streamed past the caches; split between two callers; all numbers, then every other one to
  // the signals in reverse with the rest left out.
  for (auto [lines, values] :
       {std::pair{1, 1}, {3, 70}, {64, 32}, {130, 37}, {200, 97}, {70001, 37}}) {
    std::vector<double> v(static_cast<size_t>(lines) * values);
    for (size_t i = 0; i < v.size(); ++i)
      v[i] = static_cast<double>(i / values * 1000 + i % values);
    std::vector<int> chosen(static_cast<size_t>(values));
    for (int j = 0; j < values; ++j) chosen[j] = j % 2 == 0 ? (values - 1 - j) / 2 : -1;
    for (const int* signal_of : std::vector<const int*>{nullptr, chosen.data()}) {
      std::vector<fftw_complex> block(v.size());
      for (auto& c : block) c[0] = c[1] = -1;
      std::vector<fftw_complex*> x(static_cast<size_t>(values));
      for (int j = 0; j < values; ++j) x[j] = block.data() + static_cast<size_t>(j) * lines;
      place_across(v.data(), values, 0, lines / 2, signal_of, x.data());
      place_across(v.data(), values, lines / 2, lines, signal_of, x.data());
      int wrong = 0, placed = 0, untouched = 0;
      for (int j = 0; j < values; ++j) {
        const int sig = signal_of != nullptr ? signal_of[j] : j;
        for (int k = 0; k < lines && sig >= 0; ++k, ++placed)
          wrong += x[sig][k][0] != k * 1000.0 + j || x[sig][k][1] != 0.0;
      }
      for (const auto& c : block) untouched += c[0] == -1 && c[1] == -1;
      EXPECT_EQ(wrong, 0) << lines << " x " << values;
      EXPECT_EQ(untouched, lines * values - placed) << lines << " x " << values;
    }
  }
}

TEST(PlaceAlong, NumbersSplitWithinALineLandOnce) {
  for (auto [lines, values] : {std::pair{1, 101}, {3, 70}}) {
    const long long n = static_cast<long long>(lines) * values;
    std::vector<double> v(static_cast<size_t>(n));
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i);
    std::vector<fftw_complex> block(v.size());
    for (auto& c : block) c[0] = c[1] = -1;
    std::vector<fftw_complex*> x(static_cast<size_t>(lines));
    for (int k = 0; k < lines; ++k) x[k] = block.data() + static_cast<size_t>(k) * values;
    // Cuts inside the first line and at a line's end.
    for (auto [first, last] : {std::pair{0LL, 37LL}, {37LL, 70LL}, {70LL, n}})
      if (first < last) place_along(v.data(), values, first, last, x.data());
    int wrong = 0;
    for (int k = 0; k < lines; ++k)
      for (int j = 0; j < values; ++j)
        wrong += x[k][j][0] != static_cast<double>(k * values + j) || x[k][j][1] != 0.0;
    EXPECT_EQ(wrong, 0) << lines << " x " << values;
  }
}
