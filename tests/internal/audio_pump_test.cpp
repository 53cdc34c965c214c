// The audio encode pump on its own: frame cutting, sample-count timing and the
// stream index, read back from the per-packet report of the framecrc muxer.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "audio/audio_pump.h"
#include "io/ffmpeg_compat.h"
#include "io/ffmpeg_handles.h"
#include "io/memory_output.h"
#include "io/output_streams.h"

using namespace korvel;

namespace {

struct WrittenPacket {
  int stream;
  int64_t pts;
  int size;
};

// A 16-bit stereo PCM encoder (frame size 0: the pump cuts 1024) behind an
// identity resampler, writing into framecrc; with `leading_stream` the pump's
// stream is the second of the output.
class PcmPump {
 public:
  explicit PcmPump(bool leading_stream) {
    CodecPtrConst codec = avcodec_find_encoder_by_name("pcm_s16le");
    enc_.reset(avcodec_alloc_context3(codec));
    enc_->sample_fmt = AV_SAMPLE_FMT_S16;
    enc_->sample_rate = 44100;
    enc_->time_base = AVRational{1, 44100};
    EXPECT_EQ(set_codec_layout(enc_.get(), AV_CH_LAYOUT_STEREO), 0);
    EXPECT_EQ(avcodec_open2(enc_.get(), codec, nullptr), 0);
    swr_.reset(alloc_resampler(AV_CH_LAYOUT_STEREO, AV_SAMPLE_FMT_S16, 44100,
                               AV_CH_LAYOUT_STEREO, AV_SAMPLE_FMT_S16, 44100));
    EXPECT_EQ(swr_init(swr_.get()), 0);
    pump_.frame_size = encoder_frame_size(enc_.get());
    fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_S16, 2, pump_.frame_size));
    EXPECT_EQ(open_memory_output(&output_, "framecrc"), 0);
    if (leading_stream) add_encoded_stream(output_.muxer, enc_.get());
    pump_.stream = add_encoded_stream(output_.muxer, enc_.get());
    EXPECT_EQ(avformat_write_header(output_.muxer, nullptr), 0);
    pump_.swr = &swr_;
    pump_.swr_in = pump_.swr_out = AudioFormat{AV_CH_LAYOUT_STEREO, AV_SAMPLE_FMT_S16, 44100};
    pump_.fifo = fifo_.get();
    pump_.enc = enc_.get();
    pump_.ofmt_ctx = output_.muxer;
    pump_.pkt = pkt_.get();
    pump_.frame = frame_.get();
  }

  // A decoded frame of n samples.
  void feed(int n) {
    FramePtr decoded = make_frame();
    decoded->nb_samples = n;
    decoded->format = AV_SAMPLE_FMT_S16;
    decoded->sample_rate = 44100;
    ASSERT_EQ(copy_layout_to_frame(decoded.get(), enc_.get()), 0);
    ASSERT_EQ(av_frame_get_buffer(decoded.get(), 0), 0);
    ASSERT_EQ(resample_and_queue(pump_, buffer_, decoded.get()), 0);
  }

  int queued() const { return av_audio_fifo_size(fifo_.get()); }

  std::vector<WrittenPacket> finish() {
    EXPECT_EQ(encode_fifo_rest(pump_), 0);
    drain_audio_encoder(pump_);
    uint64_t size = 0;
    uint8_t* text = take_output_bytes(&output_, &size);
    std::vector<WrittenPacket> packets;
    std::istringstream lines(std::string(reinterpret_cast<char*>(text), size));
    std::free(text);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.empty() || line[0] == '#') continue;
      // stream, dts, pts, duration, size, crc
      WrittenPacket p{};
      char comma;
      int64_t dts, duration;
      std::istringstream fields(line);
      fields >> p.stream >> comma >> dts >> comma >> p.pts >> comma >> duration >> comma >> p.size;
      packets.push_back(p);
    }
    return packets;
  }

  AudioPump& pump() { return pump_; }

 private:
  OutputSession output_;
  CodecContextPtr enc_;
  SwrPtr swr_;
  AudioFifoPtr fifo_;
  PacketPtr pkt_ = make_packet();
  FramePtr frame_ = make_frame();
  ResampleBuffer buffer_{2, AV_SAMPLE_FMT_S16};
  AudioPump pump_;
};

struct CutCase {
  const char* name;
  std::vector<int> fed;             // decoded frame sizes
  std::vector<int64_t> frame_sizes;  // encoder frames expected, in order
};

class PumpCutting : public ::testing::TestWithParam<CutCase> {};

TEST_P(PumpCutting, FramesOfFrameSizeThenOneShortRestTimedBySampleCount) {
  const CutCase& c = GetParam();
  PcmPump pump(false);
  for (int n : c.fed) pump.feed(n);
  const auto packets = pump.finish();
  ASSERT_EQ(packets.size(), c.frame_sizes.size());
  int64_t pts = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].pts, pts) << "frame " << i;
    EXPECT_EQ(packets[i].size, c.frame_sizes[i] * 4) << "frame " << i;  // 2 x 16 bits
    pts += c.frame_sizes[i];
  }
  EXPECT_EQ(pump.pump().next_pts, pts);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PumpCutting,
    ::testing::Values(
        CutCase{"LessThanOneFrameWaitsForTheRest", {1000}, {1000}},
        CutCase{"ExactMultipleLeavesNoRest", {2048}, {1024, 1024}},
        CutCase{"ManySmallFramesAreJoined", {100, 200, 300, 424}, {1024}},
        CutCase{"UnevenFramesAreCutAndTheRemainderComesLast",
                {1000, 1000, 3000, 500},
                {1024, 1024, 1024, 1024, 1024, 380}},
        CutCase{"NothingFedWritesNothing", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PumpCutting, WholeFramesAreEncodedAsSoonAsTheyAreQueued) {
  PcmPump pump(false);
  pump.feed(1000);
  EXPECT_EQ(pump.queued(), 1000);
  pump.feed(1100);
  EXPECT_EQ(pump.queued(), 2100 - 2048);
}

TEST(PumpStreamIndex, EveryPacketCarriesThePumpsStreamAlsoWhenItIsNotFirst) {
  PcmPump pump(true);
  pump.feed(3000);
  const auto packets = pump.finish();
  ASSERT_EQ(packets.size(), 3u);
  for (const auto& p : packets) EXPECT_EQ(p.stream, 1);
}

TEST(PumpResample, FramesOfMoreThanEightChannelsAreConvertedFromEveryPlane) {
  // Ten planar float channels, each holding its own constant.
  constexpr int kChannels = 10;
  const uint64_t layout = (uint64_t{1} << kChannels) - 1;
  SwrPtr swr(alloc_resampler(layout, AV_SAMPLE_FMT_FLTP, 48000, layout, AV_SAMPLE_FMT_FLTP, 48000));
  ASSERT_TRUE(swr);
  ASSERT_EQ(swr_init(swr.get()), 0);
  AudioFifoPtr fifo(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, kChannels, 64));
  AudioPump pump;
  pump.swr = &swr;
  pump.swr_in = pump.swr_out = AudioFormat{layout, AV_SAMPLE_FMT_FLTP, 48000};
  pump.fifo = fifo.get();
  pump.frame_size = 1 << 20;  // nothing is encoded: the samples stay queued
  ResampleBuffer buffer(kChannels, AV_SAMPLE_FMT_FLTP);

  FramePtr decoded = make_frame();
  decoded->nb_samples = 256;
  decoded->format = AV_SAMPLE_FMT_FLTP;
  decoded->sample_rate = 48000;
#if KORVEL_HAS_CH_LAYOUT
  ASSERT_EQ(av_channel_layout_from_mask(&decoded->ch_layout, layout), 0);
#else
  decoded->channel_layout = layout;
  decoded->channels = kChannels;
#endif
  ASSERT_EQ(av_frame_get_buffer(decoded.get(), 0), 0);
  for (int ch = 0; ch < kChannels; ++ch) {
    auto* plane = reinterpret_cast<float*>(decoded->extended_data[ch]);
    for (int i = 0; i < decoded->nb_samples; ++i) plane[i] = 0.05f * (ch + 1);
  }
  ASSERT_EQ(resample_and_queue(pump, buffer, decoded.get()), 0);
  ASSERT_EQ(av_audio_fifo_size(fifo.get()), 256);

  std::vector<std::vector<float>> planes(kChannels, std::vector<float>(256));
  std::vector<void*> pointers;
  for (auto& p : planes) pointers.push_back(p.data());
  ASSERT_EQ(av_audio_fifo_peek(fifo.get(), pointers.data(), 256), 256);
  for (int ch = 0; ch < kChannels; ++ch)
    EXPECT_FLOAT_EQ(planes[ch][128], 0.05f * (ch + 1)) << "channel " << ch;
}

TEST(ResampleBufferGrowth, GrowsToExactlyTheRequestAndNeverShrinks) {
  ResampleBuffer buffer(2, AV_SAMPLE_FMT_FLTP);
  EXPECT_EQ(buffer.planes(), nullptr);
  ASSERT_EQ(buffer.reserve(500), 0);
  EXPECT_EQ(buffer.capacity(), 500);
  uint8_t** planes = buffer.planes();
  ASSERT_EQ(buffer.reserve(100), 0);
  EXPECT_EQ(buffer.planes(), planes);
  EXPECT_EQ(buffer.capacity(), 500);
  ASSERT_EQ(buffer.reserve(501), 0);
  EXPECT_EQ(buffer.capacity(), 501);
}

}  // namespace
