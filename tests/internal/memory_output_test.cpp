// The output block: its write and seek callbacks, byte-identity with FFmpeg's
// own dynamic buffer for every muxer the operations use, and the failures
// (trailer, size limit, memory cap) that must give no result.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <cstring>
#include <string>

#include "io/memory_input.h"
#include "io/memory_output.h"
#include "korvel.h"
#include "support/test_support.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

using namespace korvel;
using korvel_test::Bytes;
using korvel_test::fixture;

namespace {

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

int sink_write(MemorySink* sink, const Bytes& b) {
  return memory_write_packet(sink, const_cast<uint8_t*>(b.data()), static_cast<int>(b.size()));
}

Bytes contents(const MemorySink& sink) { return Bytes(sink.data, sink.data + sink.size); }

TEST(MemoryWritePacket, GrowsThroughSeveralBlocksAndPatchesInPlace) {
  MemorySink sink;
  Bytes expected;
  // 3 MiB in odd-sized pieces: the block must grow several times.
  for (int i = 0; expected.size() < 3u << 20; ++i) {
    const Bytes piece = pattern(32768 + 17 * static_cast<size_t>(i), static_cast<uint8_t>(i));
    ASSERT_EQ(sink_write(&sink, piece), static_cast<int>(piece.size()));
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(contents(sink), expected);
  EXPECT_GE(sink.capacity, sink.size);
  EXPECT_LE(sink.capacity, 2 * sink.size);  // geometric, not wildly over

  // A muxer patching a header: seek back, overwrite, return to the end.
  const Bytes patch = pattern(100, 200);
  ASSERT_EQ(memory_write_seek(&sink, 12, SEEK_SET), 12);
  ASSERT_EQ(sink_write(&sink, patch), 100);
  std::copy(patch.begin(), patch.end(), expected.begin() + 12);
  EXPECT_EQ(sink.size, static_cast<int64_t>(expected.size()));  // no growth
  ASSERT_EQ(memory_write_seek(&sink, 0, SEEK_END), static_cast<int64_t>(expected.size()));
  ASSERT_EQ(sink_write(&sink, patch), 100);
  expected.insert(expected.end(), patch.begin(), patch.end());
  EXPECT_EQ(contents(sink), expected);
  EXPECT_FALSE(sink.failed);
  std::free(sink.data);
}

TEST(MemoryWritePacket, AGapLeftBySeekingPastTheEndReadsAsZeros) {
  MemorySink sink;
  ASSERT_EQ(sink_write(&sink, pattern(10, 1)), 10);
  ASSERT_EQ(memory_write_seek(&sink, 20, SEEK_CUR), 30);
  EXPECT_EQ(memory_write_seek(&sink, 0, AVSEEK_SIZE), 10);  // nothing written there yet
  ASSERT_EQ(sink_write(&sink, pattern(5, 9)), 5);
  Bytes expected = pattern(10, 1);
  expected.resize(30, 0);
  const Bytes tail = pattern(5, 9);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(contents(sink), expected);
  std::free(sink.data);
}

TEST(MemoryWritePacket, AWriteBeyondTheLimitIsRefusedAndMarksTheSink) {
  MemorySink sink;
  sink.limit = 100;
  ASSERT_EQ(sink_write(&sink, pattern(60, 0)), 60);
  EXPECT_EQ(sink_write(&sink, pattern(41, 0)), AVERROR(EFBIG));
  EXPECT_TRUE(sink.failed);
  EXPECT_EQ(sink.size, 60);  // the refused write left nothing behind
  std::free(sink.data);
}

struct SeekCase {
  const char* name;
  int64_t offset;
  int whence;
  int64_t expected_result;
  int64_t expected_position;
};

class MemoryWriteSeek : public ::testing::TestWithParam<SeekCase> {};

// A sink holding 100 bytes, positioned at 40, limit 1000.
TEST_P(MemoryWriteSeek, MovesWithinTheLimitOnly) {
  const SeekCase& c = GetParam();
  MemorySink sink;
  sink.size = 100;
  sink.position = 40;
  sink.limit = 1000;
  EXPECT_EQ(memory_write_seek(&sink, c.offset, c.whence), c.expected_result);
  EXPECT_EQ(sink.position, c.expected_position);
}

INSTANTIATE_TEST_SUITE_P(
    Whence, MemoryWriteSeek,
    ::testing::Values(
        SeekCase{"SetInside", 10, SEEK_SET, 10, 10},
        SeekCase{"SetPastTheEndWithinTheLimit", 500, SEEK_SET, 500, 500},
        SeekCase{"SetToTheLimit", 1000, SEEK_SET, 1000, 1000},
        SeekCase{"SetBeyondTheLimit", 1001, SEEK_SET, AVERROR(EINVAL), 40},
        SeekCase{"SetNegative", -1, SEEK_SET, AVERROR(EINVAL), 40},
        SeekCase{"CurBack", -40, SEEK_CUR, 0, 0},
        SeekCase{"CurBeforeTheStart", -41, SEEK_CUR, AVERROR(EINVAL), 40},
        SeekCase{"CurHugeDoesNotWrap", INT64_MAX, SEEK_CUR, AVERROR(EINVAL), 40},
        SeekCase{"CurHugeNegativeDoesNotWrap", INT64_MIN, SEEK_CUR, AVERROR(EINVAL), 40},
        SeekCase{"EndBack", -30, SEEK_END, 70, 70},
        SeekCase{"SizeLeavesThePosition", 0, AVSEEK_SIZE, 100, 40},
        SeekCase{"UnknownWhence", 0, 3, AVERROR(EINVAL), 40}),
    [](const auto& info) { return std::string(info.param.name); });

// FFmpeg's dynamic buffer as the muxer's output: the reference the memory
// block must match byte for byte.
struct DynBufOutput {
  AVFormatContext* muxer = nullptr;
  ~DynBufOutput() {
    if (muxer == nullptr) return;
    if (muxer->pb != nullptr) {
      uint8_t* bytes = nullptr;
      avio_close_dyn_buf(muxer->pb, &bytes);
      av_free(bytes);
    }
    avformat_free_context(muxer);
  }
  Bytes finish() {
    av_write_trailer(muxer);
    uint8_t* bytes = nullptr;
    const int n = avio_close_dyn_buf(muxer->pb, &bytes);
    muxer->pb = nullptr;
    Bytes out(bytes, bytes + std::max(n, 0));
    av_free(bytes);
    return out;
  }
};

// Mirrors every stream of `demuxer` into `muxer` and writes the header.
// Random identifiers (Matroska segment UIDs, Ogg serial numbers) would make
// two runs differ, so both sides mux bit-exactly.
bool start_copy(AVFormatContext* demuxer, AVFormatContext* muxer) {
  muxer->flags |= AVFMT_FLAG_BITEXACT;
  for (unsigned i = 0; i < demuxer->nb_streams; ++i) {
    AVStream* st = avformat_new_stream(muxer, nullptr);
    if (st == nullptr || avcodec_parameters_copy(st->codecpar, demuxer->streams[i]->codecpar) < 0)
      return false;
    st->codecpar->codec_tag = 0;
  }
  return avformat_write_header(muxer, nullptr) >= 0;
}

void write_copy(AVFormatContext* demuxer, AVFormatContext* muxer, const AVPacket* pkt) {
  AVPacket* copy = av_packet_clone(pkt);
  ASSERT_NE(copy, nullptr);
  av_packet_rescale_ts(copy, demuxer->streams[pkt->stream_index]->time_base,
                       muxer->streams[pkt->stream_index]->time_base);
  copy->pos = -1;
  av_interleaved_write_frame(muxer, copy);
  av_packet_free(&copy);
}

// Muxes every packet of `input` twice, through an OutputSession and through a
// dynamic buffer; `ours` gets the result block (null when there is none).
void mux_both_ways(const Bytes& input, const char* muxer_name, korvel_test::Result* ours,
                   Bytes* reference) {
  InputSession in;
  ASSERT_EQ(open_memory_input(input.data(), input.size(), &in), 0);
  OutputSession out;
  ASSERT_EQ(open_memory_output(&out, muxer_name), 0);
  DynBufOutput dyn;
  avformat_alloc_output_context2(&dyn.muxer, nullptr, muxer_name, nullptr);
  ASSERT_NE(dyn.muxer, nullptr);
  ASSERT_GE(avio_open_dyn_buf(&dyn.muxer->pb), 0);
  ASSERT_TRUE(start_copy(in.demuxer, out.muxer));
  ASSERT_TRUE(start_copy(in.demuxer, dyn.muxer));
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(in.demuxer, pkt) >= 0) {
    write_copy(in.demuxer, out.muxer, pkt);
    write_copy(in.demuxer, dyn.muxer, pkt);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  ours->block.reset(take_output_bytes(&out, &ours->size));
  *reference = dyn.finish();
}

struct MuxerCase {
  const char* name;
  const char* muxer;
  const char* input;
  bool trailer_writes;  // false: every byte is out before the trailer
};

void PrintTo(const MuxerCase& c, std::ostream* os) { *os << c.name; }

// An input for the GIF muxer: a GIF made by the library itself.
const Bytes& gif_input() {
  static const Bytes gif = [] {
    const Bytes& in = fixture("h264_aac.mp4");
    uint64_t n = 0;
    uint8_t* block = video_to_gif(in.data(), in.size(), 10, 160, &n, 0, 0);
    Bytes b(block, block + n);
    std::free(block);
    return b;
  }();
  return gif;
}

const Bytes& input_for(const MuxerCase& c) {
  return std::string(c.input) == "gif" ? gif_input() : fixture(c.input);
}

// Every muxer the operations name, and the containers convert_format is most
// often asked for.
const MuxerCase kMuxers[] = {
    {"Mp4", "mp4", "h264_aac.mp4", true},
    {"Mp4VideoOnly", "mp4", "pictures_65.mp4", true},
    {"Matroska", "matroska", "with_subtitles.mkv", true},
    {"MpegTs", "mpegts", "mpegts.ts", true},
    // H.264 from MP4 passes through a bitstream filter the muxer inserts.
    {"MpegTsFromMp4", "mpegts", "h264_aac.mp4", true},
    {"MatroskaFromMp4", "matroska", "h264_aac.mp4", true},
    {"Mov", "mov", "h264_aac.mp4", true},
    {"Mp3", "mp3", "audio.mp3", true},
    {"Adts", "adts", "stereo_48k.m4a", false},
    {"Ogg", "ogg", "mono_22050.ogg", true},
    {"Wav", "wav", "audio.wav", true},
    {"Gif", "gif", "gif", true},
};

class OutputBlock : public ::testing::TestWithParam<MuxerCase> {};

TEST_P(OutputBlock, HoldsExactlyWhatTheDynamicBufferHolds) {
  const MuxerCase& c = GetParam();
  korvel_test::Result ours;
  Bytes reference;
  mux_both_ways(input_for(c), c.muxer, &ours, &reference);
  ASSERT_FALSE(reference.empty());
  ASSERT_TRUE(ours);
  EXPECT_EQ(ours.size, reference.size());
  EXPECT_TRUE(ours.bytes() == reference) << "outputs differ";
}

// The trailer is where MP4 writes its index: when its writes fail, the bytes
// written so far are no file, and the operation must not hand them over.
// The test double of the write callback counts the writes it refuses.
int refused_writes = 0;
int refuse_write(void*, AvioWriteData, int) {
  ++refused_writes;
  return AVERROR(EIO);
}

TEST_P(OutputBlock, IsNotHandedOverWhenTheTrailerCannotBeWritten) {
  const MuxerCase& c = GetParam();
  const Bytes& input = input_for(c);
  InputSession in;
  ASSERT_EQ(open_memory_input(input.data(), input.size(), &in), 0);
  OutputSession out;
  ASSERT_EQ(open_memory_output(&out, c.muxer), 0);
  ASSERT_TRUE(start_copy(in.demuxer, out.muxer));
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(in.demuxer, pkt) >= 0) {
    write_copy(in.demuxer, out.muxer, pkt);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  ASSERT_EQ(out.muxer->pb->error, 0);
  // From here on every write of the output fails, as a full disk would.
  out.muxer->pb->write_packet = refuse_write;
  refused_writes = 0;
  uint64_t size = 0;
  uint8_t* block = take_output_bytes(&out, &size);
  if (c.trailer_writes) {
    EXPECT_GT(refused_writes, 0);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(size, 0u);
  } else {
    // ADTS has no trailer and its packets are already out: the file is whole.
    EXPECT_EQ(refused_writes, 0);
    EXPECT_NE(block, nullptr);
    EXPECT_GT(size, 0u);
  }
  std::free(block);
  // The session still holds whatever was written: released by its owner
  // (LeakSanitizer, in the sanitizer run, checks).
}

INSTANTIATE_TEST_SUITE_P(Muxers, OutputBlock, ::testing::ValuesIn(kMuxers),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OutputBlockLimit, AnOutputLargerThanTheLimitIsNoResult) {
  const Bytes& input = fixture("h264_aac.mp4");
  InputSession in;
  ASSERT_EQ(open_memory_input(input.data(), input.size(), &in), 0);
  OutputSession out;
  ASSERT_EQ(open_memory_output(&out, "matroska"), 0);
  out.sink.limit = 4096;  // stands for 2^31 - 1, which a test cannot fill
  ASSERT_TRUE(start_copy(in.demuxer, out.muxer));
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(in.demuxer, pkt) >= 0) {
    write_copy(in.demuxer, out.muxer, pkt);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  uint64_t size = 0;
  EXPECT_EQ(take_output_bytes(&out, &size), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(out.sink.failed);
}

TEST(OutputBlockLimit, IsTwoGibibytesLessOne) { EXPECT_EQ(kMaxResultSize, INT_MAX); }

// The result block comes from malloc, so a process-wide cap on FFmpeg's own
// allocator (av_max_alloc) does not bound what an operation can return.
TEST(OutputBlockAllocator, IsNotBoundByFfmpegsAllocationCap) {
  // A stream copy of 1.5 MiB of pictures, each packet far below the cap.
  OutputSession out;
  ASSERT_EQ(open_memory_output(&out, "rawvideo"), 0);
  AVStream* st = avformat_new_stream(out.muxer, nullptr);
  ASSERT_NE(st, nullptr);
  st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  st->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
  st->codecpar->width = 256;
  st->codecpar->height = 256;
  st->codecpar->format = AV_PIX_FMT_GRAY8;
  st->time_base = AVRational{1, 25};
  ASSERT_GE(avformat_write_header(out.muxer, nullptr), 0);
  AVPacket* pkt = av_packet_alloc();
  // Process-wide: restored whatever happens below (FFmpeg's default is INT_MAX).
  struct CapGuard {
    CapGuard() { av_max_alloc(512 * 1024); }
    ~CapGuard() { av_max_alloc(INT_MAX); }
  };
  std::optional<CapGuard> cap;
  cap.emplace();
  for (int i = 0; i < 24; ++i) {
    ASSERT_EQ(av_new_packet(pkt, 65536), 0);
    std::memset(pkt->data, i, 65536);
    pkt->pts = pkt->dts = i;
    av_write_frame(out.muxer, pkt);
    av_packet_unref(pkt);
  }
  uint64_t size = 0;
  korvel_test::Result result;
  result.block.reset(take_output_bytes(&out, &size));
  cap.reset();
  av_packet_free(&pkt);
  ASSERT_TRUE(result);
  EXPECT_EQ(size, 24u * 65536u);
  EXPECT_EQ(result.block.get()[23 * 65536], 23);
}

}  // namespace
