// Process-wide run settings, written while the options are parsed and read by every stage.
#pragma once

extern int output_re;     // write the real part (".hre")
extern int output_im;     // write the imaginary part (".him")
extern int output_abs;    // write the magnitude (".hab")
extern int output_theta;  // write the phase angle (".hth")
extern int output_freq;   // write the instantaneous frequency (".hfq")
extern int quiet;         // no progress messages on standard error
extern int debug;         // write the debug trace
extern int do_transpose;  // every line of an input file is one signal
extern int timing;        // run the forward FFT 100000 times
extern int use_wisdom;    // import and export FFT planning wisdom
extern double tstep;      // sampling interval, in the time unit of the data

enum { PAD_NONE = 0, PAD_ZERO, PAD_MIRROR };
extern int unwrap;              // continuous phase in ".hth" and ".hfq"
extern int cycles;              // ".hfq" in cycles rather than radians per time unit
extern int pad;                 // PAD_*: how a signal is extended before the transform
extern int gaps;                // each run of finite samples is a signal of its own
extern const char* output_dir;  // folder for the results; null: beside the input
extern int jobs;                // most threads a run may use (at least 1)

// Reading delimited text and choosing its columns.
extern int csv;             // fields separated by csv_separator
extern char csv_separator;  // ',' unless --csv=SEP says otherwise
extern int names_first;     // the first non-comment line holds the signals' names
extern int clock_field;     // 1-based field of the sample times; 0: none
extern int keep_going;      // a failed file does not end the run
extern int interval_given;  // -i or -f was given
enum { FORMAT_TEXT = 0, FORMAT_NPY };
extern int output_format;  // FORMAT_*: how the results are written

// A progress message on standard error unless quiet, flushed so it shows before slow work.
void progress(const char* text);
