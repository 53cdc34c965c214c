// The read step and the decode loop every operation uses: all packets read to
// the end (counted against ffprobe), and threaded decoding yielding exactly
// the pictures of a single-threaded decode, drained to the last one; small
// pictures stay on the calling thread.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "io/decoding.h"
#include "io/memory_input.h"
#include "support/test_support.h"

using namespace korvel;
using korvel_test::Bytes;
using korvel_test::fixture;

namespace {

struct Picture {
  int64_t pts;
  Bytes luma;  // the Y plane, row by row without padding
};

// Every picture of the first video stream, through read_packet and
// decode_packet as the operations use them.
std::vector<Picture> decode_all(const Bytes& media, DecoderThreads threads,
                                bool* threaded = nullptr) {
  InputSession input;
  EXPECT_EQ(open_memory_input(media.data(), media.size(), &input), 0);
  const int video = first_stream_of_type(input.demuxer, AVMEDIA_TYPE_VIDEO);
  EXPECT_GE(video, 0);
  CodecContextPtr dec_ctx = open_decoder(input.demuxer->streams[video], threads);
  EXPECT_TRUE(dec_ctx);
  if (threaded != nullptr) *threaded = dec_ctx->active_thread_type != 0;
  PacketPtr pkt = make_packet();
  FramePtr frame = make_frame();
  std::vector<Picture> pictures;
  auto keep = [&](AVFrame* f) {
    Picture p{f->pts, {}};
    for (int y = 0; y < f->height; ++y)
      p.luma.insert(p.luma.end(), f->data[0] + y * f->linesize[0],
                    f->data[0] + y * f->linesize[0] + f->width);
    pictures.push_back(std::move(p));
    return 0;
  };
  int ret;
  while ((ret = read_packet(input.demuxer, pkt.get())) > 0) {
    if (pkt->stream_index == video) {
      EXPECT_EQ(decode_packet(dec_ctx.get(), pkt.get(), frame.get(), keep), 0);
    }
    av_packet_unref(pkt.get());
  }
  EXPECT_EQ(ret, 0);
  EXPECT_EQ(decode_packet(dec_ctx.get(), nullptr, frame.get(), keep), 0);
  return pictures;
}

int ffprobe_frame_count(const std::string& name) {
  const std::string out = korvel_test::run(
      "ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames "
      "-of csv=p=0 " + korvel_test::shell_quote(korvel_test::fixture_path(name)));
  return std::stoi(out);
}

struct ThreadCase {
  const char* name;
  bool threaded;  // whether the automatic mode starts threads for this size
};

class ThreadedDecoding : public ::testing::TestWithParam<ThreadCase> {};

// Reordered (B-frame) H.264 and FFV1, above and below the size from which
// decoding is threaded.
TEST_P(ThreadedDecoding, YieldsTheSinglethreadedPicturesInOrderToTheLast) {
  const char* name = GetParam().name;
  const Bytes& media = fixture(name);
  bool threaded = false;
  const std::vector<Picture> single = decode_all(media, DecoderThreads::kSingle);
  const std::vector<Picture> multi = decode_all(media, DecoderThreads::kAuto, &threaded);
  EXPECT_EQ(threaded, GetParam().threaded);
  ASSERT_EQ(static_cast<int>(single.size()), ffprobe_frame_count(name));
  ASSERT_EQ(multi.size(), single.size());
  for (size_t i = 0; i < single.size(); ++i) {
    EXPECT_EQ(multi[i].pts, single[i].pts) << "picture " << i;
    EXPECT_TRUE(multi[i].luma == single[i].luma) << "picture " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Clips, ThreadedDecoding,
                         ::testing::Values(ThreadCase{"bframes_480x270.mp4", true},
                                           ThreadCase{"odd_641x361.mkv", true},
                                           ThreadCase{"bframes_25.mp4", false},
                                           ThreadCase{"pictures_65.mp4", false}),
                         [](const ::testing::TestParamInfo<ThreadCase>& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
