// korvel: the command-line face of the library. Each verb reads one media file
// (or standard input for "-"), runs one operation and writes the result (or
// standard output for "-").
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "korvel.h"

namespace {

const char kUsage[] =
    "usage: korvel VERB ARGUMENTS   (FILE may be - for standard input or output)\n"
    "\n"
    "  korvel info FILE\n"
    "  korvel convert IN OUT [--format NAME]\n"
    "  korvel trim IN OUT [--start S] [--end E]\n"
    "  korvel mute IN OUT\n"
    "  korvel strip-metadata IN OUT\n"
    "  korvel set-metadata IN OUT KEY VALUE\n"
    "  korvel speed IN OUT --factor F\n"
    "  korvel merge IN1 IN2 OUT\n"
    "  korvel extract-audio IN OUT --format mp3|aac|ogg|wav\n"
    "  korvel volume IN OUT --factor F\n"
    "  korvel reencode IN OUT [--crf N] [--preset P] [--width W] [--height H]\n"
    "  korvel rotate IN OUT --degrees D\n"
    "  korvel reverse IN OUT\n"
    "  korvel gif IN OUT [--fps N] [--width W] [--start S] [--duration D]\n"
    "  korvel frame IN OUT [--format jpeg|jpg|png] [--time T]\n"
    "  korvel --help\n";

struct UsageError {};

// Positional arguments and --name value options of one verb.
struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;

  Arguments(int argc, char** argv, const std::vector<std::string>& known) {
    for (int i = 2; i < argc; ++i) {
      std::string arg = argv[i];
      if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
        const std::string name = arg.substr(2);
        bool ok = false;
        for (const auto& k : known) ok = ok || k == name;
        if (!ok || i + 1 >= argc) throw UsageError{};
        options[name] = argv[++i];
      } else {
        positional.push_back(arg);
      }
    }
  }
  void expect(size_t count) const {
    if (positional.size() != count) throw UsageError{};
  }
  const char* text(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? nullptr : it->second.c_str();
  }
  double number(const std::string& name, double fallback) const {
    const char* value = text(name);
    if (value == nullptr) return fallback;
    char* end = nullptr;
    const double parsed = std::strtod(value, &end);
    if (end == value || *end != '\0') throw UsageError{};
    return parsed;
  }
  int32_t integer(const std::string& name, int32_t fallback) const {
    const char* value = text(name);
    if (value == nullptr) return fallback;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || errno != 0 || parsed < INT32_MIN || parsed > INT32_MAX)
      throw UsageError{};
    return static_cast<int32_t>(parsed);
  }
};

bool read_all(const std::string& path, std::vector<uint8_t>* bytes) {
  FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  uint8_t buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    bytes->insert(bytes->end(), buffer, buffer + n);
  const bool ok = !std::ferror(file);
  if (file != stdin) std::fclose(file);
  return ok;
}

bool write_all(const std::string& path, const uint8_t* data, uint64_t size) {
  FILE* file = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, file) == size;
  ok = (file == stdout ? std::fflush(file) : std::fclose(file)) == 0 && ok;
  return ok;
}

int fail(const char* verb, const std::string& input, const char* what) {
  std::fprintf(stderr, "korvel %s: %s: %s\n", verb, input.c_str(), what);
  return 1;
}

// Reads IN, runs `operation` on its bytes, writes OUT.
template <typename Operation>
int transform(const char* verb, const std::string& in, const std::string& out,
              Operation&& operation) {
  std::vector<uint8_t> input;
  if (!read_all(in, &input)) return fail(verb, in, std::strerror(errno));
  uint64_t size = 0;
  uint8_t* result = operation(input.data(), input.size(), &size);
  if (result == nullptr) return fail(verb, in, "operation failed");
  const bool written = write_all(out, result, size);
  std::free(result);
  if (!written) return fail(verb, out, "cannot write output");
  return 0;
}

int run_verb(const std::string& verb, int argc, char** argv) {
  if (verb == "info") {
    Arguments a(argc, argv, {});
    a.expect(1);
    std::vector<uint8_t> input;
    if (!read_all(a.positional[0], &input))
      return fail("info", a.positional[0], std::strerror(errno));
    char* report = get_video_info(input.data(), input.size());
    if (report == nullptr) return fail("info", a.positional[0], "operation failed");
    std::printf("%s\n", report);
    std::free(report);
    return 0;
  }
  if (verb == "convert") {
    Arguments a(argc, argv, {"format"});
    a.expect(2);
    return transform("convert", a.positional[0], a.positional[1],
                     [&](const uint8_t* d, uint64_t n, uint64_t* out) {
                       return convert_format(d, n, a.text("format"), out);
                     });
  }
  if (verb == "trim") {
    Arguments a(argc, argv, {"start", "end"});
    a.expect(2);
    const double start = a.number("start", -1.0), end = a.number("end", -1.0);
    return transform("trim", a.positional[0], a.positional[1],
                     [&](const uint8_t* d, uint64_t n, uint64_t* out) {
                       return trim_video(d, n, out, start, end);
                     });
  }
  if (verb == "mute") {
    Arguments a(argc, argv, {});
    a.expect(2);
    return transform("mute", a.positional[0], a.positional[1], mute_video);
  }
  if (verb == "strip-metadata") {
    Arguments a(argc, argv, {});
    a.expect(2);
    return transform("strip-metadata", a.positional[0], a.positional[1], strip_metadata);
  }
  if (verb == "set-metadata") {
    Arguments a(argc, argv, {});
    a.expect(4);
    const std::string& key = a.positional[2];
    const std::string& value = a.positional[3];
    return transform("set-metadata", a.positional[0], a.positional[1],
                     [&](const uint8_t* d, uint64_t n, uint64_t* out) {
                       return set_metadata(d, n, key.c_str(), value.c_str(), out);
                     });
  }
  if (verb == "speed") {
    Arguments a(argc, argv, {"factor"});
    a.expect(2);
    if (a.text("factor") == nullptr) throw UsageError{};
    const double factor = a.number("factor", 1.0);
    return transform("speed", a.positional[0], a.positional[1],
                     [&](const uint8_t* d, uint64_t n, uint64_t* out) {
                       return change_speed(d, n, out, factor);
                     });
  }
  if (verb == "merge") {
    Arguments a(argc, argv, {});
    a.expect(3);
    std::vector<uint8_t> second;
    if (!read_all(a.positional[1], &second))
      return fail("merge", a.positional[1], std::strerror(errno));
    return transform("merge", a.positional[0], a.positional[2],
                     [&](const uint8_t* d, uint64_t n, uint64_t* out) {
                       return merge_videos(d, n, second.data(), second.size(), out);
                     });
  }
  if (verb == "gif") {
    Arguments a(argc, argv, {"fps", "width", "start", "duration"});
    a.expect(2);
    const int32_t fps = a.integer("fps", 0), width = a.integer("width", 0);
    const double start = a.number("start", -1.0), duration = a.number("duration", -1.0);
    return transform("gif", a.positional[0], a.positional[1],
                     [&](const uint8_t* d, uint64_t n, uint64_t* out) {
                       return video_to_gif(d, n, fps, width, out, start, duration);
                     });
  }
  if (verb == "frame") {
    Arguments a(argc, argv, {"format", "time"});
    a.expect(2);
    const double time = a.number("time", -1.0);
    return transform("frame", a.positional[0], a.positional[1],
                     [&](const uint8_t* d, uint64_t n, uint64_t* out) {
                       return extract_frame(d, n, a.text("format"), out, time);
                     });
  }
  if (verb == "reencode") {
    Arguments a(argc, argv, {"crf", "preset", "width", "height"});
    a.expect(2);
    const int32_t crf = a.integer("crf", -1);
    const int32_t width = a.integer("width", 0), height = a.integer("height", 0);
    return transform("reencode", a.positional[0], a.positional[1],
                     [&](const uint8_t* d, uint64_t n, uint64_t* out) {
                       return reencode_video(d, n, crf, a.text("preset"), width, height, out);
                     });
  }
  if (verb == "rotate") {
    Arguments a(argc, argv, {"degrees"});
    a.expect(2);
    if (a.text("degrees") == nullptr) throw UsageError{};
    const int32_t degrees = a.integer("degrees", 0);
    return transform("rotate", a.positional[0], a.positional[1],
                     [&](const uint8_t* d, uint64_t n, uint64_t* out) {
                       return rotate_video(d, n, degrees, out);
                     });
  }
  if (verb == "reverse") {
    Arguments a(argc, argv, {});
    a.expect(2);
    return transform("reverse", a.positional[0], a.positional[1], reverse_video);
  }
  if (verb == "extract-audio") {
    Arguments a(argc, argv, {"format"});
    a.expect(2);
    const char* format = a.text("format");
    if (format == nullptr) throw UsageError{};
    return transform("extract-audio", a.positional[0], a.positional[1],
                     [&](const uint8_t* d, uint64_t n, uint64_t* out) {
                       return extract_audio(d, n, format, out);
                     });
  }
  if (verb == "volume") {
    Arguments a(argc, argv, {"factor"});
    a.expect(2);
    if (a.text("factor") == nullptr) throw UsageError{};
    const double factor = a.number("factor", 1.0);
    return transform("volume", a.positional[0], a.positional[1],
                     [&](const uint8_t* d, uint64_t n, uint64_t* out) {
                       return adjust_volume(d, n, out, factor);
                     });
  }
  throw UsageError{};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string verb = argv[1];
  if (verb == "--help" || verb == "-h" || verb == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  try {
    return run_verb(verb, argc, argv);
  } catch (const UsageError&) {
    std::fputs(kUsage, stderr);
    return 2;
  }
}
