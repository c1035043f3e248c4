// miniSEED in the compressed encodings, packed by libmseed's own writer: the samples come
// back exactly and their analytic signal is the direct DFT's.
#include <gtest/gtest.h>
#include <libmseed.h>
#include <math.h>
#include <string.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

void keep_record(char* record, int length, void* out) {
  static_cast<std::string*>(out)->append(record, static_cast<size_t>(length));
}

// Records of one channel holding samples, in the given encoding, 512 bytes each.
std::string pack(const char* channel, int encoding, std::vector<int32_t> samples) {
  MSRecord* msr = msr_init(nullptr);
  strcpy(msr->network, "XX");
  strcpy(msr->station, "STA");
  strcpy(msr->channel, channel);
  msr->starttime = ms_time2hptime(2024, 1, 0, 0, 0, 0);
  msr->samprate = 50;
  msr->reclen = 512;
  msr->encoding = static_cast<int8_t>(encoding);
  msr->byteorder = 1;
  msr->datasamples = samples.data();
  msr->numsamples = static_cast<int64_t>(samples.size());
  msr->sampletype = 'i';
  std::string out;
  int64_t packed = 0;
  msr_pack(msr, keep_record, &out, &packed, 1, 0);
  msr->datasamples = nullptr;  // ours, not libmseed's to free
  msr_free(&msr);
  EXPECT_EQ(packed, static_cast<int64_t>(samples.size()));
  return out;
}

TEST(MiniSeed, SteimEncodingsReadAsPackedInSortedChannelOrder) {
  const int n = 600;
  std::vector<int32_t> z(n), e(n);
  signals x(2, std::vector<double>(n));
  for (int k = 0; k < n; ++k) {
    e[k] = static_cast<int32_t>(lround(30000 * cos(2 * M_PI * 7 * k / n) + 5 * k));
    z[k] = static_cast<int32_t>(lround(800 * sin(2 * M_PI * 3 * k / n)));
    x[0][k] = e[k];
    x[1][k] = z[k];
  }
  temp_dir d;
  // HHZ first in the file, steim2; HHE, steim1, is the first signal all the same.
  write_file(d / "s.mseed", pack("HHZ", DE_STEIM2, z) + pack("HHE", DE_STEIM1, e));
  run_result r = run_anasig(d.path, {"anasig", "-#", "s.mseed"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("600 rows, 2 columns\ns.mseed: timestep=0.02 from the file\n"),
            std::string::npos)
      << r.out;
  // The real part is the samples as packed: a sample decoded wrong is off by 1 or more.
  expect_results(d / "s", direct_analytic(x), 1e-5, 0.02);  // 11 digits of 30000
}

}  // namespace
