// Files of the run written beside where they will stand and put in place only when complete:
// created, committed (renamed, together for a group) or abandoned. Whatever ends the run, be it
// an error, exit() or a signal, removes every file that was not committed.
#pragma once

#include <signal.h>
#include <stdio.h>
#include <sys/types.h>

// A file the module tracks; kNoFile for none.
using tracked_file = int;
constexpr tracked_file kNoFile = -1;

// Creates "." + name + "." + six random characters beside target, with the given permission
// bits, and tracks it; the name is cut from its start so that it stays a valid file name and
// the whole a valid path. Returns the stream, or null with errno set, leaving nothing behind.
FILE* temp_create(const char* target, mode_t mode, tracked_file* id);
// Tracks a file opened on stream that is written under its own name: removed like a temporary
// file if the run stops before it is committed (never when it is not a regular file).
void temp_track(const char* path, FILE* stream, tracked_file* id);
// Renames each temporary file over its target in the order given, holding an exclusive lock on
// each target's folder meanwhile, so that copies of the run committing into one folder at once
// each put their group in place whole; the files are no longer tracked. Returns the index of
// the first file whose rename failed (errno set; that file and those after it stay tracked), or
// count when all were put in place.
int temp_commit(const tracked_file* ids, int count);
// Removes the file (a file written under its own name only when regular) and forgets it.
void temp_abandon(tracked_file id);
// Removes every tracked file; safe in a signal handler.
void temp_remove_all();
// Removes every tracked file and forgets them all, for a run that goes on after a failure.
void temp_abandon_all();

// Holds off the asynchronous ending signals while files are created and tracked or put in
// place; one that comes meanwhile is delivered on release.
void hold_ending_signals(sigset_t* old);
void release_ending_signals(const sigset_t* old);

// Every catchable signal whose default ends the process removes the tracked files, then the
// process dies of it as before. Exit runs no clean-up of its own: the caller's exit handler
// calls temp_remove_all(), in the order it states.
void install_signal_cleanup();
