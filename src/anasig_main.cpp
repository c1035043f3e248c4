// anasig: the analytic signal of every signal in plain-text matrix files.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "anasig.h"
#include "anasig_version.h"
#include "bands.h"
#include "common.h"
#include "dbg_printf.h"
#include "derivative.h"
#include "fatal.h"
#include "input_format.h"
#include "loading.h"
#include "logfile.h"
#include "parallel.h"
#include "results.h"
#include "settings.h"
#include "tempfile.h"

static const char kShortOpts[] = "?#AF:HI:af:hi:";

// Codes of the long-only options that act, beyond every character code.
enum { OPT_NONE = 256, OPT_ALL, OPT_VERSION, OPT_PAD, OPT_OUTPUT_DIR, OPT_JOBS, OPT_BAND };

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
    // The same, so that "--f" names no more meanings than before either.
    {"format", required_argument, nullptr, 'f'},
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

static void set_format(const char* value) {
  if (strcmp(value, "text") == 0) {
    output_format = FORMAT_TEXT;
  } else if (strcmp(value, "npy") == 0) {
    output_format = FORMAT_NPY;
  } else {
    fatal("--format takes text or npy\n");
  }
}

// Checked now, so that a mistyped folder stops the run before any file is read.
static void set_output_dir(const char* value) {
  struct stat st;
  if (value[0] == '\0' || stat(value, &st) != 0 || !S_ISDIR(st.st_mode)) {
    fatal("--output-dir: %s is not a folder\n", value);
  }
  output_dir = value;
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
        if (strcmp(long_name, "format") == 0) {
          set_format(optarg);
          break;
        }
        double v = strtod(optarg, nullptr);
        if (v == 0) fatal("frequency can't be zero\n");
        tstep = 1 / v;
        interval_given = 1;
        // An infinite frequency would leave no interval at all.
        if (tstep == 0) fatal("tstep can't be zero\n");
        break;
      }
      case 'i':
        tstep = strtod(optarg, nullptr);
        if (tstep == 0) fatal("tstep can't be zero\n");
        interval_given = 1;
        break;
      case OPT_NONE:
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
      case OPT_BAND:
        add_bands(optarg);
        break;
      default:
        printf("?? getopt returned character code 0%o ??\n", static_cast<unsigned>(c));
        break;
    }
  }
}

// The interval of the run, before a file's own interval takes its place for that file.
static double run_tstep = 1.0;

// Everything for one operand: shape, loading, transform, results. The file is read once,
// so a pipe or a FIFO serves as well as a regular file.
static void process_file(const char* path) {
  tstep = run_tstep;
  // Started at the first stage that wants them, and shared by every stage of this file.
  worker_team threads(jobs);
  FILE* f = fopen(path, "r");
  if (f == nullptr) fatal("Couldn't open %s.\n", path);
  setvbuf(f, nullptr, _IOFBF, 32768);
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
  if (shape == SHAPE_NO_DATA) fatal("No data in %s.\n", path);
  if (shape == SHAPE_TOO_MANY) fatal("Too many values in %s.\n", path);

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
  load_matrix(&text, x.rowp(), rows, cols, row_orientation);
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
  run_tstep = tstep;
  // Each file checks the bands against its own interval too; one for the whole run is refused
  // before anything is logged or read.
  check_bands(tstep);
  logfile(argc, argv);
  if (optind >= argc) usage(argv[0]);
  printf("Using timestep=%g\n", tstep);
  for (int i = optind; i < argc; ++i) {
    warn_replaced_results(argv[i]);
    process_file(argv[i]);
  }
  return 0;
}
