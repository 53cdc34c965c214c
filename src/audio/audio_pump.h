// The audio encode pump shared by the audio-transcoding operations: decoded
// frames are converted by the operation's resampler, queued in a sample FIFO,
// cut into encoder-sized frames timed by a sample count, encoded and written.
// The routines own nothing; the operation creates and releases every object.
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

#include "io/ffmpeg_handles.h"

namespace korvel {

// Converted samples of one conversion, in the encoder's channel count and
// sample format. Grows to exactly what is asked for, never shrinks; frees
// itself.
class ResampleBuffer {
 public:
  ResampleBuffer(int channels, AVSampleFormat format)
      : channels_(channels), format_(format) {}
  ~ResampleBuffer() { release(); }
  ResampleBuffer(const ResampleBuffer&) = delete;
  ResampleBuffer& operator=(const ResampleBuffer&) = delete;

  // Makes room for `samples` per channel. Returns 0, or a negative AVERROR
  // with the buffer left empty (planes() null, capacity() 0).
  int reserve(int samples);
  void release();

  uint8_t** planes() const { return planes_; }
  int capacity() const { return capacity_; }

 private:
  int channels_;
  AVSampleFormat format_;
  uint8_t** planes_ = nullptr;  // pointer array and sample block, both av_malloc'd
  int capacity_ = 0;
};

// The three facts a resampler is made from on each side.
struct AudioFormat {
  uint64_t layout = 0;  // AV_CH_* bitmask
  AVSampleFormat format = AV_SAMPLE_FMT_NONE;
  int rate = 0;

  bool operator==(const AudioFormat& o) const {
    return layout == o.layout && format == o.format && rate == o.rate;
  }
  bool operator!=(const AudioFormat& o) const { return !(*this == o); }
};

// A decoded frame's format; a frame without a layout is taken to have the
// usual one for its channel count.
AudioFormat frame_audio_format(const AVFrame* frame);

// A decoder's format by the same rule, for the resampler made at set-up.
AudioFormat decoder_audio_format(const AVCodecContext* dec_ctx);

// The objects the pump works on, borrowed from the operation, and the
// presentation time of the next encoder frame in samples (the encoder's time
// base is 1/sample rate, so the output's audio starts at 0 without gaps).
struct AudioPump {
  // The operation's resampler, made for `swr_in` to `swr_out` (the encoder's
  // format, which the FIFO holds). A frame of another format gets a new one.
  SwrPtr* swr = nullptr;
  AudioFormat swr_in;
  AudioFormat swr_out;
  AVAudioFifo* fifo = nullptr;
  AVCodecContext* enc = nullptr;
  AVFormatContext* ofmt_ctx = nullptr;
  AVStream* stream = nullptr;  // the audio output stream; its index is stamped
  AVPacket* pkt = nullptr;     // reused for all encoder output
  AVFrame* frame = nullptr;    // reused for all encoder input
  int frame_size = 0;          // see encoder_frame_size
  int64_t next_pts = 0;
};

// The encoder's frame size, or 1024 for encoders that take any size (PCM
// reports 0).
int encoder_frame_size(const AVCodecContext* enc);

// Makes *pump.swr for `in` to pump.swr_out and records `in`. Returns 0, or
// AVERROR(EINVAL) when either side is no real format (no layout, no rate, an
// unknown sample format) or libswresample refuses them, or AVERROR(ENOMEM).
int open_pump_resampler(AudioPump& pump, const AudioFormat& in);

// Every routine returns 0, or a negative AVERROR when a sample or frame buffer
// cannot be allocated or FFmpeg runs out of memory; then the samples concerned
// were not queued or encoded and the operation must not present its output as
// complete. Other refusals by the encoder or the muxer are not errors: the
// frame or packet is lost.

// Converts one decoded frame, queues the samples and encodes every whole frame
// now waiting. A frame whose rate, sample format or layout differs from what
// the resampler was made for first gets a resampler of its own (the old one's
// remaining samples are queued first), so the audio goes on in the encoder's
// format. A frame for which the resampler expects no output is skipped.
int resample_and_queue(AudioPump& pump, ResampleBuffer& buffer, const AVFrame* decoded);

// Takes out of the resampler the samples it still holds at the end of input
// and queues and encodes them like converted ones.
int flush_resampler(AudioPump& pump, ResampleBuffer& buffer);

// Encodes and writes every whole frame of frame_size samples in the FIFO.
int encode_fifo_frames(AudioPump& pump);

// Encodes and writes what is left in the FIFO as one (short, unpadded) frame.
int encode_fifo_rest(AudioPump& pump);

// Signals end of stream to the encoder and writes every packet it still holds.
int drain_audio_encoder(AudioPump& pump);

// The end of input, after the decoder has been drained: the resampler's
// remaining samples, the FIFO's short last frame, then the encoder's drain.
int finish_audio(AudioPump& pump, ResampleBuffer& buffer);

}  // namespace korvel
