// korvel: the command-line face of the library. Each verb reads one media file
// (or standard input for "-"), runs one operation and writes the result (or
// standard output for "-").
//
// Every verb, its arguments, their accepted values and their help text are
// declared once in kVerbs below; parsing, validation and the help pages all
// read that table. Exit codes: 0 success, 1 the operation failed (with its
// reason), 2 the command line was refused before any work was done.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "korvel.h"

namespace {

// ---- Argument checks -------------------------------------------------------

bool parse_double(const char* text, double* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(*value);
}

bool parse_int32(const char* text, int32_t* value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || parsed < INT32_MIN || parsed > INT32_MAX)
    return false;
  *value = static_cast<int32_t>(parsed);
  return true;
}

bool one_of(const char* text, std::initializer_list<const char*> names) {
  for (const char* name : names)
    if (std::strcmp(text, name) == 0) return true;
  return false;
}

bool is_seconds(const char* text) {
  double v;
  return parse_double(text, &v);
}

// The library refuses a speed factor outside this range before reading the
// input: beyond it, timestamps leave the 64-bit range or collapse to zero.
bool is_speed_factor(const char* text) {
  double v;
  return parse_double(text, &v) && v >= 0.001 && v <= 1000.0;
}

bool is_volume_factor(const char* text) {
  double v;
  return parse_double(text, &v);
}

bool is_crf(const char* text) {
  int32_t v;
  return parse_int32(text, &v) && v >= 0 && v <= 51;
}

bool is_size(const char* text) {
  int32_t v;
  return parse_int32(text, &v) && (v == 0 || v >= 2);
}

bool is_fps(const char* text) {
  int32_t v;
  return parse_int32(text, &v) && v >= 0;
}

bool is_turn(const char* text) {
  int32_t v;
  return parse_int32(text, &v) && v % 90 == 0 && v % 360 != 0;
}

bool is_preset(const char* text) {
  return one_of(text, {"ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow",
                       "slower", "veryslow", "placebo"});
}

bool is_muxer(const char* text) {
  return text[0] != '\0' && av_guess_format(text, nullptr, nullptr) != nullptr;
}

bool is_audio_format(const char* text) { return one_of(text, {"mp3", "aac", "ogg", "wav"}); }

bool is_image_format(const char* text) { return one_of(text, {"jpeg", "jpg", "png"}); }

// ---- Formats taken from the output file's name ------------------------------

std::string lower_extension(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// Each returns the format for OUT, "" to leave the choice to the library, or
// sets `problem` when the name says nothing usable.
std::string muxer_for(const std::string& out, std::string* problem) {
  if (out == "-" || lower_extension(out).empty()) return "";  // the input's own container
  const std::string lowered = "x." + lower_extension(out);
  const AVOutputFormat* fmt = av_guess_format(nullptr, lowered.c_str(), nullptr);
  if (fmt == nullptr) *problem = "no container is known for the extension of " + out;
  return fmt == nullptr ? "" : fmt->name;
}

std::string audio_format_for(const std::string& out, std::string* problem) {
  const std::string ext = lower_extension(out);
  if (is_audio_format(ext.c_str())) return ext;
  *problem = out == "-" ? "is needed when writing to standard output"
                        : "cannot be told from the extension of " + out;
  return "";
}

std::string image_format_for(const std::string& out, std::string* problem) {
  const std::string ext = lower_extension(out);
  if (is_image_format(ext.c_str())) return ext;
  if (out == "-" || ext.empty()) return "";  // the library's default, JPEG
  *problem = "cannot be told from the extension of " + out;
  return "";
}

// ---- The table --------------------------------------------------------------

struct Option {
  const char* name;     // given as --name VALUE
  const char* metavar;  // VALUE in the usage line
  bool required;
  bool (*accepts)(const char* text);
  const char* accepted;  // the accepted values, for help and refusals
  const char* help;
  // When absent, the value may follow from the output file's name.
  std::string (*from_output)(const std::string& out, std::string* problem);
};

// What the input must hold for the verb to succeed; names a failure's reason.
enum class Needs { kMedia, kVideo, kAudio, kVideoOrAudio };

struct Call;

struct Verb {
  const char* name;
  std::vector<const char*> files;  // positional arguments: the inputs, then OUT, then others
  size_t inputs;                   // how many of the files are read
  std::vector<Option> options;
  Needs needs;
  const char* help;
  // Runs the library operation on the inputs; the result block or null.
  uint8_t* (*run)(const Call& call, uint64_t* out_size);
};

const char kSeconds[] = "a number of seconds (0 or less: no bound)";

uint8_t* run_convert(const Call& c, uint64_t* n);
uint8_t* run_trim(const Call& c, uint64_t* n);
uint8_t* run_mute(const Call& c, uint64_t* n);
uint8_t* run_strip(const Call& c, uint64_t* n);
uint8_t* run_set_metadata(const Call& c, uint64_t* n);
uint8_t* run_speed(const Call& c, uint64_t* n);
uint8_t* run_merge(const Call& c, uint64_t* n);
uint8_t* run_extract_audio(const Call& c, uint64_t* n);
uint8_t* run_volume(const Call& c, uint64_t* n);
uint8_t* run_reencode(const Call& c, uint64_t* n);
uint8_t* run_rotate(const Call& c, uint64_t* n);
uint8_t* run_reverse(const Call& c, uint64_t* n);
uint8_t* run_gif(const Call& c, uint64_t* n);
uint8_t* run_frame(const Call& c, uint64_t* n);

const std::vector<Verb> kVerbs = {
    {"info", {"FILE"}, 1, {}, Needs::kMedia,
     "Prints a one-line JSON report: duration (s), bitrate (bit/s), num_streams, has_video, "
     "has_audio, and the first video and audio streams' properties.",
     nullptr},
    {"convert", {"IN", "OUT"}, 1,
     {{"format", "NAME", false, is_muxer, "an FFmpeg muxer name such as matroska, mp4, mov, mpegts",
       "the container to write; default: from OUT's extension, or IN's own container for - or a "
       "name without extension", muxer_for}},
     Needs::kMedia, "Copies the streams into another container without re-encoding.",
     run_convert},
    {"trim", {"IN", "OUT"}, 1,
     {{"start", "S", false, is_seconds, kSeconds, "first second kept; the output starts at 0",
       nullptr},
      {"end", "E", false, is_seconds, kSeconds, "second where the copy stops", nullptr}},
     Needs::kMedia,
     "Keeps the packets between S and E seconds (stream copy: the cut falls on packets, not on "
     "key frames).",
     run_trim},
    {"mute", {"IN", "OUT"}, 1, {}, Needs::kVideo, "Copies the file without its audio streams.",
     run_mute},
    {"strip-metadata", {"IN", "OUT"}, 1, {}, Needs::kVideoOrAudio,
     "Copies video and audio into MP4 without the container metadata.", run_strip},
    {"set-metadata", {"IN", "OUT", "KEY", "VALUE"}, 1, {}, Needs::kVideoOrAudio,
     "Copies video and audio into MP4 with the container metadata KEY set to VALUE.",
     run_set_metadata},
    {"speed", {"IN", "OUT"}, 1,
     {{"factor", "F", true, is_speed_factor, "a number from 0.001 to 1000",
       "2 plays twice as fast, 0.5 half as fast", nullptr}},
     Needs::kVideoOrAudio,
     "Copies video and audio into MP4 with every timestamp divided by F (nothing is decoded).",
     run_speed},
    {"merge", {"IN1", "IN2", "OUT"}, 2, {}, Needs::kVideoOrAudio,
     "Appends IN2's video and audio to IN1's in one MP4 (stream copy: code both alike).",
     run_merge},
    {"extract-audio", {"IN", "OUT"}, 1,
     {{"format", "NAME", false, is_audio_format, "mp3, aac, ogg or wav",
       "default: from OUT's extension", audio_format_for}},
     Needs::kAudio, "Re-encodes the first audio stream as a 44100 Hz stereo audio file.",
     run_extract_audio},
    {"volume", {"IN", "OUT"}, 1,
     {{"factor", "F", true, is_volume_factor, "a number (1 keeps the level, 0 or less: silence)",
       "level multiplier, clipped at full scale", nullptr}},
     Needs::kAudio, "Re-encodes the first audio stream as AAC at F times its level; video copied.",
     run_volume},
    {"reencode", {"IN", "OUT"}, 1,
     {{"crf", "N", false, is_crf, "a whole number from 0 to 51", "quality, lower is better; "
       "default 23", nullptr},
      {"preset", "P", false, is_preset,
       "ultrafast, superfast, veryfast, faster, fast, medium, slow, slower, veryslow, placebo",
       "libx264 speed preset; default medium", nullptr},
      {"width", "W", false, is_size, "0 or a whole number of at least 2",
       "pixels, rounded down to even; 0 keeps the source's (or follows its aspect ratio)", nullptr},
      {"height", "H", false, is_size, "0 or a whole number of at least 2",
       "pixels, rounded down to even; 0 keeps the source's (or follows its aspect ratio)",
       nullptr}},
     Needs::kVideo, "Re-encodes the first video stream as H.264 in MP4; first audio stream copied.",
     run_reencode},
    {"rotate", {"IN", "OUT"}, 1,
     {{"degrees", "D", true, is_turn, "90, 180 or 270 (or an equivalent such as -90 or 450)",
       "clockwise turn", nullptr}},
     Needs::kVideo, "Turns the video clockwise (H.264 in MP4, crf 18); first audio stream copied.",
     run_rotate},
    {"reverse", {"IN", "OUT"}, 1, {}, Needs::kVideo,
     "Plays the first video stream backwards (H.264 in MP4, no audio). Holds every decoded "
     "picture in memory.",
     run_reverse},
    {"gif", {"IN", "OUT"}, 1,
     {{"fps", "N", false, is_fps, "a whole number, 0 or more", "pictures per second at most; "
       "default (and 0) 10", nullptr},
      {"width", "W", false, is_fps, "a whole number, 0 or more", "pixels, rounded down to even; "
       "default (and 0) 320", nullptr},
      {"start", "S", false, is_seconds, kSeconds, "first second shown", nullptr},
      {"duration", "D", false, is_seconds, kSeconds, "seconds shown; default to the end",
       nullptr}},
     Needs::kVideo, "Makes an animated GIF of the first video stream.", run_gif},
    {"frame", {"IN", "OUT"}, 1,
     {{"format", "NAME", false, is_image_format, "jpeg, jpg or png",
       "default: from OUT's extension, else jpeg", image_format_for},
      {"time", "T", false, is_seconds, "a number of seconds",
       "the first picture at or after T; default the first picture", nullptr}},
     Needs::kVideo, "Writes one picture of the first video stream as a JPEG or PNG image.",
     run_frame},
};

const char kGlobalOptions[] =
    "options of every verb:\n"
    "  -y                 overwrite an existing output file\n"
    "  -v, --loglevel L   FFmpeg messages to show: quiet, error, warning, info, debug\n"
    "                     (default: none on success, the reason on failure)\n"
    "  -h, --help         this verb's help\n";

std::string usage_line(const Verb& verb) {
  std::string line = std::string("korvel ") + verb.name;
  for (const char* file : verb.files) line += std::string(" ") + file;
  for (const Option& o : verb.options) {
    const std::string text = std::string("--") + o.name + " " + o.metavar;
    line += o.required ? " " + text : " [" + text + "]";
  }
  return line;
}

void print_overview(FILE* to) {
  std::fputs("usage: korvel VERB ARGUMENTS [-y] [-v LEVEL]  (a file may be - for standard input "
             "or output)\n\n",
             to);
  for (const Verb& verb : kVerbs) std::fprintf(to, "  %s\n", usage_line(verb).c_str());
  std::fputs("  korvel VERB --help\n  korvel --version\n", to);
}

void print_verb_help(const Verb& verb) {
  std::printf("usage: %s\n\n%s\n", usage_line(verb).c_str(), verb.help);
  if (!verb.options.empty()) std::printf("\n");
  for (const Option& o : verb.options)
    std::printf("  --%s %s\n      %s\n      accepted: %s\n", o.name, o.metavar, o.help, o.accepted);
  std::printf("\n%s", kGlobalOptions);
}

void print_version() {
  std::printf("korvel %s\n", KORVEL_VERSION_STRING);
  std::printf("FFmpeg %s\n", av_version_info());
  const struct {
    const char* name;
    unsigned version;
  } libs[] = {{"libavformat", avformat_version()}, {"libavcodec", avcodec_version()},
              {"libavutil", avutil_version()},     {"libswresample", swresample_version()},
              {"libswscale", swscale_version()}};
  for (const auto& lib : libs)
    std::printf("%-14s %u.%u.%u\n", lib.name, AV_VERSION_MAJOR(lib.version),
                AV_VERSION_MINOR(lib.version), AV_VERSION_MICRO(lib.version));
}

// ---- FFmpeg's messages --------------------------------------------------------

// Lines at error level or worse are kept for the failure reason; every line at
// or under the chosen level is shown. FFmpeg and libx264 log from their own
// threads too, so the state is shared under a lock.
struct LogState {
  std::mutex lock;
  std::atomic<int> shown{AV_LOG_QUIET};  // read unlocked by the cheap refusal
  int print_prefix = 1;
  std::string partial;              // a message that has not reached its newline yet
  std::vector<std::string> errors;  // the call's error lines, oldest first
  bool partial_is_error = false;
};
LogState g_log;

// "[mp4 @ 0x55d0c8]" becomes "mp4: "; the address means nothing to a user.
std::string without_address(const std::string& line) {
  if (line.empty() || line[0] != '[') return line;
  const size_t close = line.find("] ");
  const size_t at = line.find(" @ ");
  if (close == std::string::npos || at == std::string::npos || at > close) return line;
  return line.substr(1, at - 1) + ": " + line.substr(close + 2);
}

void log_callback(void* avcl, int level, const char* fmt, va_list vl) {
  // Cheap refusal first: most messages are below every threshold.
  if (level > g_log.shown && level > AV_LOG_ERROR) return;
  std::lock_guard<std::mutex> hold(g_log.lock);
  char line[1024];
  av_log_format_line2(avcl, level, fmt, vl, line, sizeof line, &g_log.print_prefix);
  if (level <= g_log.shown.load()) std::fputs(line, stderr);
  if (level > AV_LOG_ERROR && g_log.partial.empty()) return;
  g_log.partial += line;
  g_log.partial_is_error = g_log.partial_is_error || level <= AV_LOG_ERROR;
  if (g_log.partial.empty() || g_log.partial.back() != '\n') return;
  g_log.partial.pop_back();
  if (g_log.partial_is_error && g_log.errors.size() < 32)
    g_log.errors.push_back(without_address(g_log.partial));
  g_log.partial.clear();
  g_log.partial_is_error = false;
}

bool set_log_level(const char* name) {
  static const std::map<std::string, int> levels = {{"quiet", AV_LOG_QUIET},
                                                    {"error", AV_LOG_ERROR},
                                                    {"warning", AV_LOG_WARNING},
                                                    {"info", AV_LOG_INFO},
                                                    {"debug", AV_LOG_DEBUG}};
  const auto it = levels.find(name);
  if (it == levels.end()) return false;
  g_log.shown = it->second;
  av_log_set_level(std::max(it->second, AV_LOG_ERROR));
  return true;
}

std::vector<std::string> take_error_lines() {
  std::lock_guard<std::mutex> hold(g_log.lock);
  std::vector<std::string> lines;
  lines.swap(g_log.errors);
  return lines;
}

// ---- Files ----------------------------------------------------------------------

// One input file's bytes: a read-only mapping of a regular file, or standard
// input (or a pipe) read into one growing block.
class InputBytes {
 public:
  InputBytes() = default;
  InputBytes(const InputBytes&) = delete;
  InputBytes& operator=(const InputBytes&) = delete;
  ~InputBytes() {
    if (mapped_) munmap(const_cast<uint8_t*>(data_), size_);
    std::free(block_);
  }

  bool open(const std::string& path) {
    const int fd = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = load(fd);
    const int saved = errno;
    if (fd != STDIN_FILENO) ::close(fd);
    errno = saved;
    return ok;
  }
  const uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }

 private:
  bool load(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0 && lseek(fd, 0, SEEK_CUR) == 0) {
      void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (map != MAP_FAILED) {
        madvise(map, static_cast<size_t>(st.st_size), MADV_SEQUENTIAL);
        data_ = static_cast<const uint8_t*>(map);
        size_ = static_cast<uint64_t>(st.st_size);
        mapped_ = true;
        return true;
      }
    }
    return read_stream(fd, S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0);
  }

  // Reads to the end, doubling the block: a pipe's length is not known ahead.
  bool read_stream(int fd, size_t hint) {
    size_t capacity = hint > 0 ? hint + 1 : size_t{1} << 20, used = 0;
    for (;;) {
      if (used == capacity || block_ == nullptr) {
        if (block_ != nullptr) capacity *= 2;
        void* grown = std::realloc(block_, capacity);
        if (grown == nullptr) {
          errno = ENOMEM;
          return false;
        }
        block_ = static_cast<uint8_t*>(grown);
      }
      const ssize_t n = ::read(fd, block_ + used, capacity - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      used += static_cast<size_t>(n);
    }
    data_ = block_;
    size_ = used;
    return true;
  }

  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  uint8_t* block_ = nullptr;
  bool mapped_ = false;
};

bool write_all(const std::string& path, const uint8_t* data, uint64_t size) {
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  const int fd = path == "-" ? STDOUT_FILENO : ::open(path.c_str(), flags, 0666);
  if (fd < 0) return false;
  bool ok = true;
  while (size > 0 && ok) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) {
      data += n;
      size -= static_cast<uint64_t>(n);
    }
  }
  const int saved = errno;
  if (fd != STDOUT_FILENO && ::close(fd) != 0) ok = false;
  if (!ok && errno == 0) errno = saved;
  return ok;
}

// A regular file that writing would replace; devices and pipes (/dev/null)
// lose nothing.
bool exists(const std::string& path) {
  struct stat st;
  return path != "-" && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// ---- One call -----------------------------------------------------------------------

struct Call {
  const Verb* verb = nullptr;
  std::vector<std::string> files;
  std::map<std::string, std::string> values;  // validated option values
  bool overwrite = false;
  InputBytes inputs[2];

  const std::string& file(size_t i) const { return files[i]; }
  const std::string& output() const { return files[verb->inputs]; }
  const char* text(const char* name) const {
    const auto it = values.find(name);
    return it == values.end() || it->second.empty() ? nullptr : it->second.c_str();
  }
  double number(const char* name, double fallback) const {
    const char* value = text(name);
    double parsed = fallback;
    if (value != nullptr) parse_double(value, &parsed);
    return parsed;
  }
  int32_t integer(const char* name, int32_t fallback) const {
    const char* value = text(name);
    int32_t parsed = fallback;
    if (value != nullptr) parse_int32(value, &parsed);
    return parsed;
  }
  const uint8_t* data() const { return inputs[0].data(); }
  uint64_t size() const { return inputs[0].size(); }
};

uint8_t* run_convert(const Call& c, uint64_t* n) {
  return convert_format(c.data(), c.size(), c.text("format"), n);
}
uint8_t* run_trim(const Call& c, uint64_t* n) {
  return trim_video(c.data(), c.size(), n, c.number("start", 0), c.number("end", 0));
}
uint8_t* run_mute(const Call& c, uint64_t* n) { return mute_video(c.data(), c.size(), n); }
uint8_t* run_strip(const Call& c, uint64_t* n) { return strip_metadata(c.data(), c.size(), n); }
uint8_t* run_set_metadata(const Call& c, uint64_t* n) {
  return set_metadata(c.data(), c.size(), c.file(2).c_str(), c.file(3).c_str(), n);
}
uint8_t* run_speed(const Call& c, uint64_t* n) {
  return change_speed(c.data(), c.size(), n, c.number("factor", 1));
}
uint8_t* run_merge(const Call& c, uint64_t* n) {
  return merge_videos(c.data(), c.size(), c.inputs[1].data(), c.inputs[1].size(), n);
}
uint8_t* run_extract_audio(const Call& c, uint64_t* n) {
  return extract_audio(c.data(), c.size(), c.text("format"), n);
}
uint8_t* run_volume(const Call& c, uint64_t* n) {
  return adjust_volume(c.data(), c.size(), n, c.number("factor", 1));
}
uint8_t* run_reencode(const Call& c, uint64_t* n) {
  return reencode_video(c.data(), c.size(), c.integer("crf", 23), c.text("preset"),
                        c.integer("width", 0), c.integer("height", 0), n);
}
uint8_t* run_rotate(const Call& c, uint64_t* n) {
  return rotate_video(c.data(), c.size(), c.integer("degrees", 90), n);
}
uint8_t* run_reverse(const Call& c, uint64_t* n) { return reverse_video(c.data(), c.size(), n); }
uint8_t* run_gif(const Call& c, uint64_t* n) {
  return video_to_gif(c.data(), c.size(), c.integer("fps", 0), c.integer("width", 0), n,
                      c.number("start", 0), c.number("duration", 0));
}
uint8_t* run_frame(const Call& c, uint64_t* n) {
  return extract_frame(c.data(), c.size(), c.text("format"), n, c.number("time", 0));
}

// The command line was refused: one line, exit 2.
struct Refusal {
  std::string message;
};

const Verb* find_verb(const std::string& name) {
  for (const Verb& verb : kVerbs)
    if (name == verb.name) return &verb;
  return nullptr;
}

const Option* find_option(const Verb& verb, const std::string& name) {
  for (const Option& o : verb.options)
    if (name == o.name) return &o;
  return nullptr;
}

// Splits argv into files and options and checks every value against the
// table; nothing is read before this has passed.
void parse(int argc, char** argv, Call* call) {
  const Verb& verb = *call->verb;
  const std::string prefix = std::string("korvel ") + verb.name + ": ";
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-y") {
      call->overwrite = true;
    } else if (arg == "-v" || arg == "--loglevel" || arg.rfind("--loglevel=", 0) == 0) {
      const bool inline_value = arg.size() > 10 && arg[10] == '=';
      if (!inline_value && i + 1 >= argc)
        throw Refusal{prefix + arg + " needs a level: quiet, error, warning, info, debug"};
      const std::string level = inline_value ? arg.substr(11) : argv[++i];
      if (!set_log_level(level.c_str()))
        throw Refusal{prefix + "invalid log level '" + level +
                      "'; accepted: quiet, error, warning, info, debug"};
    } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      const size_t eq = arg.find('=');
      const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      const Option* o = find_option(verb, name);
      if (o == nullptr)
        throw Refusal{prefix + "unknown option --" + name + " (see korvel " + verb.name +
                      " --help)"};
      if (eq == std::string::npos && i + 1 >= argc)
        throw Refusal{prefix + "--" + name + " needs a value: " + o->accepted};
      call->values[name] = eq == std::string::npos ? argv[++i] : arg.substr(eq + 1);
    } else if (arg.size() > 1 && arg[0] == '-' && !std::isdigit(static_cast<unsigned char>(arg[1]))) {
      throw Refusal{prefix + "unknown option " + arg + " (see korvel " + verb.name + " --help)"};
    } else {
      call->files.push_back(arg);
    }
  }
  if (call->files.size() != verb.files.size())
    throw Refusal{"usage: " + usage_line(verb)};
  for (const Option& o : verb.options) {
    auto it = call->values.find(o.name);
    if (it == call->values.end() && o.from_output != nullptr) {
      std::string problem;
      const std::string derived = o.from_output(call->output(), &problem);
      if (!problem.empty())
        throw Refusal{prefix + "--" + o.name + " " + problem + "; give --" + o.name + " (" +
                      o.accepted + ")"};
      if (!derived.empty()) call->values[o.name] = derived;
      continue;
    }
    if (it == call->values.end()) {
      if (o.required) throw Refusal{prefix + "--" + o.name + " is required: " + o.accepted};
      continue;
    }
    if (!o.accepts(it->second.c_str()))
      throw Refusal{prefix + "invalid --" + o.name + " '" + it->second + "'; accepted: " +
                    o.accepted};
  }
}

// ---- Failure reasons ------------------------------------------------------------------

bool report_has(const char* report, const char* key) {
  return std::strstr(report, (std::string("\"") + key + "\":true").c_str()) != nullptr;
}

// Why an operation gave no result: what FFmpeg reported during the call and a
// look at the input. The same categories and words as the Python package.
std::string failure_reason(const Call& call, const std::vector<std::string>& lines) {
  std::string detail;
  for (const std::string& line : lines) {
    if (line.find("is not a suitable output format") != std::string::npos ||
        line.find("Error setting preset") != std::string::npos)
      return "argument refused: " + line;
    if (detail.find(line) == std::string::npos) detail += (detail.empty() ? "" : "; ") + line;
  }
  const size_t inputs = call.verb->inputs;
  for (size_t i = 0; i < inputs; ++i) {
    char* report = get_video_info(call.inputs[i].data(), call.inputs[i].size());
    if (report == nullptr)
      return "not a media file korvel can read" +
             (inputs > 1 ? " (" + call.file(i) + ")" : std::string()) +
             (detail.empty() ? "" : ": " + detail);
    const bool video = report_has(report, "has_video"), audio = report_has(report, "has_audio");
    std::free(report);
    const Needs needs = call.verb->needs;
    if (needs == Needs::kVideo && !video) return "the input has no video stream";
    if (needs == Needs::kAudio && !audio) return "the input has no audio stream";
    if (needs == Needs::kVideoOrAudio && !video && !audio)
      return "the input has no video or audio stream";
  }
  return "encoding or muxing failed" + (detail.empty() ? "" : ": " + detail);
}

int fail(const Call& call, const std::string& file, const std::string& reason) {
  std::fprintf(stderr, "korvel %s: %s: %s\n", call.verb->name, file.c_str(), reason.c_str());
  return 1;
}

int run(Call* call) {
  const Verb& verb = *call->verb;
  const bool writes = verb.run != nullptr;
  if (writes && !call->overwrite && exists(call->output()))
    return fail(*call, call->output(), "already exists (use -y to overwrite)");
  for (size_t i = 0; i < verb.inputs; ++i)
    if (!call->inputs[i].open(call->file(i))) return fail(*call, call->file(i), std::strerror(errno));

  take_error_lines();
  if (!writes) {
    char* report = get_video_info(call->data(), call->size());
    if (report == nullptr) return fail(*call, call->file(0), failure_reason(*call, take_error_lines()));
    std::printf("%s\n", report);
    std::free(report);
    return 0;
  }
  uint64_t size = 0;
  uint8_t* result = verb.run(*call, &size);
  if (result == nullptr) return fail(*call, call->file(0), failure_reason(*call, take_error_lines()));
  const bool written = write_all(call->output(), result, size);
  std::free(result);
  if (!written) return fail(*call, call->output(), std::strerror(errno));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_callback(log_callback);
  av_log_set_level(AV_LOG_ERROR);
  if (argc < 2) {
    print_overview(stderr);
    return 2;
  }
  const std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    print_overview(stdout);
    return 0;
  }
  if (first == "--version") {
    print_version();
    return 0;
  }
  Call call;
  call.verb = find_verb(first);
  if (call.verb == nullptr) {
    std::fprintf(stderr, "korvel: unknown verb '%s' (see korvel --help)\n", first.c_str());
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      print_verb_help(*call.verb);
      return 0;
    }
  }
  try {
    parse(argc, argv, &call);
  } catch (const Refusal& refusal) {
    std::fprintf(stderr, "%s\n", refusal.message.c_str());
    return 2;
  }
  return run(&call);
}
