// The command-line tool, run as a user would: exit codes, the one-line
// messages, quiet success, formats taken from the output's name, files and
// pipes. Results are checked with ffprobe.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/test_support.h"
#include "support/video_oracle.h"

using namespace korvel_test;

namespace {

struct CliRun {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs `korvel ARGS` (ARGS already shell-quoted) in a scratch folder, with
// standard output and standard error kept apart.
CliRun korvel(const std::string& args, const std::string& stdin_file = "") {
  TempFile err_file(Bytes{}, ".err");
  CliRun r;
  r.out = run(korvel_cli() + " " + args + (stdin_file.empty() ? "" : " < " + shell_quote(stdin_file)) +
                  " 2> " + shell_quote(err_file.path()),
              &r.code);
  const Bytes err = read_file(err_file.path());
  r.err.assign(err.begin(), err.end());
  return r;
}

std::string q(const std::string& text) { return shell_quote(text); }

size_t line_count(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A path in a fresh folder that does not exist yet (the tool refuses to
// replace an existing file without -y).
class Scratch {
 public:
  Scratch() : dir_(run("mktemp -d")) { dir_.erase(dir_.find_last_not_of('\n') + 1); }
  ~Scratch() { run("rm -rf " + shell_quote(dir_)); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

bool file_exists(const std::string& path) { return std::ifstream(path).good(); }

// ---- refused before any work: exit 2, one line naming the argument -----------

struct Refusal {
  const char* name;
  std::string args;  // @IN@ and @OUT@ are replaced
  std::vector<const char*> says;
};

TEST(CommandLineRefusals, BadArgumentsExitTwoWithOneLineBeforeReadingTheInput) {
  // The input does not exist: a refusal that came after reading it would say
  // "No such file" and exit 1 instead.
  const std::vector<Refusal> cases = {
      {"angle", "rotate @IN@ @OUT@ --degrees 45", {"--degrees", "45", "90, 180 or 270"}},
      {"whole turn", "rotate @IN@ @OUT@ --degrees 360", {"--degrees", "360"}},
      {"angle not a number", "rotate @IN@ @OUT@ --degrees ninety", {"--degrees", "ninety"}},
      {"speed zero", "speed @IN@ @OUT@ --factor 0", {"--factor", "0.001 to 1000"}},
      {"speed inf", "speed @IN@ @OUT@ --factor inf", {"--factor", "inf"}},
      {"speed nan", "speed @IN@ @OUT@ --factor nan", {"--factor", "nan"}},
      {"speed tiny", "speed @IN@ @OUT@ --factor 1e-300", {"--factor", "1e-300"}},
      {"speed huge", "speed @IN@ @OUT@ --factor 1e300", {"--factor", "1e300"}},
      {"speed missing", "speed @IN@ @OUT@", {"--factor is required"}},
      {"volume junk", "volume @IN@ @OUT@ --factor loud", {"--factor", "loud"}},
      {"audio format", "extract-audio @IN@ @OUT@ --format flac", {"--format", "flac", "mp3, aac"}},
      {"audio extension", "extract-audio @IN@ @DIR@/a.flac", {"--format", "a.flac"}},
      {"audio to a pipe", "extract-audio @IN@ -", {"--format", "standard output"}},
      {"image format", "frame @IN@ @OUT@ --format webp", {"--format", "webp", "png"}},
      {"image extension", "frame @IN@ @DIR@/a.webp", {"--format", "a.webp"}},
      {"muxer", "convert @IN@ @OUT@ --format nosuchmuxer", {"--format", "nosuchmuxer", "muxer"}},
      {"container extension", "convert @IN@ @DIR@/a.nosuchext", {"--format", "a.nosuchext"}},
      {"crf", "reencode @IN@ @OUT@ --crf 52", {"--crf", "52", "0 to 51"}},
      {"crf negative", "reencode @IN@ @OUT@ --crf -1", {"--crf", "-1"}},
      {"preset", "reencode @IN@ @OUT@ --preset bogus", {"--preset", "bogus", "veryslow"}},
      {"width", "reencode @IN@ @OUT@ --width -4", {"--width", "-4"}},
      {"time", "trim @IN@ @OUT@ --start abc", {"--start", "abc"}},
      {"time trailing junk", "frame @IN@ @DIR@/a.jpg --time 1s", {"--time", "1s"}},
      {"gif fps", "gif @IN@ @OUT@ --fps ten", {"--fps", "ten"}},
      {"integer overflow", "gif @IN@ @OUT@ --width 99999999999", {"--width", "99999999999"}},
      {"value missing", "trim @IN@ @OUT@ --start", {"--start"}},
      {"unknown option", "mute @IN@ @OUT@ --fast", {"--fast", "korvel mute --help"}},
      {"too few files", "trim @IN@", {"usage: korvel trim IN OUT"}},
      {"too many files", "mute @IN@ @OUT@ extra", {"usage: korvel mute IN OUT"}},
      {"log level", "mute @IN@ @OUT@ -v loud", {"loud", "quiet, error, warning, info, debug"}},
      {"unknown verb", "frobnicate @IN@", {"unknown verb 'frobnicate'"}},
  };
  Scratch dir;
  const std::string in = dir.path("missing.mp4"), out = dir.path("out.mp4");
  for (const Refusal& c : cases) {
    std::string args = c.args;
    for (const auto& [key, value] :
         {std::pair<std::string, std::string>{"@IN@", q(in)}, {"@OUT@", q(out)}, {"@DIR@", dir.path("")}}) {
      for (size_t at; (at = args.find(key)) != std::string::npos;) args.replace(at, key.size(), value);
    }
    const CliRun r = korvel(args);
    EXPECT_EQ(r.code, 2) << c.name << ": " << r.err;
    EXPECT_EQ(line_count(r.err), 1u) << c.name << ": " << r.err;
    for (const char* word : c.says) EXPECT_NE(r.err.find(word), std::string::npos) << c.name << ": " << r.err;
    EXPECT_TRUE(r.out.empty()) << c.name;
    EXPECT_FALSE(file_exists(out)) << c.name;
  }
}

// ---- operation failures: exit 1, "korvel VERB: INPUT: REASON" ------------------

struct Failure {
  const char* name;
  const char* verb;
  std::string input;
  std::string extra;          // arguments after IN OUT
  std::vector<const char*> says;
};

TEST(CommandLineFailures, ExitOneWithTheReasonOnOneLine) {
  Scratch dir;
  const std::string junk = dir.path("junk.bin");
  std::ofstream(junk) << std::string(4096, 'z');
  const std::vector<Failure> cases = {
      {"junk input", "mute", junk, "", {"not a media file korvel can read"}},
      {"junk input to info", "info", junk, "", {"not a media file korvel can read"}},
      {"missing input", "mute", dir.path("nothing.mp4"), "", {"No such file"}},
      {"no audio", "extract-audio", fixture_path("video_only.mp4"), "--format mp3",
       {"no audio stream"}},
      {"no audio to scale", "volume", fixture_path("video_only.mp4"), "--factor 2",
       {"no audio stream"}},
      {"no video to encode", "reencode", fixture_path("audio.mp3"), "", {"no video stream"}},
      {"no video to turn", "rotate", fixture_path("audio.wav"), "--degrees 90",
       {"no video stream"}},
      {"no picture", "frame", fixture_path("audio.wav"), "--format png", {"no video stream"}},
      {"muxer refuses the codec", "convert", fixture_path("h264_aac.mp4"), "--format webm",
       {"encoding or muxing failed", "WebM"}},
  };
  for (const Failure& c : cases) {
    const std::string out = dir.path(std::string(c.name) + ".out");
    const std::string files = std::string(c.verb) == "info" ? q(c.input) : q(c.input) + " " + q(out);
    const CliRun r = korvel(std::string(c.verb) + " " + files + " " + c.extra);
    EXPECT_EQ(r.code, 1) << c.name << ": " << r.err;
    EXPECT_EQ(r.err.rfind(std::string("korvel ") + c.verb + ": " + c.input + ": ", 0), 0u)
        << c.name << ": " << r.err;
    EXPECT_EQ(line_count(r.err), 1u) << c.name << ": " << r.err;
    for (const char* word : c.says) EXPECT_NE(r.err.find(word), std::string::npos) << c.name << ": " << r.err;
    EXPECT_FALSE(file_exists(out)) << c.name << ": no output is written on failure";
  }
}

TEST(CommandLineFailures, AnExistingOutputIsKeptUnlessYesIsGiven) {
  Scratch dir;
  const std::string out = dir.path("out.mp4");
  std::ofstream(out) << "precious";
  const std::string in = fixture_path("h264_aac.mp4");
  CliRun r = korvel("mute " + q(in) + " " + q(out));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("already exists (use -y to overwrite)"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(out), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));

  r = korvel("mute " + q(in) + " " + q(out) + " -y");
  EXPECT_EQ(r.code, 0) << r.err;
  const auto probed = probe_file(out);
  EXPECT_EQ(count_streams(probed, "video"), 1);
  EXPECT_EQ(count_streams(probed, "audio"), 0);
}

// ---- success: the right file, and nothing on standard error --------------------

struct Success {
  const char* name;
  std::string args;        // @IN@ is a fixture, @OUT@ a fresh file named `out`
  std::string out;         // output file name (its extension matters)
  const char* format;      // ffprobe's format_name of the result
  const char* codec;       // first stream's codec_name
};

TEST(CommandLineSuccess, WritesTheFormatOfTheNameOrOfFormatAndPrintsNothing) {
  const std::vector<Success> cases = {
      {"mkv from the extension", "convert @IN@ @OUT@", "a.mkv", "matroska,webm", "h264"},
      {"ts from the extension", "convert @IN@ @OUT@", "a.ts", "mpegts", "h264"},
      {"upper-case extension", "convert @IN@ @OUT@", "a.MKV", "matroska,webm", "h264"},
      {"--format wins over the name", "convert @IN@ @OUT@ --format matroska", "a.mp4",
       "matroska,webm", "h264"},
      {"no extension keeps the input's container", "convert @IN@ @OUT@", "plain",
       "mov,mp4,m4a,3gp,3g2,mj2", "h264"},
      {"wav from the extension", "extract-audio @IN@ @OUT@", "a.wav", "wav", "pcm_s16le"},
      {"ogg from the extension", "extract-audio @IN@ @OUT@", "a.ogg", "ogg", "vorbis"},
      {"png from the extension", "frame @IN@ @OUT@ --time 0.5", "a.png", "png_pipe", "png"},
      {"jpeg by default", "frame @IN@ @OUT@", "still", "jpeg_pipe", "mjpeg"},
      {"--format wins for pictures", "frame @IN@ @OUT@ --format png", "a.jpg", "png_pipe", "png"},
      {"x264 statistics silenced", "reencode @IN@ @OUT@ --crf 35 --preset ultrafast --width 160",
       "a.mp4", "mov,mp4,m4a,3gp,3g2,mj2", "h264"},
      {"AAC encoder silenced", "volume @IN@ @OUT@ --factor 0.5", "a.mp4",
       "mov,mp4,m4a,3gp,3g2,mj2", "h264"},
      {"swscaler silenced", "gif @IN@ @OUT@ --fps 5 --width 80", "a.gif", "gif", "gif"},
  };
  const std::string in = fixture_path("h264_aac.mp4");
  for (const Success& c : cases) {
    Scratch dir;
    const std::string out = dir.path(c.out);
    std::string args = c.args;
    args.replace(args.find("@IN@"), 4, q(in));
    args.replace(args.find("@OUT@"), 5, q(out));
    const CliRun r = korvel(args);
    EXPECT_EQ(r.code, 0) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    const auto probed = probe_file(out);
    ASSERT_TRUE(probed.contains("format")) << c.name;
    EXPECT_EQ(probed["format"]["format_name"], c.format) << c.name;
    EXPECT_EQ(probed["streams"][0]["codec_name"], c.codec) << c.name;
  }
}

TEST(CommandLineSuccess, InfoPrintsTheReportAndPipesWork) {
  const std::string in = fixture_path("h264_aac.mp4");
  CliRun r = korvel("info " + q(in));
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("{\"duration\":", 0), 0u) << r.out;

  // Standard input to standard output; with - the input's own container stays.
  Scratch dir;
  const std::string piped = dir.path("piped");
  r = korvel("trim - - --start 0.5 --end 1.5 > " + q(piped), in);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const auto probed = probe_file(piped);
  ASSERT_TRUE(probed.contains("format"));
  EXPECT_EQ(probed["format"]["format_name"], "mov,mp4,m4a,3gp,3g2,mj2");
  EXPECT_LT(std::stod(probed["format"]["duration"].get<std::string>()), 1.3);

  r = korvel("convert - - --format matroska > " + q(piped), in);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(probe_file(piped)["format"]["format_name"], "matroska,webm");
}

TEST(CommandLineLogging, LoglevelShowsFFmpegsMessages) {
  const std::string in = fixture_path("h264_aac.mp4");
  // libx264 reports its statistics at info level, not at warning level.
  CliRun r = korvel("reencode " + q(in) + " - --preset ultrafast -v info > /dev/null");
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.err.find("] frame I:"), std::string::npos) << r.err;
  r = korvel("reencode " + q(in) + " - --preset ultrafast --loglevel=warning > /dev/null");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err.find("frame I:"), std::string::npos) << r.err;
}

// ---- help and version ---------------------------------------------------------------

TEST(CommandLineHelp, EveryVerbHasHelpAndTheOverviewListsIt) {
  const char* verbs[] = {"info",  "convert",       "trim",   "mute",     "strip-metadata",
                         "set-metadata", "speed",  "merge",  "extract-audio", "volume",
                         "reencode", "rotate",     "reverse", "gif",     "frame"};
  const CliRun overview = korvel("--help");
  EXPECT_EQ(overview.code, 0);
  for (const char* verb : verbs) {
    const CliRun r = korvel(std::string(verb) + " --help");
    EXPECT_EQ(r.code, 0) << verb;
    EXPECT_EQ(r.out.rfind(std::string("usage: korvel ") + verb + " ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("-y"), std::string::npos) << verb;
    EXPECT_NE(overview.out.find(std::string("korvel ") + verb + " "), std::string::npos) << verb;
  }
  const CliRun bare = korvel("");
  EXPECT_EQ(bare.code, 2);
  EXPECT_NE(bare.err.find("usage:"), std::string::npos);
}

TEST(CommandLineHelp, VersionNamesKorvelAndTheFiveLibraries) {
  const CliRun r = korvel("--version");
  EXPECT_EQ(r.code, 0);
  std::istringstream lines(r.out);
  std::string first, second;
  std::getline(lines, first);
  std::getline(lines, second);
  EXPECT_EQ(first.rfind("korvel ", 0), 0u) << first;
  EXPECT_GT(first.size(), 7u);
  EXPECT_EQ(second.rfind("FFmpeg ", 0), 0u) << second;
  for (const char* lib : {"libavformat", "libavcodec", "libavutil", "libswresample", "libswscale"}) {
    const size_t at = r.out.find(std::string("\n") + lib + " ");
    ASSERT_NE(at, std::string::npos) << lib << " in " << r.out;
    unsigned major = 0, minor = 0, micro = 0;
    const std::string rest = r.out.substr(at + 1 + std::string(lib).size());
    EXPECT_EQ(std::sscanf(rest.c_str(), " %u.%u.%u", &major, &minor, &micro), 3) << rest;
    EXPECT_GE(major, 3u) << lib;
  }
}

}  // namespace
