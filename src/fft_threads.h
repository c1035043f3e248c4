// One long transform on the run's threads through FFTW's threaded planner, taken only where
// that plan does the serial plan's arithmetic, so that the bits never depend on the threads.
#pragma once

#include "fft.h"

// Sets up FFTW's threaded planner, before the run's first plan: set up after it, the planner
// plans serial parts of a threaded plan differently from the serial plan, and they seldom
// match. Serial plans stay as they were. Without it make_plan_on_threads makes serial plans.
void threaded_planning_begin();

// The plan make_plan makes, but made for `threads` threads when FFTW's threaded plan takes the
// serial plan's very steps, split between the threads; otherwise the serial plan. Threaded
// plans run their loops with parallel_for. `taken`, where given, gets the threads the plan
// runs on.
plan_ptr make_plan_on_threads(int howmany, int len, fftw_complex* in, fftw_complex* out, int sign,
                              int threads, int* taken = nullptr);

// Whether a threaded plan, as fftw_sprint_plan prints it, computes every value with the same
// operations as the serial plan: its loops split between threads merged back, copies and
// transposes (which move values and compute nothing) taken as one.
bool same_steps(const char* serial, const char* threaded);
