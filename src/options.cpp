#include "options.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "anasig_version.h"
#include "bands.h"
#include "columns.h"
#include "derivative.h"
#include "fatal.h"
#include "numscan.h"
#include "parallel.h"
#include "settings.h"

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
    // The same, so that "--f" names no more meanings than before either.
    {"format", required_argument, nullptr, 'f'},
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

void usage(const char* argv0) {
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

void parse_options(int argc, char** argv) {
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
