// anasig: the analytic signal of every signal in plain-text matrix files.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "anasig.h"
#include "anasig_version.h"
#include "bands.h"
#include "columns.h"
#include "common.h"
#include "dbg_printf.h"
#include "derivative.h"
#include "fatal.h"
#include "input_format.h"
#include "loading.h"
#include "logfile.h"
#include "numscan.h"
#include "options.h"
#include "parallel.h"
#include "result_file.h"
#include "results.h"
#include "settings.h"
#include "tempfile.h"
#include "text_input.h"

// The interval of the run, given on the command line (or 1); a file's time column or a
// recording's own rate may set the interval of that file.
static double run_tstep = 1.0;

// Everything for one operand: shape, loading, transform, results. The file is read once,
// so a pipe or a FIFO serves as well as a regular file.
static void process_file(const char* path) {
  tstep = run_tstep;
  // Started at the first stage that wants them, and shared by every stage of this file.
  worker_team threads(jobs);
  // The room the values leave goes with the file, whether the transform took it or not.
  struct room_dropper {
    ~room_dropper() { drop_room(); }
  } drop_room_at_end;
  FILE* f = fopen(path, "r");
  if (f == nullptr) fatal("Couldn't open %s.\n  %s\n", path, strerror(errno));
  struct stat in;
  result_input_is_stream = fstat(fileno(f), &in) == 0 && !S_ISREG(in.st_mode);
  open_first_result(path);
  setvbuf(f, nullptr, _IOFBF, 32768);
  // In a batch that goes on past failures, the log shows which file each message is about.
  if (keep_going) progress((std::string(path) + ":\n").c_str());
  progress("Checking size\n");
  matrix_text text;
  // A recording is read here, with the interval it names; text goes to the text reader.
  double file_interval = 0;
  int st = SCAN_OK;
  if (!read_recording(&f, path, &text, &file_interval)) st = scan_matrix(f, &text, debug != 0);
  fclose(f);
  check_scan_status(st, text, path);
  printf("%d rows, %d columns\n", text.lines, text.values);
  use_file_interval(path, file_interval);

  int rows, cols, row_orientation;
  orient(text.lines, text.values, &rows, &cols, &row_orientation);
  if (debug) dbg__printf(__FILE__, __LINE__, "rows=%d cols=%d\n", rows, cols);
  int shape = check_shape(text.lines, text.values, st == SCAN_TOO_MANY);
  if (shape == SHAPE_NO_DATA) refuse_no_data(text, path);
  if (shape == SHAPE_TOO_MANY) fatal("Too many values in %s.\n", path);
  warn_unread_text(text, path);

  // Which fields are signals, and the time column, in column orientation.
  std::vector<int> fields;
  std::vector<double> times;
  const bool chosen = clock_field != 0 || columns_given();
  if (chosen && row_orientation) {
    fatal("%s holds one line: one signal, which has no columns to choose (--columns, --clock)\n",
          path);
  }
  if (!row_orientation) {
    fields = signal_fields(text.values, path);
    if (fields.empty()) fatal("No data in %s.\n  the only field is the time column\n", path);
    rows = static_cast<int>(fields.size());
  }
  if (clock_field != 0) {
    times = field_values(text, clock_index());
    const std::string column = "column " + std::to_string(clock_field);
    use_file_interval(path, clock_interval(times, text, path), column.c_str(), "the time column's");
  }
  set_result_layout(text, fields, std::move(times));

  // The analytic signal takes the place of the samples, which are read only by the forward
  // transform: one matrix fewer to fault in and to hold. The derivative's spectra pass through
  // the samples' matrix before the analytic signal is written there. Bands keep it as work space
  // for every band and write into a matrix of their own.
  const bool in_place = bands.empty();
  signal_matrix x, y;
  alloc_matrix(&x, rows, cols, "Couldn't malloc x(%lu bytes).\n",
               "Couldn't fftw_malloc x[0](%lu bytes).\n");
  if (!in_place) {
    alloc_matrix(&y, rows, cols, "Couldn't malloc y(%lu bytes).\n",
                 "Couldn't fftw_malloc y[0](%lu bytes).\n");
  }
  fftw_complex** out = in_place ? x.rowp() : y.rowp();
  load_matrix(&text, x.rowp(), rows, cols, row_orientation, chosen ? fields.data() : nullptr);
  if (!gaps) {
    if (int bad = signals_not_finite(x.rowp(), rows, cols)) {
      fprintf(stderr,
              "Warning: %s: %d signals hold NaN or infinite samples, so all their results are "
              "NaN; --gaps transforms the finite stretches\n",
              path, bad);
    }
  }
  // The derivative of the analytic signal, for the frequency by the derivative method.
  signal_matrix d;
  if (derivative_wanted())
    alloc_matrix(&d, rows, cols, "Couldn't malloc %lu bytes\n", "Couldn't fftw_malloc %lu bytes\n");
  fftw_complex** dz = derivative_wanted() ? d.rowp() : nullptr;
  if (bands.empty()) {
    anasig(rows, cols, x.rowp(), out, dz, tstep);
    write_results(path, out, rows, cols, dz);
  } else {
    check_bands(tstep);
    band_pass make_band = anasig_bands(rows, cols, x.rowp(), out, dz, tstep);
    write_band_results(path, out, rows, cols, make_band, dz);
  }
  free_matrix(&x);
  free_matrix(&y);
}

// Whether any input may set its own interval, where -i or -f gave none.
static bool files_may_name_interval(int argc, char** argv) {
  if (clock_field != 0) return true;
  for (int i = optind; i < argc; ++i) {
    if (may_name_interval(argv[i])) return true;
  }
  return false;
}

// Set when the run was started without a standard output at all.
static bool stdout_was_closed = false;

// Output lost on standard output (a full disk, a closed pipe) must not end in status 0.
static void check_stdout() {
  bool failed = ferror(stdout) != 0 || stdout_was_closed;
  failed = fclose(stdout) != 0 || failed;
  if (failed) {
    fputs("Couldn't write standard output.\n", stderr);
    _exit(1);
  }
}

// A closed standard descriptor would be taken by the next file opened, and progress text would
// land inside a result: each gets /dev/null instead.
static void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) _exit(1);
    if (fd == 1) stdout_was_closed = true;
  }
}

// The run's last steps, in this order: the files it did not finish go, then the standard output
// is checked, which may end the run with _exit and status 1.
static void at_exit() {
  temp_remove_all();
  check_stdout();
}

int main(int argc, char** argv) {
  open_standard_descriptors();
  atexit(at_exit);
  install_signal_cleanup();
  parse_options(argc, argv);
  run_tstep = tstep;
  // Each file checks the bands against its own interval too; one for the whole run is refused
  // before anything is logged or read, unless a file may name the interval (a time column, a
  // recording's rate): the Nyquist frequency is then that file's, and so is the check.
  if (!bands.empty() && (interval_given || !files_may_name_interval(argc, argv)))
    check_bands(tstep);
  logfile(argc, argv);
  if (optind >= argc) usage(argv[0]);
  printf("Using timestep=%g\n", tstep);
  fatal_ends_file(keep_going != 0);
  int failed = 0;
  for (int i = optind; i < argc; ++i) {
    warn_replaced_results(argv[i]);
    try {
      process_file(argv[i]);
    } catch (const file_failed&) {
      // Its message is out; what it had begun to write goes, earlier results stay.
      temp_abandon_all();
      ++failed;
    }
  }
  fatal_ends_file(false);
  if (failed > 0) {
    fprintf(stderr, "anasig: %d of %d files failed\n", failed, argc - optind);
    return 1;
  }
  return 0;
}
