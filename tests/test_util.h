// Helpers shared by the tests: scratch directories, files, and running the built binary.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

// A fresh directory under the system's temporary directory, removed with its contents.
struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

std::string read_text(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);

// A temporary stdio stream holding text, positioned at its start.
FILE* text_file(const std::string& text);

struct run_result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs the binary in dir with argv[0] = args[0]; feeds `input` to its standard input.
run_result run_anasig(const std::string& dir, const std::vector<std::string>& args,
                      const std::string& input = "");
