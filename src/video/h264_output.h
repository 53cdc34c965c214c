// What the H.264 operations (re-encode, rotation, reversal) share: the
// libx264 encoder with its MP4 output and picture converter, and the
// encoder's packet timing.
#pragma once

#include "io/decoding.h"
#include "io/encoding.h"
#include "io/ffmpeg_handles.h"
#include "io/memory_input.h"
#include "io/memory_output.h"
#include "io/output_streams.h"

namespace korvel {
namespace h264 {

// Rounds a picture dimension down to even.
inline int even(int dimension) { return dimension & ~1; }

// The values an operation hands to open_h264_output.
struct H264Settings {
  int encoder_width = 0, encoder_height = 0;      // always even
  int converter_width = 0, converter_height = 0;  // the converter's target
  const char* crf = "18";
  const char* preset = "medium";
  int audio_index = -1;  // input audio stream to carry, or -1
};

enum class H264Setup { kOk, kNoEncoder, kFailed };

// The caller's owners, filled as far as set-up got, so that the caller's
// release order frees them whatever the outcome. A null `map` means no audio
// pass-through: no map is made and no audio stream is added.
struct H264Output {
  CodecContextPtr* enc_ctx;
  OutputSession* output;
  SwsPtr* sws;
  StreamMap* map;
  int* out_audio_index;
};

// Makes the converter from the source size and the decoder's pixel format to
// the converter's target in 4:2:0 (a source whose size or format is unknown,
// or beyond the pixel limit, fails here, before anything else is made), opens
// libx264 at the encoder size with the crf and preset texts, its time base the
// input video stream's, builds the MP4 output (video at 0, carried audio at
// 1) and writes the header.
H264Setup open_h264_output(const InputSession& in, int video_index,
                           const AVCodecContext* dec_ctx, const H264Settings& settings,
                           const H264Output& owners);

// A new 4:2:0 frame of the given size with its own buffers, or null.
FramePtr make_yuv420p_frame(int width, int height);

// A decoded picture's timestamp: its pts, or the decoder's best guess when the
// packet carried none (an unset pts would reach the encoder as a huge negative
// value and break the muxer's ordering).
inline int64_t picture_pts(const AVFrame* frame) {
  return frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
}

// Sends `frame` (null to flush) to the encoder and writes every packet it
// yields to output stream 0. Returns 0 or AVERROR(ENOMEM).
int encode_and_write(AVCodecContext* enc_ctx, const AVFrame* frame, AVPacket* pkt,
                     AVFormatContext* muxer);

}  // namespace h264
}  // namespace korvel
