#include "text_input.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <string>

#include "columns.h"
#include "fatal.h"
#include "result_text.h"
#include "settings.h"

void refuse_no_data(const matrix_text& m, const char* path) {
  if (m.first_line == 0) {
    fatal("No data in %s.\n  %s\n", path,
          m.names.empty() ? "no line holds numbers: the file is empty or all comments"
                          : "only a line of names, no line of numbers");
  }
  // A first line of words before lines of numbers reads as a header.
  const char* hint = m.later_lines > 0
                         ? "  (a header line? use --names, or --csv for comma-separated files)\n"
                         : "";
  fatal("No data in %s.\n  line %ld holds no number: %s\n%s", path, m.first_line,
        m.first_text.c_str(), hint);
}

void warn_unread_text(const matrix_text& m, const char* path) {
  if (m.end_line > 0 && m.later_lines > 0) {
    fprintf(stderr,
            "Warning: %s: the matrix ends at line %ld (%s); %ld later lines with numbers are "
            "ignored\n",
            path, m.end_line, m.end_text.c_str(), m.later_lines);
  }
  if (!csv && m.comma_after_number) {
    fprintf(stderr, "Warning: %s: commas do not separate numbers; try --csv\n", path);
  }
}

// The file line of sample k, for messages.
static long line_of(const matrix_text& m, size_t k) {
  return k < m.line_numbers.size() ? m.line_numbers[k] : m.first_line + static_cast<long>(k);
}

double clock_interval(const std::vector<double>& times, const matrix_text& m, const char* path) {
  const size_t n = times.size();
  for (size_t k = 0; k < n; ++k) {
    if (!isfinite(times[k])) {
      fatal("The time column of %s is not usable.\n  line %ld: the time is missing\n", path,
            line_of(m, k));
    }
    if (k > 0 && !(times[k] > times[k - 1])) {
      fatal("The time column of %s is not usable.\n  line %ld: the time does not increase\n", path,
            line_of(m, k));
    }
  }
  if (n < 2) return tstep;
  std::vector<double> steps(n - 1);
  for (size_t k = 1; k < n; ++k) steps[k - 1] = times[k] - times[k - 1];
  std::vector<double> sorted = steps;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  const double median = sorted[sorted.size() / 2];
  for (size_t k = 1; k < n; ++k) {
    // The rounding of the times themselves: 8 units in the last place of the larger one.
    const double t = std::max(fabs(times[k]), fabs(times[k - 1]));
    const double slack = 1e-6 * median + 8 * (nextafter(t, INFINITY) - t);
    if (fabs(steps[k - 1] - median) > slack) {
      fatal(
          "The time column of %s is not evenly sampled.\n  line %ld: a step of %g where the "
          "median step is %g\n",
          path, line_of(m, k), steps[k - 1], median);
    }
  }
  return median;
}

void set_result_layout(const matrix_text& m, const std::vector<int>& fields,
                       std::vector<double> times) {
  result_layout = text_layout{};
  if (csv) {
    result_layout.separator = csv_separator;
    result_layout.decimal_comma = m.decimal_comma;
  }
  if (!m.names.empty()) {
    std::vector<std::string> names;
    auto name_of = [&](int field) {
      return static_cast<size_t>(field) < m.names.size() ? m.names[field] : std::string();
    };
    if (clock_index() >= 0) names.push_back(name_of(clock_index()));
    for (int f : fields) names.push_back(name_of(f));
    result_layout.header = names_line(names, csv != 0, csv_separator);
  }
  result_layout.times = std::move(times);
}
