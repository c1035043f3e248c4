// Splitting a path into drive, directory, file name and extension, and joining it again.
// Slash, backslash and colon separate; status codes are errno values (0, ENOMEM, ENAMETOOLONG).
#pragma once

#include <stddef.h>

int explode_path_n(const char* real_path, char* drive, size_t drive_len, char* directory,
                   size_t directory_len, char* filename, size_t filename_len, char* extension,
                   size_t extension_len);
// explode_path_n with 256 bytes for every part.
int explode_path(const char* path, char* drive, char* directory, char* filename, char* extension);

int combine_path_n(char* path, size_t path_len, const char* drive, const char* directory,
                   const char* filename, const char* extension);
// combine_path_n into 260 bytes.
int combine_path(char* path, const char* drive, const char* directory, const char* filename,
                 const char* extension);
