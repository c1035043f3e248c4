#include "mypath.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "compat.h"

namespace {

bool is_sep(char c) {
  return c == '/' || c == '\\' || c == ':';
}

// Copies s into an optional part buffer; false when the part was given and s did not fit.
bool put_part(char* buf, size_t len, const char* s) {
  if (buf == nullptr) return true;
  return strlcpy(buf, s, len) < len;
}

}  // namespace

int explode_path_n(const char* real_path, char* drive, size_t drive_len, char* directory,
                   size_t directory_len, char* filename, size_t filename_len, char* extension,
                   size_t extension_len) {
  // A zero-length buffer has no first byte to clear.
  if (drive != nullptr && drive_len > 0) drive[0] = '\0';
  if (directory != nullptr && directory_len > 0) directory[0] = '\0';
  if (filename != nullptr && filename_len > 0) filename[0] = '\0';
  if (extension != nullptr && extension_len > 0) extension[0] = '\0';
  if (real_path == nullptr) return 0;

  std::unique_ptr<char, decltype(&free)> work(strdup(real_path), &free);
  if (!work) return ENOMEM;
  char* copy = work.get();
  size_t n = strlen(copy);
  if (n == 0) return 0;

  // The last dot or separator; a dot in the first byte still starts the extension.
  size_t i = n - 1;
  while (i > 0 && copy[i] != '.' && !is_sep(copy[i])) --i;
  if (copy[i] == '.') {
    if (!put_part(extension, extension_len, copy + i)) return ENAMETOOLONG;
    copy[i] = '\0';
  }

  size_t j = i;
  while (j > 0 && !is_sep(copy[j])) --j;
  bool has_sep = is_sep(copy[j]);
  if (!put_part(filename, filename_len, has_sep ? copy + j + 1 : copy)) return ENAMETOOLONG;
  if (!has_sep) return 0;

  // The directory keeps its trailing separator; a colon at or before it ends the drive.
  copy[j + 1] = '\0';
  size_t k = j;
  while (k > 0 && copy[k] != ':') --k;
  bool has_colon = copy[k] == ':';
  if (!put_part(directory, directory_len, has_colon ? copy + k + 1 : copy)) return ENAMETOOLONG;
  if (has_colon) {
    copy[k + 1] = '\0';
    if (!put_part(drive, drive_len, copy)) return ENAMETOOLONG;
  }
  return 0;
}

int explode_path(const char* path, char* drive, char* directory, char* filename, char* extension) {
  return explode_path_n(path, drive, 256, directory, 256, filename, 256, extension, 256);
}

int combine_path_n(char* path, size_t path_len, const char* drive, const char* directory,
                   const char* filename, const char* extension) {
  if (path == nullptr) return 0;
  // Not even the terminator fits.
  if (path_len == 0) return ENAMETOOLONG;
  path[0] = '\0';
  size_t n = 0;
  auto put = [&](char c) {
    if (n < path_len) path[n++] = c;
  };
  auto put_all = [&](const char* s) {
    for (; *s != '\0' && n < path_len; ++s) path[n++] = *s;
  };

  if (drive != nullptr && drive[0] != '\0') {
    put_all(drive);
    if (path[n - 1] != ':') put(':');
  }
  if (n < path_len && directory != nullptr && directory[0] != '\0') {
    put_all(directory);
    if (path[n - 1] != '\\' && path[n - 1] != '/') put('/');
  }
  if (n < path_len && filename != nullptr) put_all(filename);
  if (n < path_len && extension != nullptr && extension[0] != '\0') {
    if (extension[0] != '.') put('.');
    put_all(extension);
  }

  if (n < path_len) {
    path[n] = '\0';
    return 0;
  }
  path[path_len - 1] = '\0';
  return ENAMETOOLONG;
}

int combine_path(char* path, const char* drive, const char* directory, const char* filename,
                 const char* extension) {
  return combine_path_n(path, 260, drive, directory, filename, extension);
}
