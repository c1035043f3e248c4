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
#include "loading.h"
#include "logfile.h"
#include "numscan.h"
#include "parallel.h"
#include "result_file.h"
#include "results.h"
#include "settings.h"
#include "tempfile.h"
#include "text_input.h"

static const char kShortOpts[] = "?#AF:HI:af:hi:";

// Codes of the long-only options that act, beyond every character code.
enum {
  OPT_NONE = 256,
  OPT_ALL,
  OPT_VERSION,
  OPT_PAD,
  OPT_OUTPUT_DIR,
  OPT_JOBS,
  OPT_CSV,
  OPT_COLUMNS,
  OPT_CLOCK,
  OPT_BAND
};

// "--abs" turns the magnitude on like the other positive forms; "-a" alone does nothing.
static const struct option long_opts[] = {
    {"quiet", no_argument, nullptr, '#'},
    {"silence", no_argument, nullptr, '#'},
    {"timestep", required_argument, nullptr, 'i'},
    {"interval", required_argument, nullptr, 'i'},
    {"frequency", required_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, '?'},
    {"none", no_argument, nullptr, OPT_NONE},
    {"all", no_argument, nullptr, OPT_ALL},
    {"re", no_argument, &output_re, 1},
    {"nore", no_argument, &output_re, 0},
    {"no-re", no_argument, &output_re, 0},
    {"im", no_argument, &output_im, 1},
    {"noim", no_argument, &output_im, 0},
    {"no-im", no_argument, &output_im, 0},
    {"abs", no_argument, &output_abs, 1},
    {"noabs", no_argument, &output_abs, 0},
    {"no-abs", no_argument, &output_abs, 0},
    {"theta", no_argument, &output_theta, 1},
    {"notheta", no_argument, &output_theta, 0},
    {"no-theta", no_argument, &output_theta, 0},
    {"freq", no_argument, &output_freq, 1},
    {"nofreq", no_argument, &output_freq, 0},
    {"no-freq", no_argument, &output_freq, 0},
    {"timing", no_argument, &timing, 1},
    {"wisdom", no_argument, &use_wisdom, 1},
    {"data-in-rows", no_argument, &do_transpose, 1},
    {"data-in-cols", no_argument, &do_transpose, 0},
    {"debug", no_argument, &debug, 1},
    {"version", no_argument, nullptr, OPT_VERSION},
    // No existing name starts with the first letter of these, so every old prefix keeps its
    // meaning.
    {"unwrap", no_argument, &unwrap, 1},
    {"cycles", no_argument, &cycles, 1},
    {"pad", required_argument, nullptr, OPT_PAD},
    {"gaps", no_argument, &gaps, 1},
    {"output-dir", required_argument, nullptr, OPT_OUTPUT_DIR},
    {"jobs", required_argument, nullptr, OPT_JOBS},
    {"band", required_argument, nullptr, OPT_BAND},
    // Its code is that of "frequency", so that getopt does not name it among the meanings of
    // "--f", "--fr" and "--fre", which stay the ambiguous prefixes they were; the long index
    // tells the two apart.
    {"freq-method", required_argument, nullptr, 'f'},
    // Delimited text. "--c" no longer picks --cycles alone; no name of the first table starts
    // with c, k or na.
    {"csv", optional_argument, nullptr, OPT_CSV},
    // Its code is that of "none", so that getopt names only the old options among the meanings
    // of the ambiguous "--n"; the long index tells the two apart.
    {"names", no_argument, nullptr, OPT_NONE},
    {"columns", required_argument, nullptr, OPT_COLUMNS},
    {"clock", required_argument, nullptr, OPT_CLOCK},
    {"keep-going", no_argument, &keep_going, 1},
    {nullptr, 0, nullptr, 0},
};

static const char* const kHelp[] = {
    "infile               - original file",
    "outfile              - file with the result",
    "",
    "-i, --interval=#     - the timestep between samples",
    "-f, --frequency=#    - the frequency",
    "    --none           - turn off all output",
    "    --all            - turn on all output (default)",
    "    --[no-]re        - turn [off]/on output of real part",
    "    --[no-]im        - turn [off]/on output of imagenary part",
    "    --[no-]abs       - turn [off]/on output of absolute part",
    "    --[no-]theta     - turn [off]/on output of theta part",
    "    --[no-]freq      - turn [off]/on output of hilbert frequency part",
    "    --data-in-rows   - data is oriented in rows",
    "    --data-in-cols   - data is oriented in columns (default)",
    "-?                   - shows this text",
};

[[noreturn]] static void usage(const char* argv0) {
  // The base name after the last slash (or backslash), without its extension.
  std::string name = argv0;
  size_t cut = name.rfind('/');
  if (cut == std::string::npos) cut = name.rfind('\\');
  if (cut != std::string::npos) name.erase(0, cut + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  printf("\nUsage: %s -options [-a] [-i tstep| -f freq] infile\n", name.c_str());
  for (const char* line : kHelp) printf("%s\n", line);
  printf("\n");
  printf("%s\n", Version);
  printf("%s\n", Copyright);
  printf("%s\n", Bugs);
  exit(1);
}

// A whole number of at least 1; very large ones mean "as many as there is work for".
static int parse_jobs(const char* text) {
  size_t digits = strspn(text, "0123456789");
  if (digits == 0 || text[digits] != '\0' || strspn(text, "0") == digits) {
    fatal("--jobs takes a whole number of at least 1\n");
  }
  text += strspn(text, "0");
  long long n = strlen(text) > 6 ? 1000000 : atoll(text);
  return static_cast<int>(std::min(n, 1000000LL));
}

static void set_pad(const char* value) {
  if (strcmp(value, "none") == 0) {
    pad = PAD_NONE;
  } else if (strcmp(value, "zero") == 0) {
    pad = PAD_ZERO;
  } else if (strcmp(value, "mirror") == 0) {
    pad = PAD_MIRROR;
  } else {
    fatal("--pad takes none, zero or mirror\n");
  }
}

// The folder and its parents, as mkdir -p makes them; 0 or the errno of the first that failed.
static int make_folders(const std::string& path) {
  for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    const std::string part = path.substr(0, at);
    struct stat st;
    if (stat(part.c_str(), &st) != 0 && (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST))
      return errno;
    if (at == std::string::npos) return 0;
  }
}

// Made now when missing, so that a folder that cannot be had stops the run before any file is
// read.
static void set_output_dir(const char* value) {
  struct stat st;
  if (value[0] != '\0' && stat(value, &st) != 0 && errno == ENOENT) {
    if (int err = make_folders(value)) {
      fatal("--output-dir: %s is not a folder\n  it cannot be made: %s\n", value, strerror(err));
    }
  }
  if (value[0] == '\0') fatal("--output-dir: %s is not a folder\n", value);
  if (stat(value, &st) != 0)
    fatal("--output-dir: %s is not a folder\n  %s\n", value, strerror(errno));
  if (!S_ISDIR(st.st_mode)) fatal("--output-dir: %s is not a folder\n  it is a file\n", value);
  output_dir = value;
}

// The separator of --csv: one character that cannot be part of a number, or "tab".
static void set_csv(const char* value) {
  csv = 1;
  if (value == nullptr) return;
  if (strcmp(value, "tab") == 0) {
    csv_separator = '\t';
  } else if (strlen(value) == 1 && strchr("0123456789.+-eE\" \r\n", value[0]) == nullptr) {
    csv_separator = value[0];
  } else {
    fatal(
        "--csv=%s: --csv takes one separator character such as , ; | or tab (--csv=tab), "
        "not a digit, a space or one of . + - e E \"\n",
        value);
  }
}

// The number at the start of an interval or a frequency; text after it is ignored, with a
// warning, as it may be a unit ("1ms") that the value does not carry.
static double interval_number(const char* option, const char* text) {
  char* end;
  double v = strtod(text, &end);
  while (is_space(*end)) ++end;
  if (v != 0 && end != text && *end != '\0') {
    fprintf(stderr, "Warning: %s %s: the text after the number is ignored\n", option, text);
  }
  return v;
}

static void parse_options(int argc, char** argv) {
  jobs = available_cpus();
  int c, index = -1;
  while ((c = getopt_long(argc, argv, kShortOpts, long_opts, &index)) != -1) {
    const char* long_name = index >= 0 ? long_opts[index].name : "";
    index = -1;
    switch (c) {
      case 0:
      case 'a':
        break;
      case '#':
        quiet = 1;
        break;
      case '?':
      case 'h':
        usage(argv[0]);
      case 'f': {
        if (strcmp(long_name, "freq-method") == 0) {
          set_freq_method(optarg);
          break;
        }
        double v = strtod(optarg, nullptr);
        if (v == 0) fatal("frequency can't be zero\n");
        interval_number("-f", optarg);
        interval_given = 1;
        tstep = 1 / v;
        // An infinite frequency would leave no interval at all.
        if (tstep == 0) fatal("tstep can't be zero\n");
        break;
      }
      case 'i':
        tstep = strtod(optarg, nullptr);
        if (tstep == 0) fatal("tstep can't be zero\n");
        interval_number("-i", optarg);
        interval_given = 1;
        break;
      case OPT_NONE:
        if (strcmp(long_name, "names") == 0) {
          names_first = 1;
          break;
        }
        output_re = output_im = output_abs = output_theta = output_freq = 0;
        break;
      case OPT_ALL:
        output_re = output_im = output_abs = output_theta = output_freq = 1;
        break;
      case OPT_VERSION:
        printf("%s\n", Version);
        exit(0);
      case OPT_PAD:
        set_pad(optarg);
        break;
      case OPT_OUTPUT_DIR:
        set_output_dir(optarg);
        break;
      case OPT_JOBS:
        jobs = parse_jobs(optarg);
        break;
      case OPT_CSV:
        set_csv(optarg);
        break;
      case OPT_COLUMNS:
        set_columns(optarg);
        break;
      case OPT_CLOCK:
        set_clock(optarg);
        break;
      case OPT_BAND:
        add_bands(optarg);
        break;
      default:
        printf("?? getopt returned character code 0%o ??\n", static_cast<unsigned>(c));
        break;
    }
  }
  check_column_options(do_transpose);
}

// Everything for one operand: shape, loading, transform, results. The file is read once,
// so a pipe or a FIFO serves as well as a regular file.
// The interval given on the command line (or 1); a file's time column may set its own.
static double given_tstep = 1.0;

// Everything for one operand: shape, loading, transform, results. The file is read once,
// so a pipe or a FIFO serves as well as a regular file.
static void process_file(const char* path) {
  // Started at the first stage that wants them, and shared by every stage of this file.
  worker_team threads(jobs);
  tstep = given_tstep;
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
  int st = scan_matrix(f, &text, debug != 0);
  fclose(f);
  check_scan_status(st, text, path);
  printf("%d rows, %d columns\n", text.lines, text.values);

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
    const double step = clock_interval(times, text, path);
    if (!interval_given) {
      tstep = step;
      printf("%s: timestep=%g from column %d\n", path, tstep, clock_field);
    } else if (fabs(tstep - step) > 1e-6 * step) {
      fprintf(stderr, "Warning: %s: the interval %g differs from the time column's step %g\n", path,
              tstep, step);
    }
  }
  set_result_layout(text, fields, std::move(times));

  // The analytic signal takes the place of the samples, which are read only by the forward
  // transform: one matrix fewer to fault in and to hold. Bands and the derivative keep the
  // samples' matrix as work space and write into a matrix of their own.
  const bool in_place = bands.empty() && !derivative_wanted();
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
  // Each file checks the bands against its own interval too; one for the whole run is refused
  // before anything is logged or read.
  check_bands(tstep);
  logfile(argc, argv);
  if (optind >= argc) usage(argv[0]);
  printf("Using timestep=%g\n", tstep);
  given_tstep = tstep;
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
