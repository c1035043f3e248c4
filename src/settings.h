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

// A progress message on standard error unless quiet, flushed so it shows before slow work.
void progress(const char* text);
