// The reader of audio files through libsndfile: each channel is one signal, integer PCM
// scaled by 2^(bits-1) as sf_read_double gives it, and the sample rate sets the interval.
#include <limits.h>
#include <sndfile.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "fatal.h"
#include "input_format.h"

namespace {

// Where libsndfile reads: the stream itself when it can seek, else the bytes kept in memory.
struct source {
  FILE* f = nullptr;
  std::vector<unsigned char> bytes;
  sf_count_t pos = 0;
};

sf_count_t src_length(void* user) {
  source* s = static_cast<source*>(user);
  if (s->f == nullptr) return static_cast<sf_count_t>(s->bytes.size());
  struct stat st;
  return fstat(fileno(s->f), &st) == 0 ? st.st_size : -1;
}

sf_count_t src_seek(sf_count_t offset, int whence, void* user) {
  source* s = static_cast<source*>(user);
  if (s->f != nullptr) return fseeko(s->f, offset, whence) == 0 ? ftello(s->f) : -1;
  const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->pos : src_length(s);
  if (base + offset < 0) return -1;
  s->pos = base + offset;
  return s->pos;
}

sf_count_t src_read(void* ptr, sf_count_t count, void* user) {
  source* s = static_cast<source*>(user);
  if (s->f != nullptr)
    return static_cast<sf_count_t>(fread(ptr, 1, static_cast<size_t>(count), s->f));
  const sf_count_t size = static_cast<sf_count_t>(s->bytes.size());
  const sf_count_t n = s->pos >= size ? 0 : std::min(count, size - s->pos);
  if (n > 0) memcpy(ptr, s->bytes.data() + s->pos, static_cast<size_t>(n));
  s->pos += n;
  return n;
}

sf_count_t src_write(const void*, sf_count_t, void*) {
  return 0;
}

sf_count_t src_tell(void* user) {
  source* s = static_cast<source*>(user);
  return s->f != nullptr ? ftello(s->f) : s->pos;
}

struct sndfile_closer {
  void operator()(SNDFILE* sf) const { sf_close(sf); }
};

}  // namespace

void read_audio(FILE* f, const char* path, matrix_text* m, double* interval) {
  source src;
  if (fseeko(f, 0, SEEK_CUR) == 0) {
    src.f = f;
  } else {
    // A pipe: libsndfile seeks in the header, so the stream is kept whole.
    unsigned char buf[1 << 16];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
      src.bytes.insert(src.bytes.end(), buf, buf + got);
  }
  SF_VIRTUAL_IO io = {src_length, src_seek, src_read, src_write, src_tell};
  SF_INFO info;
  memset(&info, 0, sizeof info);
  std::unique_ptr<SNDFILE, sndfile_closer> sf(sf_open_virtual(&io, SFM_READ, &info, &src));
  if (sf == nullptr) refuse_recording(path, sf_strerror(nullptr));
  if (info.channels <= 0 || info.samplerate <= 0)
    refuse_recording(path, "the file names no channels or rate");
  // libsndfile shortens a data chunk that runs past the end of the file, and says so in its log.
  std::vector<char> log(1 << 14);
  sf_command(sf.get(), SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
  for (const char* line = log.data(); line != nullptr && *line != '\0';) {
    const char* end = strchr(line, '\n');
    const std::string text(line, end != nullptr ? end : line + strlen(line));
    if ((text.rfind("data", 0) == 0 || text.rfind("SSND", 0) == 0) &&
        text.find("(should be") != std::string::npos)
      refuse_recording(path, "the file ends inside the data");
    line = end != nullptr ? end + 1 : nullptr;
  }
  if (info.frames > INT_MAX || info.frames * info.channels > INT_MAX)
    fatal("Too many values in %s.\n", path);
  m->lines = static_cast<int>(info.frames);
  m->values = info.channels;
  *interval = 1.0 / info.samplerate;
  if (info.frames == 0) return;
  double* out = reserve_values(m, static_cast<size_t>(info.frames * info.channels));
  if (sf_readf_double(sf.get(), out, info.frames) != info.frames)
    refuse_recording(path, "the file ends inside the data");
}
