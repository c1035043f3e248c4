// Where a result file is written, and putting the results of one input in place together.
#pragma once

#include <stdio.h>

#include <string>

#include "tempfile.h"

// A result is written to a hidden temporary file beside where it will stand and renamed over
// its name once every result of the input is complete; devices, FIFOs and a result whose
// folder takes no new file are written directly.
struct result_file {
  const char* path = nullptr;  // the result's name, as reported
  std::string target;          // where the result stands: path, or the file a link names
  FILE* f = nullptr;
  tracked_file id = kNoFile;
};

// Whether the input being processed is a pipe, FIFO or device rather than a file in a folder;
// the refusal of a result says so.
extern bool result_input_is_stream;

// Opens where the result at path is written, refused exactly where opening path for writing
// is ("Couldn't open %s for writing.", the reason, and exit 1). The file is tracked for
// removal. Early (before the input is read), a result that would be written in place is not
// opened yet: false then, and the later call opens it.
bool open_result(result_file* r, const char* path, bool early = false);
// Closes the file; "Couldn't write %s." and exit 1 when anything written did not arrive.
void close_result(result_file* r, bool write_failed);
// Puts every finished result in place, in the order given; exit 1 on failure.
void commit_results(result_file* results, int count);
