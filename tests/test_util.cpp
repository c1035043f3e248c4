// Scratch directories, small disks, files and listings, for the tests.
#include "test_util.h"

#include <ctype.h>
#include <errno.h>
#include <fftw3.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

temp_dir::temp_dir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "anasig-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = tmpl;
}

temp_dir::~temp_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

small_disk::small_disk(const char* size) : path(dir / "mnt") {
  if (mkdir(path.c_str(), 0755) != 0 ||
      mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) != 0) {
    error = strerror(errno);
    return;
  }
  mounted = true;
}

small_disk::~small_disk() {
  if (mounted) umount(path.c_str());
}

std::string printable(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

long long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0, nl;
  while ((nl = text.find('\n', start)) != std::string::npos) {
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start) + " (no newline)");
  return lines;
}

bool is_time_stamp(const std::string& line) {
  const char shape[] = "dddd-dd-dd dd:dd:dd";
  if (line.size() < sizeof shape - 1) return false;
  for (size_t i = 0; i + 1 < sizeof shape; ++i) {
    if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i]) {
      return false;
    }
  }
  return true;
}

std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::set<std::string> names(std::initializer_list<std::string> files,
                            std::initializer_list<std::string> result_bases) {
  std::set<std::string> s(files);
  for (const std::string& b : result_bases) {
    for (const char* e : kExts) s.insert(b + e);
  }
  return s;
}

std::string temp_of(const std::string& dir, const std::string& result) {
  for (const std::string& n : listing(dir)) {
    if (n.rfind("." + result + ".", 0) == 0) return dir + "/" + n;
  }
  return "";
}

FILE* text_file(const std::string& text) {
  FILE* f = tmpfile();
  if (f == nullptr) throw std::runtime_error("tmpfile failed");
  fwrite(text.data(), 1, text.size(), f);
  rewind(f);
  return f;
}

bool wait_for(const std::function<bool()>& cond, double seconds) {
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (cond()) return true;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec + (now.tv_nsec - start.tv_nsec) * 1e-9 > seconds) return false;
    usleep(1000);
  }
}

bool wisdom_loads(const std::string& path) {
  fftw_forget_wisdom();
  bool ok = fftw_import_wisdom_from_filename(path.c_str()) == 1;
  fftw_forget_wisdom();
  return ok;
}

signals random_signals(int count, int n, double bound, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-bound, bound);
  signals x(static_cast<size_t>(count), std::vector<double>(static_cast<size_t>(n)));
  for (auto& row : x)
    for (double& v : row) v = u(rng);
  return x;
}
