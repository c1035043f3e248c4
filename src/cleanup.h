// Removing unfinished output files when the run is interrupted or a write fails.
#pragma once

#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>

// A file being written: its name and what it was when opened.
struct unfinished_file {
  const char* path = nullptr;
  bool regular = false;
  dev_t dev = 0;
  ino_t ino = 0;
};

// Remembers the file just opened on stream as one to remove if the run stops now.
void cleanup_track(unfinished_file* u, const char* path, FILE* stream);
void cleanup_untrack(unfinished_file* u);
// Removes the named file if it still is the regular file that was opened; safe in a handler.
void cleanup_remove(const unfinished_file* u);

// Holds off the asynchronous ending signals while a file is created and tracked or results
// are put in place; one that comes meanwhile is delivered on release.
void cleanup_hold_signals(sigset_t* old);
void cleanup_release_signals(const sigset_t* old);
// Removes every tracked file; for a run that ends before finishing them.
void cleanup_remove_all();

// Every catchable signal whose default ends the process removes the tracked files, then the
// process dies of it as before; exit() removes them too.
void install_signal_cleanup();
