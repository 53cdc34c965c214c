// The layout of a fuzz input, shared by the fuzz target and the seed maker.
//
// A fuzz input is a 12-byte header followed by the media file:
//   [0]     operation (index into kOperations, taken modulo its size)
//   [1] [2] text arguments: format, muxer or preset name; metadata key, value
//   [3] [4] [5] integer arguments: crf, degrees or fps; width; height
//   [6] [7] double arguments: start, time or factor; end or duration
//   [8..11] merge_videos: the first file's length, little-endian, taken modulo
//           (file bytes + 1); the second file is the rest
// Each argument byte indexes a table of values (modulo its size). The tables
// open with values the operations accept and go on with values they must
// refuse or survive: unknown names, NULL, negative, huge and non-finite numbers.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace korvel_fuzz {

enum class Operation : uint8_t {
  kGetVideoInfo,
  kConvertFormat,
  kTrimVideo,
  kMuteVideo,
  kStripMetadata,
  kSetMetadata,
  kChangeSpeed,
  kMergeVideos,
  kExtractAudio,
  kAdjustVolume,
  kReencodeVideo,
  kRotateVideo,
  kReverseVideo,
  kVideoToGif,
  kExtractFrame,
};

struct OperationName {
  Operation op;
  const char* name;
};

inline constexpr OperationName kOperations[] = {
    {Operation::kGetVideoInfo, "get_video_info"},
    {Operation::kConvertFormat, "convert_format"},
    {Operation::kTrimVideo, "trim_video"},
    {Operation::kMuteVideo, "mute_video"},
    {Operation::kStripMetadata, "strip_metadata"},
    {Operation::kSetMetadata, "set_metadata"},
    {Operation::kChangeSpeed, "change_speed"},
    {Operation::kMergeVideos, "merge_videos"},
    {Operation::kExtractAudio, "extract_audio"},
    {Operation::kAdjustVolume, "adjust_volume"},
    {Operation::kReencodeVideo, "reencode_video"},
    {Operation::kRotateVideo, "rotate_video"},
    {Operation::kReverseVideo, "reverse_video"},
    {Operation::kVideoToGif, "video_to_gif"},
    {Operation::kExtractFrame, "extract_frame"},
};
inline constexpr size_t kOperationCount = sizeof(kOperations) / sizeof(kOperations[0]);

constexpr size_t kHeaderSize = 12;

// A table of argument values; the first `accepted` entries are ones a caller
// would normally pass.
template <typename T, size_t N>
struct Choices {
  T values[N];
  size_t accepted;
  T pick(uint8_t selector) const { return values[selector % N]; }
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int32_t kIntMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kIntMax = std::numeric_limits<int32_t>::max();

// Muxers for convert_format. Muxers that open files of their own (segment,
// hls, dash, image2, tee) are left out: a fuzz run must not write to disk.
inline constexpr Choices<const char*, 18> kContainers{
    {"mp4", "matroska", "mpegts", "mov", "nut", "avi", "flv", "webm", "ogg", "mp3",
     "wav", "adts", nullptr, "", "bogus", "MP4", "null", "gif"},
    14};
inline constexpr Choices<const char*, 9> kAudioFormats{
    {"mp3", "aac", "ogg", "wav", "MP3", "flac", "", nullptr, "wav "}, 4};
inline constexpr Choices<const char*, 7> kImageFormats{
    {"jpeg", "jpg", "png", nullptr, "PNG", "bmp", ""}, 4};
inline constexpr Choices<const char*, 10> kPresets{
    {"ultrafast", "superfast", "veryfast", nullptr, "", "faster", "ultrafast", "medium",
     "bogus", "ULTRAFAST"},
    8};
inline constexpr Choices<const char*, 8> kMetadataKeys{
    {"title", "comment", "Title", "artist", "encoder", "",
     "a-key-much-longer-than-any-atom-name-a-key-much-longer-than-any-atom-name", nullptr},
    6};
inline constexpr Choices<const char*, 5> kMetadataValues{
    {"korvel", "", "\xc3\xbcml\xc3\xa4ut", "a\nb\tc", nullptr}, 4};
inline constexpr Choices<int32_t, 10> kCrf{{23, 28, 0, 51, 18, -1, 52, kIntMin, kIntMax, 100}, 5};
inline constexpr Choices<int32_t, 14> kDegrees{
    {90, 180, 270, -90, 450, -180, 630, 0, 360, 45, -360, kIntMin, kIntMax, 1}, 7};
inline constexpr Choices<int32_t, 11> kFps{{0, 10, 1, 5, 25, 30, 60, -1, kIntMin, kIntMax, 1000}, 7};
inline constexpr Choices<int32_t, 14> kSizes{
    {0, 64, 32, 160, 2, 3, 101, 1, -2, -1, kIntMin, kIntMax, 4096, 65536}, 7};
inline constexpr Choices<double, 14> kTimes{
    {0, 0.5, 1, 1.5, 0.1, 2, -1, 3, 1e9, kNaN, kInf, -kInf, 1e-9, 1e300}, 6};
inline constexpr Choices<double, 13> kFactors{
    {1, 2, 0.5, 1.5, 10, 0.25, 0, -1, kNaN, kInf, 1e-300, 1e300, 4.9e-324}, 6};

struct Header {
  uint8_t op, text_a, text_b, int_a, int_b, int_c, real_a, real_b;
  uint32_t first_size;
};

inline Header read_header(const uint8_t* h) {
  return Header{h[0], h[1], h[2], h[3], h[4], h[5], h[6], h[7],
                static_cast<uint32_t>(h[8]) | static_cast<uint32_t>(h[9]) << 8 |
                    static_cast<uint32_t>(h[10]) << 16 | static_cast<uint32_t>(h[11]) << 24};
}

inline void write_header(const Header& h, uint8_t* out) {
  const uint8_t bytes[kHeaderSize] = {h.op,
                                      h.text_a,
                                      h.text_b,
                                      h.int_a,
                                      h.int_b,
                                      h.int_c,
                                      h.real_a,
                                      h.real_b,
                                      static_cast<uint8_t>(h.first_size),
                                      static_cast<uint8_t>(h.first_size >> 8),
                                      static_cast<uint8_t>(h.first_size >> 16),
                                      static_cast<uint8_t>(h.first_size >> 24)};
  for (size_t i = 0; i < kHeaderSize; ++i) out[i] = bytes[i];
}

}  // namespace korvel_fuzz
