// reverse_video: the first video stream played backwards, as H.264 in MP4.
//
// Memory: at most kReversePictureBudget bytes (192 MiB) of decoded pictures
// are held at once, whatever the length of the input. The stream is worked
// through backwards one stretch at a time, a stretch being the pictures from
// one key frame up to the next in presentation order: seek to the stretch's
// key frame, decode from there (so every picture has its references), keep
// the pictures of that stretch, encode them last first, go on with the
// stretch before. Pictures of an open GOP that follow a key frame in decoding
// order but come before it on screen belong to the stretch before; its pass
// decodes on past that key frame to reach them. A stretch whose pictures do
// not fit the budget is decoded again for each part that fits, the last part
// first, so its decoding time grows with the square of its length. Besides
// the pictures, an index of the video packets is kept (32 bytes a packet).
//
// Inputs that cannot be read that way (timestamps missing or repeated, no
// seeking, pictures before their stretch's key frame in decoding order, a
// decoder that hands pictures out of order) are reversed the simple way: every
// picture decoded into memory first, which works up to the budget and gives
// null beyond it.
//
// Both ways give the same pictures in the same order with the same
// timestamps: the source's timeline mirrored, so the last picture starts at 0.
#include "video/reverse_video.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <iterator>
#include <limits>
#include <memory>
#include <vector>

#include "io/c_boundary.h"
#include "io/decoding.h"
#include "korvel.h"
#include "video/h264_output.h"
#include "video/picture_converter.h"

namespace korvel {
namespace {

using h264::even;

enum class Outcome {
  kDone,
  kCannot,  // this input cannot be reversed stretch by stretch
  kFailed,  // null result
};

// Bytes held by a decoded picture's buffers.
size_t picture_bytes(const AVFrame* frame) {
  size_t bytes = 0;
  for (const AVBufferRef* buf : frame->buf)
    if (buf != nullptr) bytes += buf->size;
  for (int i = 0; i < frame->nb_extended_buf; ++i) bytes += frame->extended_buf[i]->size;
  return bytes;
}

// Decoded pictures held for reversal, oldest first, each a new reference
// sharing the decoder's picture buffers.
struct HeldPictures {
  std::deque<FramePtr> frames;
  size_t bytes = 0;
  size_t budget;
  size_t* peak;  // the most bytes held, kept up to date

  HeldPictures(size_t budget_bytes, size_t* peak_bytes) : budget(budget_bytes), peak(peak_bytes) {}

  // True when `frame` fits beside the pictures held.
  bool fits(const AVFrame* frame) const { return bytes + picture_bytes(frame) <= budget; }
  // False when the picture cannot be referenced.
  bool add(const AVFrame* frame) {
    FramePtr kept(av_frame_clone(frame));
    if (!kept) return false;
    bytes += picture_bytes(kept.get());
    frames.push_back(std::move(kept));
    if (bytes > *peak) *peak = bytes;
    return true;
  }
  void drop_oldest() {
    bytes -= picture_bytes(frames.front().get());
    frames.pop_front();
  }
};

// The objects of one attempt. Members are destroyed in reverse order:
// target frame, decoded frame, encoder packet, read packet, converter,
// encoder, decoder, output, input.
struct Reversal {
  InputSession input;
  OutputSession output;
  CodecContextPtr dec_ctx;
  CodecContextPtr enc_ctx;
  SwsPtr sws;
  PacketPtr pkt;
  PacketPtr enc_pkt;
  FramePtr frame;
  FramePtr target;
  int video_index = -1;
  size_t budget = kReversePictureBudget;
  ReverseReport report;
  // The output timeline: the first picture encoded, and the last time given.
  int64_t last_pts = AV_NOPTS_VALUE;
  int64_t previous = -1;
  bool started = false;
};

// Opens the input, its first video stream's decoder and the H.264 output.
bool open_reversal(const uint8_t* data, uint64_t size, Reversal* r) {
  if (open_memory_input(data, size, &r->input) < 0) return false;
  r->video_index = first_stream_of_type(r->input.demuxer, AVMEDIA_TYPE_VIDEO);
  if (r->video_index < 0) return false;
  const AVStream* video = r->input.demuxer->streams[r->video_index];
  r->dec_ctx = open_decoder(video, DecoderThreads::kAuto);
  if (!r->dec_ctx) return false;

  h264::H264Settings settings;
  settings.encoder_width = settings.converter_width = even(video->codecpar->width);
  settings.encoder_height = settings.converter_height = even(video->codecpar->height);
  if (h264::open_h264_output(r->input, r->video_index, r->dec_ctx.get(), settings,
                             {&r->enc_ctx, &r->output, &r->sws, nullptr, nullptr}) !=
      h264::H264Setup::kOk)
    return false;

  r->pkt = make_packet();
  r->enc_pkt = make_packet();
  r->frame = make_frame();
  r->target = h264::make_yuv420p_frame(settings.encoder_width, settings.encoder_height);
  return r->pkt && r->enc_pkt && r->frame && r->target;
}

// Timestamp of the output picture showing `source_pts`: the source timeline
// mirrored, so that the last picture starts at 0 and the gaps between
// pictures (and with them the frame rate and duration) are the source's.
// Where the source's timestamps are missing or out of order, one tick after
// the previous output picture.
int64_t mirrored_pts(int64_t last_pts, int64_t source_pts, int64_t previous) {
  int64_t mirrored = 0;
  if (last_pts != AV_NOPTS_VALUE && source_pts != AV_NOPTS_VALUE &&
      !__builtin_sub_overflow(last_pts, source_pts, &mirrored) && mirrored > previous)
    return mirrored;
  return previous + 1;
}

// Encodes the held pictures from the newest to the oldest and lets them go.
// A picture no converter can be made for is skipped.
Outcome encode_backwards(HeldPictures* held, Reversal* r) {
  while (!held->frames.empty()) {
    const AVFrame* frame = held->frames.back().get();
    if (!r->started) {
      r->last_pts = h264::picture_pts(frame);
      r->started = true;
    }
    const int converted = convert_into(&r->sws, frame, r->target.get());
    if (out_of_memory(converted)) return Outcome::kFailed;
    if (converted == 0) {
      r->previous = mirrored_pts(r->last_pts, h264::picture_pts(frame), r->previous);
      r->target->pts = r->previous;
      if (h264::encode_and_write(r->enc_ctx.get(), r->target.get(), r->enc_pkt.get(),
                                 r->output.muxer) < 0)
        return Outcome::kFailed;
    }
    held->bytes -= picture_bytes(frame);
    held->frames.pop_back();
  }
  return Outcome::kDone;
}

// ---- stretch by stretch ---------------------------------------------------

// One video packet as the demuxer first handed it out.
struct IndexEntry {
  int64_t pts, dts, pos;
  bool key;
  bool discard;  // decoded for its references, its picture never shown
};
static_assert(sizeof(IndexEntry) == 32, "the index bound counts 32 bytes a packet");

// Where a stretch begins in decoding order and the presentation times it
// covers: lo <= pts < hi.
struct Stretch {
  size_t start;
  int64_t lo, hi;
};

// The video stream's packets in decoding order, and what names a packet
// again after a seek: its dts, or its byte position where dts are missing.
struct PacketIndex {
  std::vector<IndexEntry> entries;
  bool by_dts = true;
  int64_t id(size_t i) const { return by_dts ? entries[i].dts : entries[i].pos; }
  int64_t id(const AVPacket* pkt) const { return by_dts ? pkt->dts : pkt->pos; }
};

// The index stays under 64 MiB: 2^21 packets are over 19 hours at 30 pictures
// a second. A stream with more is held whole instead (and fails when its
// pictures exceed the budget).
constexpr size_t kMaxIndexedPackets = size_t{1} << 21;

// Reads the whole input once, without decoding. Only running out of memory
// fails; any other read error is the end of the input.
Outcome read_index(Reversal* r, PacketIndex* index) {
  AVPacket* pkt = r->pkt.get();
  for (;;) {
    const int ret = read_packet(r->input.demuxer, pkt);
    if (ret < 0) return Outcome::kFailed;
    if (ret == 0) return Outcome::kDone;
    if (index->entries.size() == kMaxIndexedPackets) return Outcome::kCannot;
    if (pkt->stream_index == r->video_index)
      index->entries.push_back({pkt->pts, pkt->dts, pkt->pos, (pkt->flags & AV_PKT_FLAG_KEY) != 0,
                                (pkt->flags & AV_PKT_FLAG_DISCARD) != 0});
    av_packet_unref(pkt);
  }
}

// The stretches in presentation order, or none when the packets cannot be
// worked through that way. Each key frame starts a stretch; pictures shown
// before the first key frame form a stretch of their own, decoded from the
// first packet as a whole-stream decode would. Every picture of a stretch
// must come at or after the stretch's start in decoding order.
std::vector<Stretch> plan_stretches(PacketIndex* index) {
  const std::vector<IndexEntry>& e = index->entries;
  if (e.empty()) return {};
  for (const IndexEntry& entry : e)
    if (entry.pts == AV_NOPTS_VALUE) return {};
  std::vector<int64_t> sorted;
  sorted.reserve(e.size());
  for (const IndexEntry& entry : e) sorted.push_back(entry.pts);
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return {};

  auto increasing = [&](int64_t IndexEntry::*field) {
    for (size_t i = 0; i < e.size(); ++i)
      if (e[i].*field == AV_NOPTS_VALUE || (e[i].*field < 0 && field == &IndexEntry::pos) ||
          (i > 0 && e[i].*field <= e[i - 1].*field))
        return false;
    return true;
  };
  index->by_dts = increasing(&IndexEntry::dts);
  if (!index->by_dts && !increasing(&IndexEntry::pos)) return {};

  std::vector<Stretch> stretches;
  for (size_t i = 0; i < e.size(); ++i) {
    if (!e[i].key) continue;
    if (!stretches.empty() && e[i].pts <= stretches.back().lo) return {};
    if (!stretches.empty()) stretches.back().hi = e[i].pts;
    stretches.push_back({i, e[i].pts, std::numeric_limits<int64_t>::max()});
  }
  const int64_t first_key_pts =
      stretches.empty() ? std::numeric_limits<int64_t>::max() : stretches.front().lo;
  if (sorted.front() < first_key_pts)
    stretches.insert(stretches.begin(), {0, std::numeric_limits<int64_t>::min(), first_key_pts});

  for (size_t i = 0; i < e.size(); ++i) {
    auto after = std::upper_bound(stretches.begin(), stretches.end(), e[i].pts,
                                  [](int64_t pts, const Stretch& s) { return pts < s.lo; });
    if (i < std::prev(after)->start) return {};
  }
  return stretches;
}

// The last packet in decoding order whose picture lies in [lo, hi), and how
// many shown pictures the range holds.
struct RangeExtent {
  bool any = false;
  size_t last = 0;
  size_t pictures = 0;
};
RangeExtent range_extent(const PacketIndex& index, int64_t lo, int64_t hi) {
  RangeExtent extent;
  for (size_t i = 0; i < index.entries.size(); ++i) {
    const IndexEntry& entry = index.entries[i];
    if (entry.pts < lo || entry.pts >= hi) continue;
    extent.any = true;
    extent.last = i;
    if (!entry.discard) ++extent.pictures;
  }
  return extent;
}

// What one decoding pass over a range yields.
struct Pass {
  Pass(size_t first, int64_t from, int64_t to, Reversal* r)
      : start(first), lo(from), hi(to), held(r->budget, &r->report.peak_bytes) {}

  size_t start;    // first packet sent, in decoding order
  int64_t lo, hi;  // pictures kept: lo <= pts < hi
  HeldPictures held;
  size_t seen = 0;   // pictures of the range the decoder handed out
  bool cut = false;  // older pictures of the range were let go to stay in budget
  int64_t newest = std::numeric_limits<int64_t>::min();
};

// Takes one decoded picture of the pass: keeps it when it lies in the range,
// letting the oldest go until it fits the budget.
Outcome take_picture(const AVFrame* frame, Pass* pass) {
  if (frame->pts == AV_NOPTS_VALUE) return Outcome::kCannot;
  if (frame->pts < pass->lo || frame->pts >= pass->hi) return Outcome::kDone;
  if (frame->pts <= pass->newest) return Outcome::kCannot;  // not in presentation order
  pass->newest = frame->pts;
  ++pass->seen;
  while (!pass->held.fits(frame) && !pass->held.frames.empty()) {
    pass->held.drop_oldest();
    pass->cut = true;
  }
  if (!pass->held.fits(frame)) return Outcome::kFailed;
  return pass->held.add(frame) ? Outcome::kDone : Outcome::kFailed;
}

// Sends one packet (null: drain) and takes every picture it yields.
Outcome decode_into(Reversal* r, const AVPacket* pkt, Pass* pass) {
  const int ret = decode_packet(r->dec_ctx.get(), pkt, r->frame.get(), [&](AVFrame* frame) {
    switch (take_picture(frame, pass)) {
      case Outcome::kDone:
        return 0;
      case Outcome::kCannot:
        return 1;  // stop receiving
      case Outcome::kFailed:
        break;
    }
    return AVERROR(ENOMEM);
  });
  if (ret < 0) return Outcome::kFailed;
  return ret > 0 ? Outcome::kCannot : Outcome::kDone;
}

// Seeks to the pass's first packet and decodes from there to the last packet
// of its range, then drains the decoder.
Outcome run_pass(Reversal* r, const PacketIndex& index, size_t last, Pass* pass) {
  const IndexEntry& first = index.entries[pass->start];
  const int64_t seek_to =
      first.dts != AV_NOPTS_VALUE && first.dts < first.pts ? first.dts : first.pts;
  const int sought = av_seek_frame(r->input.demuxer, r->video_index, seek_to, AVSEEK_FLAG_BACKWARD);
  if (sought == AVERROR(ENOMEM)) return Outcome::kFailed;
  if (sought < 0) return Outcome::kCannot;
  avcodec_flush_buffers(r->dec_ctx.get());

  AVPacket* pkt = r->pkt.get();
  const int64_t first_id = index.id(pass->start);
  const int64_t last_id = index.id(last);
  bool sending = false;
  for (;;) {
    const int ret = read_packet(r->input.demuxer, pkt);
    if (ret < 0) return Outcome::kFailed;
    if (ret == 0) break;
    if (pkt->stream_index != r->video_index) {
      av_packet_unref(pkt);
      continue;
    }
    const int64_t id = index.id(pkt);
    if (!sending) {
      // The seek may land earlier than asked, never later.
      if (id != AV_NOPTS_VALUE && id > first_id) return Outcome::kCannot;
      sending = id == first_id;
      if (!sending) {
        av_packet_unref(pkt);
        continue;
      }
    }
    const Outcome outcome = decode_into(r, pkt, pass);
    av_packet_unref(pkt);
    if (outcome != Outcome::kDone) return outcome;
    if (id == last_id) break;
  }
  if (!sending) return Outcome::kCannot;
  return decode_into(r, nullptr, pass);
}

// Reverses the pictures in [lo, hi) of the stretch `s`, last part first.
// A part whose pictures did not all come out of the decoder is decoded again
// from the stretch before, whose pictures an open GOP refers to.
Outcome reverse_stretch(Reversal* r, const PacketIndex& index,
                        const std::vector<Stretch>& stretches, size_t s) {
  int64_t hi = stretches[s].hi;
  for (;;) {
    const RangeExtent extent = range_extent(index, stretches[s].lo, hi);
    if (!extent.any) return Outcome::kDone;
    auto pass = std::make_unique<Pass>(stretches[s].start, stretches[s].lo, hi, r);
    ++r->report.passes;
    Outcome outcome = run_pass(r, index, extent.last, pass.get());
    if (outcome == Outcome::kDone && pass->seen < extent.pictures && s > 0) {
      pass = std::make_unique<Pass>(stretches[s - 1].start, stretches[s].lo, hi, r);
      ++r->report.passes;
      outcome = run_pass(r, index, extent.last, pass.get());
    }
    if (outcome != Outcome::kDone) return outcome;
    if (pass->held.frames.empty()) return Outcome::kDone;
    const int64_t oldest_kept = pass->held.frames.front()->pts;
    outcome = encode_backwards(&pass->held, r);
    if (outcome != Outcome::kDone) return outcome;
    if (!pass->cut) return Outcome::kDone;
    hi = oldest_kept;
  }
}

Outcome reverse_by_stretches(Reversal* r) {
  PacketIndex index;
  Outcome outcome = read_index(r, &index);
  if (outcome != Outcome::kDone) return outcome;
  const std::vector<Stretch> stretches = plan_stretches(&index);
  if (stretches.empty()) return Outcome::kCannot;
  r->report.by_stretches = true;
  for (size_t s = stretches.size(); s-- > 0;) {
    outcome = reverse_stretch(r, index, stretches, s);
    if (outcome != Outcome::kDone) return outcome;
  }
  return Outcome::kDone;
}

// ---- all in memory ---------------------------------------------------------

// Decodes the whole video stream in one go, holding every picture, then
// encodes them last first. Null when the pictures exceed the budget.
Outcome reverse_in_memory(Reversal* r) {
  HeldPictures held(r->budget, &r->report.peak_bytes);
  // Pictures beyond the budget, or one that cannot be referenced, fail the
  // call: a reversal with pictures missing is no result.
  auto keep = [&](AVFrame* frame) {
    return held.fits(frame) && held.add(frame) ? 0 : AVERROR(ENOMEM);
  };
  int ret;
  while ((ret = read_packet(r->input.demuxer, r->pkt.get())) > 0) {
    if (r->pkt->stream_index == r->video_index)
      ret = decode_packet(r->dec_ctx.get(), r->pkt.get(), r->frame.get(), keep);
    av_packet_unref(r->pkt.get());
    if (ret < 0) return Outcome::kFailed;
  }
  if (ret < 0 || decode_packet(r->dec_ctx.get(), nullptr, r->frame.get(), keep) < 0)
    return Outcome::kFailed;
  return encode_backwards(&held, r);
}

// One attempt with a fresh input, decoder and output.
template <typename Way>
Outcome attempt(const uint8_t* data, uint64_t size, uint64_t* out_size, size_t budget, Way way,
                ReverseReport* report, uint8_t** result) {
  Reversal r;
  r.budget = budget;
  const bool opened = open_reversal(data, size, &r);
  const Outcome outcome = opened ? way(&r) : Outcome::kFailed;
  if (report != nullptr) *report = r.report;
  if (outcome != Outcome::kDone) return outcome;
  if (h264::encode_and_write(r.enc_ctx.get(), nullptr, r.enc_pkt.get(), r.output.muxer) < 0)
    return Outcome::kFailed;
  *result = take_output_bytes(&r.output, out_size);
  return Outcome::kDone;
}

}  // namespace

uint8_t* reverse_within_budget(const uint8_t* data, uint64_t size, uint64_t* out_size,
                               size_t picture_budget, ReverseReport* report) {
  *out_size = 0;
  uint8_t* result = nullptr;
  if (attempt(data, size, out_size, picture_budget, reverse_by_stretches, report, &result) ==
      Outcome::kCannot)
    attempt(data, size, out_size, picture_budget, reverse_in_memory, report, &result);
  return result;
}

}  // namespace korvel

extern "C" uint8_t* reverse_video(const uint8_t* data, uint64_t size, uint64_t* out_size) {
  return korvel::produce(out_size, [&] {
    return korvel::reverse_within_budget(data, size, out_size, korvel::kReversePictureBudget,
                                         nullptr);
  });
}
