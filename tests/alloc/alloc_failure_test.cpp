// Every allocation of a call failed in turn: the call must return null or
// exactly its normal result, leak nothing and not crash.
//
// The parent runs the operation once to warm up FFmpeg's one-time statics, once
// more for the normal result, and once counting its allocations (T). Then, for
// each N in 1..T, a forked child fails allocation N, compares its result with
// the normal one, and reports the blocks still live after it freed the result,
// with their stacks; a crash reports its stack through a signal handler.
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alloc/alloc_interposer.h"
#include "korvel.h"
#include "support/test_support.h"

namespace {

using korvel_test::Bytes;

// Faults inside FFmpeg's own error paths, which korvel cannot avoid. A crash or
// leak is excused only when its stack contains `fault_frame` and the failed
// allocation's stack contains `failed_in`. Unnamed FFmpeg frames are library
// offsets, so entries name the exported function around them.
struct KnownFfmpegFault {
  const char* fault_frame;
  const char* failed_in;
  const char* why;
};
const KnownFfmpegFault kKnownCrashes[] = {
    {"libavcodec.so", "avcodec_open2",
     "a decoder whose initialisation fails on an allocation calls a function "
     "pointer its init never set (jump to address 0) while avcodec_open2 cleans up; "
     "seen under avformat_find_stream_info's probing decoders"},
    {"(avcodec_alloc_context3+", "(av_opt_set+",
     "avcodec_alloc_context3 sets the codec's option defaults with av_opt_set "
     "and asserts that it succeeded (av_assert0, so abort) instead of returning null"},
    {"libmp3lame.so", "(lame_init_params+",
     "LAME fails its own initialisation on an allocation and then calls through "
     "a function pointer it never set (address 0) while avcodec_open2 closes it"},
    {"(__libc_free+", "(swr_convert+",
     "after a failed allocation of one of its internal buffers inside "
     "swr_convert, FFmpeg 4.3's libswresample leaves the heap broken (seen "
     "with 4.3 only); the damage shows at the next free(), wherever it is"},
    {"(av_write_trailer+", "(avformat_write_header+",
     "a muxer's header swallows a failed allocation (the MP3 muxer's ID3v2 "
     "buffer from avio_open_dyn_buf) and reports success; its trailer then "
     "dereferences what was never made"},
};
const KnownFfmpegFault kKnownLeaks[] = {
    {"swr_convert", "swr_convert",
     "libswresample grows its internal sample buffers by allocating the new one "
     "first; when that fails the old buffer is already detached and never freed"},
};

// FFmpeg calls that may drop what they failed to allocate and still report
// success. korvel checks the result of each call that reaches them and fails on
// an error, so a different result after a failure inside one of them (any
// frame of the failed allocation's stack) is FFmpeg's choice.
struct SwallowingCall {
  const char* function;
  const char* why;
};
const SwallowingCall kSwallowingCalls[] = {
    {"avformat_open_input",
     "demuxers skip atoms, tags and index entries they fail to store (the MP4 "
     "demuxer drops edit lists and metadata) and go on"},
    {"avformat_find_stream_info",
     "probing decoders that fail to open or decode are ignored; the stream keeps "
     "the parameters the container gave"},
    {"avformat_write_header",
     "muxers set tags such as \"encoder\" with av_dict_set and ignore its result"},
    {"av_write_trailer",
     "the MP4 muxer builds its udta box in a dynamic buffer and ignores the "
     "failure to open one (mov_write_moov_tag): the index is written without "
     "it. A trailer that reports its failure gives no result (memory output "
     "tests)"},
    {"lame_encode_buffer",
     "LAME reports a failed allocation as an encoding error, which FFmpeg's "
     "wrapper returns as AVERROR_UNKNOWN: no different from a refused frame"},
    {"av_parser_parse2",
     "inside av_read_frame, a parser that cannot grow its buffer (ff_combine_frame) "
     "drops the data and av_read_frame still returns the next packet"},
};

bool swallowed_by_ffmpeg(const std::string& failed) {
  for (const SwallowingCall& call : kSwallowingCalls) {
    if (failed.find(std::string("(") + call.function + "+") != std::string::npos) return true;
  }
  return false;
}

struct Case {
  const char* name;
  const char* fixture;
  std::function<uint8_t*(const Bytes&, uint64_t*)> run;
};

const Case kCases[] = {
    // Stream copy with a window: seek, read, rescale, mux into MP4.
    {"trim_video", "alloc_h264_aac.mp4",
     [](const Bytes& in, uint64_t* out) { return trim_video(in.data(), in.size(), out, 0.3, 0.7); }},
    // Transcoding: AAC decode, 48 kHz to 44.1 kHz resampling, LAME encode.
    {"extract_audio", "alloc_48k.m4a",
     [](const Bytes& in, uint64_t* out) { return extract_audio(in.data(), in.size(), "mp3", out); }},
};

// A child's exit code: the outcome, plus flags.
enum Outcome : int { kNull = 0, kIdentical = 1, kDifferent = 2, kBadLength = 3 };
constexpr int kLeakedFlag = 8;
constexpr int kTableOverflowFlag = 16;
constexpr int kNotReachedFlag = 32;  // the numbered allocation never came

int g_report_fd = -1;

void write_failed_allocation() {
  void* const* frames = nullptr;
  const int depth = alloc_fault::failed_stack(&frames);
  if (depth == 0) return;
  if (write(g_report_fd, "failed allocation:\n", 19) < 0) _exit(127);
  backtrace_symbols_fd(frames, depth, g_report_fd);
}
alignas(16) char g_alt_stack[64 * 1024];

void write_text(const char* text) {
  if (write(g_report_fd, text, std::strlen(text)) < 0) _exit(127);
}

// The failed allocation's stack, then the crash's. The unwinder may stop at a
// frame without unwind data (a call through a null pointer), so the faulting
// instruction and the return address on top of the stack come first.
void report_crash(int sig, siginfo_t*, void* context) {
  char line[64];
  std::snprintf(line, sizeof line, "crash: signal %d\n", sig);
  write_text(line);
  const auto* uc = static_cast<const ucontext_t*>(context);
  void* at[2] = {reinterpret_cast<void*>(uc->uc_mcontext.gregs[REG_RIP]),
                 *reinterpret_cast<void* const*>(uc->uc_mcontext.gregs[REG_RSP])};
  write_text("faulting instruction, then the return address on the stack:\n");
  backtrace_symbols_fd(at, 2, g_report_fd);
  void* frames[64];
  write_text("unwound stack:\n");
  backtrace_symbols_fd(frames, backtrace(frames, 64), g_report_fd);
  write_failed_allocation();
  signal(sig, SIG_DFL);
  raise(sig);
}

void install_crash_report(int fd) {
  g_report_fd = fd;
  stack_t ss{};
  ss.ss_sp = g_alt_stack;
  ss.ss_size = sizeof g_alt_stack;
  sigaltstack(&ss, nullptr);
  struct sigaction sa {};
  sa.sa_sigaction = report_crash;
  sa.sa_flags = SA_ONSTACK | SA_RESETHAND | SA_SIGINFO;
  for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) sigaction(sig, &sa, nullptr);
}

template <size_t N>
bool excused(const std::string& fault, const std::string& failed, const KnownFfmpegFault (&known)[N]) {
  for (const KnownFfmpegFault& k : known) {
    if (fault.find(k.fault_frame) != std::string::npos && failed.find(k.failed_in) != std::string::npos) {
      return true;
    }
  }
  return false;
}

[[noreturn]] void run_child(const Case& c, const Bytes& input, const Bytes& expected, uint64_t n,
                            int fd) {
  const int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, STDERR_FILENO);  // FFmpeg's complaints about the failure
  install_crash_report(fd);
  alarm(60);
  alloc_fault::arm(n);
  uint64_t size = 12345;
  uint8_t* result = c.run(input, &size);
  int code = kNull;
  if (result == nullptr) {
    code = size == 0 ? kNull : kBadLength;
  } else {
    code = size == expected.size() && std::memcmp(result, expected.data(), size) == 0 ? kIdentical
                                                                                       : kDifferent;
  }
  std::free(result);
  alloc_fault::disarm();
  if (!alloc_fault::failure_injected()) code |= kNotReachedFlag;
  const alloc_fault::LiveBlock* blocks = nullptr;
  bool overflowed = false;
  const size_t live = alloc_fault::live_blocks(&blocks, &overflowed);
  for (size_t i = 0; i < live; ++i) {
    dprintf(fd, "leak: %zu bytes, allocation %llu\n", blocks[i].size,
            static_cast<unsigned long long>(blocks[i].seq));
    backtrace_symbols_fd(blocks[i].stack, blocks[i].depth, fd);
  }
  if (live > 0) code |= kLeakedFlag;
  if ((code & 7) == kDifferent || live > 0) write_failed_allocation();
  if (overflowed) code |= kTableOverflowFlag;
  _exit(code);
}

struct ChildReport {
  int status = 0;
  std::string text;
};

// A child per allocation number, `jobs` at a time. Each writes its report into
// a memory file of its own, so no child waits on a full pipe.
class ChildPool {
 public:
  explicit ChildPool(int jobs) : jobs_(jobs) {}

  template <typename Classify>
  void run_all(const Case& c, const Bytes& input, const Bytes& expected, uint64_t total,
               Classify&& classify) {
    uint64_t next = 1;
    while (next <= total || !running_.empty()) {
      while (next <= total && static_cast<int>(running_.size()) < jobs_) start(c, input, expected, next++);
      int status = 0;
      const pid_t pid = waitpid(-1, &status, 0);
      if (pid < 0) {
        if (errno == EINTR) continue;
        break;
      }
      for (size_t i = 0; i < running_.size(); ++i) {
        if (running_[i].pid != pid) continue;
        ChildReport r{status, read_all(running_[i].fd)};
        close(running_[i].fd);
        const uint64_t n = running_[i].n;
        running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
        classify(n, r);
        break;
      }
    }
  }

 private:
  struct Running {
    pid_t pid;
    uint64_t n;
    int fd;
  };

  void start(const Case& c, const Bytes& input, const Bytes& expected, uint64_t n) {
    const int fd = memfd_create("alloc-failure-report", 0);
    const pid_t pid = fork();
    if (pid == 0) run_child(c, input, expected, n, fd);
    running_.push_back({pid, n, fd});
  }

  static std::string read_all(int fd) {
    std::string text;
    char buf[4096];
    off_t at = 0;
    for (ssize_t got; (got = pread(fd, buf, sizeof buf, at)) > 0; at += got) {
      text.append(buf, static_cast<size_t>(got));
    }
    return text;
  }

  int jobs_;
  std::vector<Running> running_;
};

// Leak reports, one per block: "leak: ..." followed by its stack lines.
std::vector<std::string> split_leaks(std::string text) {
  text = text.substr(0, text.find("failed allocation:"));
  std::vector<std::string> leaks;
  for (size_t at = text.find("leak: "); at != std::string::npos;) {
    const size_t next = text.find("leak: ", at + 6);
    leaks.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
    at = next;
  }
  return leaks;
}

std::string failed_allocation_of(const std::string& text) {
  const size_t at = text.find("failed allocation:");
  return at == std::string::npos ? std::string() : text.substr(at);
}

// The faulting instruction and the return address above it, without the
// run's load addresses: one name per crash site.
std::string crash_site(const std::string& crash) {
  const size_t from = crash.find(":\n", crash.find("faulting instruction")) + 2;
  const size_t to = crash.find("unwound stack:");
  std::string site;
  size_t begin = from;
  while (begin < to) {
    const size_t end = crash.find('\n', begin);
    std::string line = crash.substr(begin, end - begin);
    begin = end + 1;
    if (line.size() > 1 && line[0] != '[') line = line.substr(0, line.rfind('['));  // keep lib(+offset)
    site += (site.empty() ? "" : " called from ") + line;
  }
  return site;
}

// The FFmpeg function korvel called when the allocation failed: the frame
// just outside korvel's first one ("korvel" when korvel allocated itself).
std::string ffmpeg_entry_point(const std::string& failed) {
  const size_t korvel = failed.find("libkorvel.so");
  if (korvel == std::string::npos) return "(unknown)";
  const size_t line_start = failed.rfind('\n', korvel);
  const size_t prev_start = line_start == std::string::npos ? 0 : failed.rfind('\n', line_start - 1);
  const std::string prev = failed.substr(prev_start + 1, line_start - prev_start - 1);
  const size_t open = prev.find('(');
  const size_t plus = prev.find('+', open);
  if (prev.find("alloc_failure_tests(") != std::string::npos) return "korvel";
  const size_t slash = prev.rfind('/', open);
  const std::string lib = prev.substr(slash + 1, open - slash - 1);
  return lib + ":" + (plus > open + 1 ? prev.substr(open + 1, plus - open - 1) : "?");
}

// Names korvel's hidden frames ("libkorvel.so(+0x1234)") with addr2line.
std::string symbolize(const std::string& stack) {
  std::string out;
  size_t begin = 0;
  while (begin < stack.size()) {
    size_t end = stack.find('\n', begin);
    if (end == std::string::npos) end = stack.size();
    const std::string line = stack.substr(begin, end - begin);
    begin = end + 1;
    if (line.find("(_ZN7testing") != std::string::npos) continue;  // the test framework
    if (line.find("(main+") != std::string::npos || line.find("libc.so.6(__libc_start") != std::string::npos) continue;
    out += line;
    const size_t lib = line.find("libkorvel.so(+0x");
    if (lib != std::string::npos) {
      const std::string path = line.substr(0, line.find('('));
      const std::string offset = line.substr(lib + 13, line.find(')', lib) - lib - 13);
      out += "  <- " + korvel_test::run("addr2line -f -C -s -e " + korvel_test::shell_quote(path) +
                                        " " + offset + " | paste -sd' '");
      if (!out.empty() && out.back() == '\n') out.pop_back();
    }
    out += '\n';
  }
  return out;
}

struct Tally {
  int null_result = 0, identical = 0, different = 0, different_excused = 0, bad_length = 0;
  int crashed = 0, crashed_excused = 0, leaked = 0, leaks_excused = 0, not_reached = 0;
  std::vector<std::string> faults;  // details of the first two unexcused faults of each kind
  std::vector<std::string> kinds;
  std::map<std::string, int> different_by_entry;

  void note(uint64_t n, const std::string& what, const std::string& stack) {
    if (std::count(kinds.begin(), kinds.end(), what) >= 2) return;
    kinds.push_back(what);
    faults.push_back("allocation " + std::to_string(n) + ": " + what + "\n" + symbolize(stack));
  }
};

void classify(uint64_t n, const ChildReport& r, Tally* t) {
  const std::string failed = failed_allocation_of(r.text);
  if (WIFSIGNALED(r.status)) {
    // Where it crashed: the faulting instruction and the unwound stack.
    const std::string crash = r.text.substr(0, r.text.find("failed allocation:"));
    if (excused(crash, failed, kKnownCrashes)) {
      ++t->crashed_excused;
    } else {
      ++t->crashed;
      t->note(n, "crash at " + crash_site(crash), r.text);
    }
    return;
  }
  const int code = WIFEXITED(r.status) ? WEXITSTATUS(r.status) : kDifferent;
  switch (code & 7) {
    case kNull: ++t->null_result; break;
    case kIdentical: ++t->identical; break;
    case kDifferent: {
      const std::string entry = ffmpeg_entry_point(failed);
      if (swallowed_by_ffmpeg(failed)) {
        ++t->different_excused;
        break;
      }
      ++t->different;
      ++t->different_by_entry[entry];
      t->note(n, "a result different from the normal one", failed);
      break;
    }
    default:
      ++t->bad_length;
      t->note(n, "null result with a non-zero length", "");
      break;
  }
  if (code & kNotReachedFlag) ++t->not_reached;
  if (code & kTableOverflowFlag) t->note(n, "too many live blocks to track", "");
  if (code & kLeakedFlag) {
    bool all_excused = true;
    for (const std::string& leak : split_leaks(r.text)) {
      if (!excused(leak, failed, kKnownLeaks)) {
        all_excused = false;
        t->note(n, "leak", leak + failed);
        break;
      }
    }
    ++(all_excused ? t->leaks_excused : t->leaked);
  }
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name << " on " << c.fixture; }

class AllocationFailure : public ::testing::TestWithParam<Case> {};

TEST_P(AllocationFailure, GivesNullOrTheNormalResultWithoutLeakOrCrash) {
  const Case& c = GetParam();
  const Bytes& input = korvel_test::fixture(c.fixture);
  alloc_fault::warm_up_stack_capture();

  uint64_t size = 0;
  std::free(c.run(input, &size));  // FFmpeg's one-time set-up happens here
  const korvel_test::Result normal = korvel_test::call([&](uint64_t* out) { return c.run(input, out); });
  ASSERT_TRUE(normal) << c.name << " fails on " << c.fixture << " without a fault";
  const Bytes expected = normal.bytes();

  alloc_fault::arm(0);
  std::free(c.run(input, &size));
  alloc_fault::disarm();
  const uint64_t total = alloc_fault::allocations();
  const alloc_fault::LiveBlock* blocks = nullptr;
  bool overflowed = false;
  ASSERT_EQ(alloc_fault::live_blocks(&blocks, &overflowed), 0u) << "a call without a fault leaks";
  ASSERT_GT(total, 10u);

  Tally t;
  std::fflush(stdout);  // children must not repeat buffered output
  ChildPool(2).run_all(c, input, expected, total,
                       [&](uint64_t n, const ChildReport& r) { classify(n, r, &t); });

  std::printf("%s on %s: %llu allocations failed in turn: null %d, identical %d, "
              "different %d (+%d excused), null with a length %d, crashed %d (+%d excused), "
              "leaked %d (+%d excused), failure not reached %d\n",
              c.name, c.fixture, static_cast<unsigned long long>(total), t.null_result, t.identical,
              t.different, t.different_excused, t.bad_length, t.crashed, t.crashed_excused, t.leaked, t.leaks_excused,
              t.not_reached);
  for (const auto& [entry, count] : t.different_by_entry) {
    std::printf("  different results after a failure inside %s: %d\n", entry.c_str(), count);
  }
  std::string details;
  for (const std::string& f : t.faults) details += f + "\n";
  EXPECT_EQ(t.different, 0) << details;
  EXPECT_EQ(t.bad_length, 0) << details;
  EXPECT_EQ(t.crashed, 0) << details;
  EXPECT_EQ(t.leaked, 0) << details;
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationFailure, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
