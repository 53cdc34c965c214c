// rotate_frame_yuv420p on small synthetic frames with known samples.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "video/rotate_frame.h"

namespace {

using korvel::FramePtr;
using Rows = std::vector<std::string>;  // one character per sample

// A 4:2:0 frame whose planes hold `luma`, `cb` and `cr`, with every line
// padded well past its width by '#' samples that must never be read.
FramePtr make_source(const Rows& luma, const Rows& cb, const Rows& cr) {
  FramePtr frame = korvel::make_frame();
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = static_cast<int>(luma[0].size());
  frame->height = static_cast<int>(luma.size());
  EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
  const Rows* planes[] = {&luma, &cb, &cr};
  for (int p = 0; p < 3; ++p) {
    const int lines = p == 0 ? frame->height : (frame->height + 1) / 2;
    const Rows& rows = *planes[p];
    for (int y = 0; y < lines; ++y) {
      uint8_t* line = frame->data[p] + y * frame->linesize[p];
      for (int x = 0; x < frame->linesize[p]; ++x)
        line[x] = y < static_cast<int>(rows.size()) && x < static_cast<int>(rows[y].size())
                      ? static_cast<uint8_t>(rows[y][x])
                      : '#';
    }
  }
  return frame;
}

// The top-left `width` x `height` samples of plane `p`, read through the
// frame's own linesize.
Rows plane(const AVFrame* frame, int p, int width, int height) {
  Rows rows;
  for (int y = 0; y < height; ++y)
    rows.emplace_back(reinterpret_cast<const char*>(frame->data[p] + y * frame->linesize[p]),
                      static_cast<size_t>(width));
  return rows;
}

struct TurnCase {
  int angle;
  Rows luma, chroma;  // expected planes of the turned frame
};

class RotateFrame : public ::testing::TestWithParam<TurnCase> {};

// Luma rows (a b c) (d e f): the worked 3x2 example. Its chroma is 1x1.
TEST_P(RotateFrame, ThreeByTwoLuma) {
  const TurnCase& c = GetParam();
  FramePtr src = make_source({"abc", "def"}, {"u"}, {"v"});
  FramePtr turned = korvel::rotate_frame_yuv420p(src.get(), c.angle);
  ASSERT_TRUE(turned);
  EXPECT_EQ(turned->format, AV_PIX_FMT_YUV420P);
  const int w = static_cast<int>(c.luma[0].size()), h = static_cast<int>(c.luma.size());
  EXPECT_EQ(turned->width, w);
  EXPECT_EQ(turned->height, h);
  EXPECT_EQ(plane(turned.get(), 0, w, h), c.luma);
  EXPECT_EQ(plane(turned.get(), 1, 1, 1), Rows{"u"});
  EXPECT_EQ(plane(turned.get(), 2, 1, 1), Rows{"v"});
}

INSTANTIATE_TEST_SUITE_P(Angles, RotateFrame,
                         ::testing::Values(TurnCase{90, {"da", "eb", "fc"}, {}},
                                           TurnCase{180, {"fed", "cba"}, {}},
                                           TurnCase{270, {"cf", "be", "ad"}, {}}),
                         [](const auto& info) { return "Plus" + std::to_string(info.param.angle); });

class RotateChroma : public ::testing::TestWithParam<TurnCase> {};

// A 6x4 source: chroma planes 3x2, rows (p q r) (s t u) in Cb and the same
// letters upper-case in Cr, so that a swapped or shared plane shows.
TEST_P(RotateChroma, BothChromaPlanesTurnLikeLuma) {
  const TurnCase& c = GetParam();
  FramePtr src = make_source({"ABCDEF", "GHIJKL", "MNOPQR", "STUVWX"}, {"pqr", "stu"},
                             {"PQR", "STU"});
  FramePtr turned = korvel::rotate_frame_yuv420p(src.get(), c.angle);
  ASSERT_TRUE(turned);
  const int cw = static_cast<int>(c.chroma[0].size()), ch = static_cast<int>(c.chroma.size());
  EXPECT_EQ(plane(turned.get(), 0, turned->width, turned->height), c.luma);
  EXPECT_EQ(plane(turned.get(), 1, cw, ch), c.chroma);
  Rows upper = c.chroma;
  for (auto& row : upper)
    for (auto& ch_ : row) ch_ = static_cast<char>(ch_ - 'a' + 'A');
  EXPECT_EQ(plane(turned.get(), 2, cw, ch), upper);
}

INSTANTIATE_TEST_SUITE_P(
    Angles, RotateChroma,
    ::testing::Values(TurnCase{90, {"SMGA", "TNHB", "UOIC", "VPJD", "WQKE", "XRLF"}, {"sp", "tq", "ur"}},
                      TurnCase{180, {"XWVUTS", "RQPONM", "LKJIHG", "FEDCBA"}, {"uts", "rqp"}},
                      TurnCase{270, {"FLRX", "EKQW", "DJPV", "CIOU", "BHNT", "AGMS"}, {"ru", "qt", "ps"}}),
    [](const auto& info) { return "Plus" + std::to_string(info.param.angle); });

// A 5x3 source: its chroma planes are 3x2 in memory, of which the 2x1 part
// (5 / 2 by 3 / 2) is turned. The turned frame's chroma planes (2x3 for a
// quarter turn, 3x2 for a half turn) get that part; the rest lies outside the
// even picture an encoder uses.
class RotateOdd : public ::testing::TestWithParam<TurnCase> {};

TEST_P(RotateOdd, OddSizeTurnsTheWholeLumaAndTheEvenChromaPart) {
  const TurnCase& c = GetParam();
  FramePtr src = make_source({"abcde", "fghij", "klmno"}, {"xy*", "***"}, {"XY*", "***"});
  FramePtr turned = korvel::rotate_frame_yuv420p(src.get(), c.angle);
  ASSERT_TRUE(turned);
  EXPECT_EQ(plane(turned.get(), 0, turned->width, turned->height), c.luma);
  const int cw = static_cast<int>(c.chroma[0].size()), ch = static_cast<int>(c.chroma.size());
  EXPECT_EQ(plane(turned.get(), 1, cw, ch), c.chroma);
  // No sample of the source's unused chroma column or row, nor of its padding,
  // may end up in the turned part.
  for (const auto& row : plane(turned.get(), 2, cw, ch))
    EXPECT_EQ(row.find_first_of("*#"), std::string::npos) << row;
}

INSTANTIATE_TEST_SUITE_P(
    Angles, RotateOdd,
    ::testing::Values(TurnCase{90, {"kfa", "lgb", "mhc", "nid", "oje"}, {"x", "y"}},
                      TurnCase{180, {"onmlk", "jihgf", "edcba"}, {"yx"}},
                      TurnCase{270, {"ejo", "din", "chm", "bgl", "afk"}, {"y", "x"}}),
    [](const auto& info) { return "Plus" + std::to_string(info.param.angle); });

TEST(RotateFrameSource, IsOnlyReadAndEachFrameUsesItsOwnLinesize) {
  FramePtr src = make_source({"abcd", "efgh"}, {"pq"}, {"PQ"});
  const std::vector<uint8_t> before(src->data[0], src->data[0] + 2 * src->linesize[0]);
  // A source whose lines lie further apart than the turned frame's.
  FramePtr wide = korvel::make_frame();
  wide->format = AV_PIX_FMT_YUV420P;
  wide->width = 4;
  wide->height = 2;
  std::vector<uint8_t> luma(2 * 100, '#'), cb(100, '#'), cr(100, '#');
  std::copy_n("abcd", 4, luma.begin());
  std::copy_n("efgh", 4, luma.begin() + 100);
  std::copy_n("pq", 2, cb.begin());
  std::copy_n("PQ", 2, cr.begin());
  wide->data[0] = luma.data();
  wide->data[1] = cb.data();
  wide->data[2] = cr.data();
  wide->linesize[0] = wide->linesize[1] = wide->linesize[2] = 100;
  for (AVFrame* frame : {src.get(), wide.get()}) {
    FramePtr turned = korvel::rotate_frame_yuv420p(frame, 90);
    ASSERT_TRUE(turned);
    EXPECT_EQ(plane(turned.get(), 0, 2, 4), (Rows{"ea", "fb", "gc", "hd"}));
    EXPECT_EQ(plane(turned.get(), 1, 1, 2), (Rows{"p", "q"}));
    EXPECT_EQ(plane(turned.get(), 2, 1, 2), (Rows{"P", "Q"}));
  }
  EXPECT_EQ(std::vector<uint8_t>(src->data[0], src->data[0] + 2 * src->linesize[0]), before);
  for (auto& p : wide->data) p = nullptr;  // the vectors own these planes
}

}  // namespace
