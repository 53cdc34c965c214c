// The memory reader and seeker, the input session's states, and the output
// hand-off.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <numeric>

#include "io/memory_input.h"
#include "io/memory_output.h"
#include "support/test_support.h"

extern "C" {
#include <libavutil/error.h>
}

using namespace korvel;
using korvel_test::Bytes;
using korvel_test::fixture;

namespace {

Bytes counting_bytes(size_t n) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), uint8_t{0});
  return b;
}

TEST(MemoryReadPacket, HandsOutWhatIsLeftThenReportsEndOfFile) {
  const Bytes data = counting_bytes(10);
  MemoryReader reader{data.data(), 10, 0};
  uint8_t buf[8] = {};
  EXPECT_EQ(memory_read_packet(&reader, buf, 4), 4);
  EXPECT_EQ(0, std::memcmp(buf, data.data(), 4));
  EXPECT_EQ(reader.position, 4);
  // Straddling the end hands over the remainder only.
  EXPECT_EQ(memory_read_packet(&reader, buf, 8), 6);
  EXPECT_EQ(0, std::memcmp(buf, data.data() + 4, 6));
  EXPECT_EQ(reader.position, 10);
  // Then end of file, never 0, and the cursor stays.
  EXPECT_EQ(memory_read_packet(&reader, buf, 8), AVERROR_EOF);
  EXPECT_EQ(reader.position, 10);
}

TEST(MemoryReadPacket, EmptyInputAndZeroSizedRequestsReportEndOfFile) {
  MemoryReader empty{reinterpret_cast<const uint8_t*>(""), 0, 0};
  uint8_t buf[4];
  EXPECT_EQ(memory_read_packet(&empty, buf, 4), AVERROR_EOF);
  const Bytes data = counting_bytes(4);
  MemoryReader reader{data.data(), 4, 0};
  EXPECT_EQ(memory_read_packet(&reader, buf, 0), AVERROR_EOF);
  EXPECT_EQ(reader.position, 0);
}

TEST(MemoryReadPacket, ReadsCorrectlyBeyondTwoGigabytes) {
  // A sparse anonymous mapping: pages are only materialised where touched.
  const int64_t size = (int64_t{1} << 32) + 100;  // 4 GiB + 100
  void* map = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto* bytes = static_cast<uint8_t*>(map);
  bytes[size - 3] = 0xAB;
  bytes[(int64_t{1} << 31) + 5] = 0xCD;
  MemoryReader reader{bytes, size, 0};
  uint8_t buf[16] = {};

  EXPECT_EQ(memory_seek(&reader, 0, AVSEEK_SIZE), size);
  EXPECT_EQ(memory_seek(&reader, (int64_t{1} << 31), SEEK_SET), int64_t{1} << 31);
  EXPECT_EQ(memory_read_packet(&reader, buf, 16), 16);
  EXPECT_EQ(buf[5], 0xCD);
  EXPECT_EQ(memory_seek(&reader, -10, SEEK_END), size - 10);
  EXPECT_EQ(memory_read_packet(&reader, buf, 16), 10);
  EXPECT_EQ(buf[7], 0xAB);
  EXPECT_EQ(memory_read_packet(&reader, buf, 16), AVERROR_EOF);
  munmap(map, static_cast<size_t>(size));
}

struct SeekCase {
  const char* name;
  int64_t start_position;
  int64_t offset;
  int whence;
  int64_t expected_result;
  int64_t expected_position;
};

class MemorySeek : public ::testing::TestWithParam<SeekCase> {};

TEST_P(MemorySeek, MovesTheCursorAsTheWhenceValueSays) {
  const SeekCase& c = GetParam();
  const Bytes data = counting_bytes(100);
  MemoryReader reader{data.data(), 100, c.start_position};
  EXPECT_EQ(memory_seek(&reader, c.offset, c.whence), c.expected_result);
  EXPECT_EQ(reader.position, c.expected_position);
}

INSTANTIATE_TEST_SUITE_P(
    Whence, MemorySeek,
    ::testing::Values(
        SeekCase{"SetInside", 50, 10, SEEK_SET, 10, 10},
        SeekCase{"SetNegativeClampsToStart", 50, -5, SEEK_SET, 0, 0},
        SeekCase{"SetBeyondClampsToEnd", 50, 1000, SEEK_SET, 100, 100},
        SeekCase{"CurForward", 50, 20, SEEK_CUR, 70, 70},
        SeekCase{"CurBackBeyondStart", 50, -80, SEEK_CUR, 0, 0},
        SeekCase{"CurHugeDoesNotWrap", 50, INT64_MAX - 60, SEEK_CUR, 100, 100},
        SeekCase{"EndBack", 50, -30, SEEK_END, 70, 70},
        SeekCase{"EndForwardClamps", 50, 5, SEEK_END, 100, 100},
        SeekCase{"SizeLeavesCursor", 50, 0, AVSEEK_SIZE, 100, 50},
        SeekCase{"ForceFlagIsRefused", 50, 10, SEEK_SET | AVSEEK_FORCE, AVERROR(EINVAL), 50},
        SeekCase{"UnknownWhence", 50, 10, 3, AVERROR(EINVAL), 50},
        SeekCase{"NegativeWhence", 50, 10, -1, AVERROR(EINVAL), 50}),
    [](const auto& info) { return std::string(info.param.name); });

// What open_memory_input leaves behind for each kind of input.
struct OpenCase {
  const char* name;
  Bytes bytes;
  bool null_data;
  int expected_result;
  bool io_expected;
  bool demuxer_expected;
};

class OpenMemoryInput : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenMemoryInput, LeavesWhatCloseCanRelease) {
  const OpenCase& c = GetParam();
  InputSession in;
  static const uint8_t nothing = 0;  // a valid pointer for the empty input
  const uint8_t* data = c.null_data ? nullptr : c.bytes.empty() ? &nothing : c.bytes.data();
  EXPECT_EQ(open_memory_input(data, c.bytes.size(), &in), c.expected_result);
  EXPECT_EQ(in.io != nullptr, c.io_expected);
  EXPECT_EQ(in.demuxer != nullptr, c.demuxer_expected);
  close_memory_input(&in);
  EXPECT_EQ(in.io, nullptr);
  EXPECT_EQ(in.demuxer, nullptr);
  close_memory_input(&in);  // a second close is harmless; so is the destructor's
}

Bytes head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + std::min(n, b.size())); }

INSTANTIATE_TEST_SUITE_P(
    Inputs, OpenMemoryInput,
    ::testing::Values(
        OpenCase{"Mp4Opens", fixture("h264_aac.mp4"), false, 0, true, true},
        OpenCase{"WavOpens", fixture("audio.wav"), false, 0, true, true},
        OpenCase{"EmptyFailsInProbing", Bytes{}, false, -1, true, false},
        OpenCase{"TextFailsInProbing", Bytes(4000, 'x'), false, -1, true, false},
        OpenCase{"NullDataCreatesNothing", Bytes(16, 0), true, -1, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenMemoryInputTruncated, ClosesCleanlyWhateverTheOutcome) {
  // Cut inside the header, inside the payload, and just before the end.
  const Bytes& full = fixture("h264_aac.mp4");
  for (size_t cut : {size_t{64}, size_t{1000}, full.size() / 2, full.size() - 1}) {
    InputSession in;
    const Bytes part = head(full, cut);
    const int result = open_memory_input(part.data(), part.size(), &in);
    EXPECT_EQ(result == 0, in.demuxer != nullptr) << cut;
    if (result == 0) {
      // Reading to the end must terminate and stay inside the bytes.
      AVPacket* pkt = av_packet_alloc();
      int guard = 0;
      while (av_read_frame(in.demuxer, pkt) >= 0 && ++guard < 100000) av_packet_unref(pkt);
      av_packet_free(&pkt);
      EXPECT_LE(in.reader.position, static_cast<int64_t>(part.size()));
    }
  }
}

TEST(OpenMemoryInput, ReadsTheCallersBytesThroughTheCursor) {
  const Bytes& mp4 = fixture("h264_aac.mp4");
  InputSession in;
  ASSERT_EQ(open_memory_input(mp4.data(), mp4.size(), &in), 0);
  EXPECT_EQ(in.reader.data, mp4.data());
  EXPECT_EQ(in.reader.size, static_cast<int64_t>(mp4.size()));
  EXPECT_GT(in.reader.position, 0);
  EXPECT_EQ(in.demuxer->nb_streams, 2u);
  EXPECT_STREQ(in.demuxer->iformat->name, "mov,mp4,m4a,3gp,3g2,mj2");
}

// A muxer that writes nothing for header, packets and trailer.
TEST(TakeOutputBytes, AnEmptyOutputIsNullWithZeroSize) {
  OutputSession out;
  ASSERT_EQ(open_memory_output(&out, "rawvideo"), 0);
  AVStream* st = avformat_new_stream(out.muxer, nullptr);
  ASSERT_NE(st, nullptr);
  st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  st->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
  st->codecpar->width = 16;
  st->codecpar->height = 16;
  st->codecpar->format = AV_PIX_FMT_GRAY8;
  st->time_base = AVRational{1, 25};
  ASSERT_GE(avformat_write_header(out.muxer, nullptr), 0);
  uint64_t size = 0;
  EXPECT_EQ(take_output_bytes(&out, &size), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(out.muxer->pb, nullptr);
}

TEST(TakeOutputBytes, CopiesExactlyWhatTheMuxerWrote) {
  OutputSession out;
  ASSERT_EQ(open_memory_output(&out, "rawvideo"), 0);
  AVStream* st = avformat_new_stream(out.muxer, nullptr);
  st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  st->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
  st->codecpar->width = 16;
  st->codecpar->height = 16;
  st->codecpar->format = AV_PIX_FMT_GRAY8;
  st->time_base = AVRational{1, 25};
  ASSERT_GE(avformat_write_header(out.muxer, nullptr), 0);
  const Bytes payload = counting_bytes(200);
  AVPacket* pkt = av_packet_alloc();
  ASSERT_EQ(av_new_packet(pkt, 200), 0);
  std::memcpy(pkt->data, payload.data(), 200);
  pkt->pts = pkt->dts = 0;
  av_interleaved_write_frame(out.muxer, pkt);
  av_packet_free(&pkt);
  uint64_t size = 0;
  uint8_t* block = take_output_bytes(&out, &size);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(size, 200u);
  EXPECT_EQ(0, std::memcmp(block, payload.data(), 200));
  std::free(block);
  release_output(&out);  // only the context is left to free
  EXPECT_EQ(out.muxer, nullptr);
}

TEST(OpenMemoryOutput, UnknownMuxerFailsInTheFirstStep) {
  OutputSession out;
  EXPECT_EQ(open_memory_output(&out, "no-such-muxer"), -1);
  EXPECT_EQ(out.muxer, nullptr);
}

TEST(ReleaseOutput, DiscardsAnOpenBufferAtEveryStage) {
  {
    OutputSession out;
    ASSERT_EQ(alloc_output_muxer(&out, "mp4"), 0);  // context only
  }
  {
    OutputSession out;
    ASSERT_EQ(open_memory_output(&out, "matroska"), 0);  // buffer attached, nothing written
  }
  {
    OutputSession out;  // header written, bytes never taken
    ASSERT_EQ(open_memory_output(&out, "wav"), 0);
    AVStream* st = avformat_new_stream(out.muxer, nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
    st->codecpar->sample_rate = 8000;
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 28, 100)
    av_channel_layout_default(&st->codecpar->ch_layout, 1);
#else
    st->codecpar->channels = 1;
#endif
    ASSERT_GE(avformat_write_header(out.muxer, nullptr), 0);
    release_output(&out);
    EXPECT_EQ(out.muxer, nullptr);
  }
  // LeakSanitizer, in the sanitizer run, checks that nothing above is lost.
}

}  // namespace
