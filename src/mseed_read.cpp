// The reader of miniSEED files through libmseed: each channel (NET.STA.LOC.CHAN, in sorted
// order) is one signal on a common time base, NaN where a channel has no record.
#include <libmseed.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fatal.h"
#include "input_format.h"

namespace {

struct record {
  hptime_t start;
  std::vector<double> samples;
};

struct channel {
  double rate = 0;
  std::vector<record> records;
};

void quiet_log(char*) {}

std::string time_text(hptime_t t) {
  char buf[64];
  ms_hptime2isotimestr(t, buf, 1);
  return buf;
}

template <typename T>
void append(const void* data, int64_t n, std::vector<double>* out) {
  const T* v = static_cast<const T*>(data);
  for (int64_t k = 0; k < n; ++k) out->push_back(static_cast<double>(v[k]));
}

struct msr_deleter {
  void operator()(MSRecord* r) const { msr_free(&r); }
};

}  // namespace

bool is_mseed(const unsigned char* head, size_t size) {
  if (size < 48) return false;
  for (int k = 0; k < 6; ++k) {
    if ((head[k] < '0' || head[k] > '9') && head[k] != ' ' && head[k] != '\0') return false;
  }
  if (strchr("DRQM", head[6]) == nullptr || head[6] == '\0') return false;
  if (head[7] != ' ' && head[7] != '\0') return false;
  return ms_detect(reinterpret_cast<const char*>(head), static_cast<int>(size)) != -1;
}

void read_mseed(FILE* f, const char* path, matrix_text* m, double* interval) {
  ms_loginit(quiet_log, nullptr, quiet_log, nullptr);
  std::vector<char> bytes;
  char buf[1 << 16];
  size_t got;
  while ((got = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + got);
  if (ferror(f)) refuse_recording(path, "the file could not be read");

  std::map<std::string, channel> channels;
  for (size_t at = 0; at < bytes.size();) {
    MSRecord* raw = nullptr;
    const int left = static_cast<int>(std::min<size_t>(bytes.size() - at, INT_MAX));
    const int st = msr_parse(bytes.data() + at, left, &raw, -1, 1, 0);
    std::unique_ptr<MSRecord, msr_deleter> r(raw);
    if (st > 0) refuse_recording(path, "the file ends inside a record");
    if (st != MS_NOERROR || r == nullptr || r->reclen <= 0)
      refuse_recording(path, "a record at byte " + std::to_string(at) + " is damaged");
    at += static_cast<size_t>(r->reclen);
    if (r->numsamples == 0) continue;
    const std::string name =
        std::string(r->network) + "." + r->station + "." + r->location + "." + r->channel;
    channel& c = channels[name];
    const double rate = msr_samprate(r.get());
    if (!(rate > 0)) refuse_recording(path, name + " has no sampling rate");
    if (c.rate == 0) c.rate = rate;
    if (fabs(rate - c.rate) > 1e-6 * c.rate)
      refuse_recording(path, name + " changes its sampling rate");
    record rec;
    rec.start = r->starttime;
    switch (r->sampletype) {
      case 'i':
        append<int32_t>(r->datasamples, r->numsamples, &rec.samples);
        break;
      case 'f':
        append<float>(r->datasamples, r->numsamples, &rec.samples);
        break;
      case 'd':
        append<double>(r->datasamples, r->numsamples, &rec.samples);
        break;
      default:
        refuse_recording(path, name + " holds text, not samples");
    }
    c.records.push_back(std::move(rec));
  }
  if (channels.empty()) {
    m->lines = m->values = 0;
    return;
  }

  // One rate for every channel, one time base from the earliest start.
  const auto first = channels.begin();
  for (const auto& [name, c] : channels) {
    if (fabs(c.rate - first->second.rate) > 1e-6 * first->second.rate) {
      char why[256];
      snprintf(why, sizeof why, "%s is sampled at %g Hz and %s at %g Hz", first->first.c_str(),
               first->second.rate, name.c_str(), c.rate);
      refuse_recording(path, why);
    }
  }
  const double rate = first->second.rate;
  hptime_t t0 = INT64_MAX;
  for (const auto& [name, c] : channels)
    for (const record& rec : c.records) t0 = std::min(t0, rec.start);
  long long samples = 0;
  std::vector<std::vector<long long>> offsets;
  for (const auto& [name, c] : channels) {
    offsets.emplace_back();
    for (const record& rec : c.records) {
      const double at = static_cast<double>(rec.start - t0) / HPTMODULUS * rate;
      const double k = std::round(at);
      if (fabs(at - k) > 0.01) {
        refuse_recording(path, "a record of " + name + " at " + time_text(rec.start) +
                                   " starts between the samples");
      }
      offsets.back().push_back(static_cast<long long>(k));
      samples =
          std::max(samples, static_cast<long long>(k) + static_cast<long long>(rec.samples.size()));
    }
  }
  const long long signals = static_cast<long long>(channels.size());
  if (samples > INT_MAX || samples * signals > INT_MAX) fatal("Too many values in %s.\n", path);
  m->lines = static_cast<int>(samples);
  m->values = static_cast<int>(signals);
  const size_t n = static_cast<size_t>(samples * signals);
  double* out = reserve_values(m, n);
  for (size_t k = 0; k < n; ++k) out[k] = NAN;
  std::vector<bool> filled(static_cast<size_t>(samples));
  size_t s = 0;
  for (const auto& [name, c] : channels) {
    filled.assign(filled.size(), false);
    for (size_t r = 0; r < c.records.size(); ++r) {
      const long long k0 = offsets[s][r];
      const std::vector<double>& v = c.records[r].samples;
      for (size_t j = 0; j < v.size(); ++j) {
        const size_t k = static_cast<size_t>(k0) + j;
        if (filled[k]) {
          const hptime_t t = t0 + static_cast<hptime_t>(std::llround(k * HPTMODULUS / rate));
          refuse_recording(path, "records of " + name + " overlap at " + time_text(t));
        }
        filled[k] = true;
        out[k * channels.size() + s] = v[j];
      }
    }
    ++s;
  }
  *interval = 1.0 / rate;
}
