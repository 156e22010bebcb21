// Whole-file SHA-1 speed: HashFile on the SHA extensions and on the portable block function,
// against `openssl sha1` and `sha1sum`, on one 1 GiB file held in the page cache.
//
//   sha1_bench DIR [REPETITIONS]
//
// The four runs go round-robin, REPETITIONS times (default 5), so that any drift of the machine
// touches all of them alike. Prints best and median MB/s (10^6 bytes per second) of each, the
// ratios of ours to each tool, and checks that the four digests agree (exit status 1 when they
// do not). Ends with
//   RATIO sha1-openssl <ours best / openssl best>
//   RATIO sha1-sha1sum <ours best / sha1sum best>
// where "ours" is the SHA extensions path when the CPU has it, else the portable path. The data
// file DIR/bench-1g is made once and reused.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/BenchUtil.h"
#include "platform/Env.h"
#include "store/HashFile.h"

namespace {

constexpr int64_t kSize = int64_t{1} << 30;

class NoProgress : public IHashProgress {
 public:
  bool StopRequested() override { return false; }
  void SetHashPercent(int32_t) override {}
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// One timed run: MB/s and the digest text (lower case) it produced.
struct Run {
  double mbs = 0;
  std::string digest;
};

Run RunOurs(const std::string& path, bool portable) {
  CSha1Digest d(portable ? sha1::CompressPortable : sha1::Best());
  NoProgress progress;
  HashGate gate;
  double t = bench::Now();
  bool ok = HashFile(platform::Env::Default(), gate, path.c_str(), d, progress);
  d.Final();
  double seconds = bench::Now() - t;
  char hex[41];
  d.HexDigest(hex);
  if (!ok) std::fprintf(stderr, "HashFile failed on %s\n", path.c_str());
  return {static_cast<double>(kSize) / 1e6 / seconds, ok ? Lower(hex) : "(failed)"};
}

// Runs a tool that prints "<40 hex digits>..." or "...= <40 hex digits>" and takes the digest.
Run RunTool(const std::string& cmd) {
  double t = bench::Now();
  FILE* pipe = popen(cmd.c_str(), "r");
  std::string out;
  if (pipe != nullptr) {
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    if (pclose(pipe) != 0) out.clear();
  }
  double seconds = bench::Now() - t;
  std::string digest = "(failed)";
  for (size_t i = 0; i + 40 <= out.size(); ++i) {
    size_t k = 0;
    while (k < 40 && std::isxdigit(static_cast<unsigned char>(out[i + k]))) ++k;
    if (k == 40 &&
        (i + 40 == out.size() || !std::isxdigit(static_cast<unsigned char>(out[i + 40])))) {
      digest = Lower(out.substr(i, 40));
      break;
    }
    i += k;
  }
  if (digest == "(failed)") std::fprintf(stderr, "no digest from: %s\n", cmd.c_str());
  return {static_cast<double>(kSize) / 1e6 / seconds, digest};
}

void Row(const bench::Series& s, const bench::Series& openssl, const bench::Series& sha1sum) {
  std::printf("  %-26s %9.1f %9.1f   %6.3f %6.3f   %6.3f %6.3f\n", s.name.c_str(), s.Best(),
              s.Median(), s.Best() / openssl.Best(), s.Median() / openssl.Median(),
              s.Best() / sha1sum.Best(), s.Median() / sha1sum.Median());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: sha1_bench DIR [REPETITIONS]\n");
    return 2;
  }
  const std::string path = std::string(argv[1]) + "/bench-1g";
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  bench::MakeFile(path, kSize);

  const bool haveNi = sha1::CompressShaNi() != nullptr;
  bench::Series ni{"HashFile (SHA extensions)", {}}, portable{"HashFile (portable)", {}};
  bench::Series openssl{"openssl sha1", {}}, sha1sum{"sha1sum", {}};
  std::string expected;
  bool agree = true;
  auto record = [&](bench::Series& s, const Run& r) {
    s.values.push_back(r.mbs);
    if (expected.empty()) expected = r.digest;
    if (r.digest != expected) {
      std::fprintf(stderr, "digest of %s differs: %s, expected %s\n", s.name.c_str(),
                   r.digest.c_str(), expected.c_str());
      agree = false;
    }
  };

  std::printf("== sha1: 1 GiB in the page cache, %d repetitions, round-robin\n", reps);
  if (!haveNi) std::printf("  (no SHA extensions on this CPU: ours is the portable path)\n");
  RunOurs(path, true);  // brings the file into the page cache
  const std::string quoted = "'" + path + "'";
  for (int r = 0; r < reps; ++r) {
    if (haveNi) record(ni, RunOurs(path, false));
    record(portable, RunOurs(path, true));
    record(openssl, RunTool("openssl sha1 " + quoted));
    record(sha1sum, RunTool("sha1sum " + quoted));
  }

  std::printf("  %-26s %9s %9s   %-13s   %-13s\n", "", "best MB/s", "median", "/openssl b m",
              "/sha1sum b m");
  if (haveNi) Row(ni, openssl, sha1sum);
  Row(portable, openssl, sha1sum);
  Row(openssl, openssl, sha1sum);
  Row(sha1sum, openssl, sha1sum);
  std::printf("  digests %s: %s\n", agree ? "agree" : "DIFFER", expected.c_str());
  const bench::Series& ours = haveNi ? ni : portable;
  std::printf("RATIO sha1-openssl %.3f\n", ours.Best() / openssl.Best());
  std::printf("RATIO sha1-sha1sum %.3f\n", ours.Best() / sha1sum.Best());
  return agree ? 0 : 1;
}
