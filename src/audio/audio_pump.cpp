#include "audio/audio_pump.h"

#include "io/encoding.h"
#include "io/ffmpeg_compat.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
}

namespace korvel {

int ResampleBuffer::reserve(int samples) {
  if (capacity_ >= samples) return 0;
  release();
  // Alignment 0: the default. On failure the array is freed and stays null.
  const int ret = av_samples_alloc_array_and_samples(&planes_, nullptr, channels_,
                                                     samples, format_, 0);
  if (ret < 0) {
    planes_ = nullptr;
    return ret;
  }
  capacity_ = samples;
  return 0;
}

void ResampleBuffer::release() {
  if (planes_ != nullptr) {
    av_freep(&planes_[0]);  // the sample block all plane pointers point into
    av_freep(&planes_);
  }
  capacity_ = 0;
}

int encoder_frame_size(const AVCodecContext* enc) {
  return enc->frame_size < 1 ? 1024 : enc->frame_size;
}

AudioFormat frame_audio_format(const AVFrame* frame) {
  uint64_t layout = frame_layout_mask(frame);
  if (layout == 0) layout = default_layout_mask(frame_channels(frame));
  return AudioFormat{layout, static_cast<AVSampleFormat>(frame->format), frame->sample_rate};
}

AudioFormat decoder_audio_format(const AVCodecContext* dec_ctx) {
  uint64_t layout = codec_layout_mask(dec_ctx);
  if (layout == 0) layout = default_layout_mask(codec_channels(dec_ctx));
  return AudioFormat{layout, dec_ctx->sample_fmt, dec_ctx->sample_rate};
}

namespace {

bool real_format(const AudioFormat& f) {
  return f.layout != 0 && f.rate > 0 && av_get_sample_fmt_name(f.format) != nullptr;
}

// Encodes the next `samples` samples from the head of the FIFO as one frame at
// next_pts and writes the packets the encoder yields. The samples stay queued
// when no frame buffer can be had.
int encode_one_frame(AudioPump& pump, int samples) {
  AVFrame* frame = pump.frame;
  frame->nb_samples = samples;
  frame->format = pump.enc->sample_fmt;
  frame->sample_rate = pump.enc->sample_rate;
  int ret = copy_layout_to_frame(frame, pump.enc);
  if (ret >= 0) ret = av_frame_get_buffer(frame, 0);
  if (ret < 0) {
    av_frame_unref(frame);
    return ret;
  }
  av_audio_fifo_read(pump.fifo, reinterpret_cast<void**>(frame->extended_data), samples);
  frame->pts = pump.next_pts;
  pump.next_pts += samples;
  // The packets are stamped with the audio output stream's index and rescaled
  // to its time base (which the muxer may have changed while writing the
  // header).
  ret = encode_and_write(pump.enc, frame, pump.pkt, pump.ofmt_ctx, pump.stream->index);
  av_frame_unref(frame);  // ready for the next pass
  return ret;
}

// Queues `samples` converted samples and encodes every whole frame.
int queue_converted(AudioPump& pump, ResampleBuffer& buffer, int samples) {
  const int written = av_audio_fifo_write(
      pump.fifo, reinterpret_cast<void**>(buffer.planes()), samples);
  if (written < samples) return written < 0 ? written : AVERROR(ENOMEM);
  return encode_fifo_frames(pump);
}

}  // namespace

int open_pump_resampler(AudioPump& pump, const AudioFormat& in) {
  pump.swr->reset();
  if (!real_format(in) || !real_format(pump.swr_out)) return AVERROR(EINVAL);
  const AudioFormat& out = pump.swr_out;
  pump.swr->reset(alloc_resampler(out.layout, out.format, out.rate, in.layout, in.format,
                                  in.rate));
  if (!*pump.swr) return AVERROR(ENOMEM);
  const int ret = swr_init(pump.swr->get());
  if (ret < 0) {
    pump.swr->reset();
    return out_of_memory(ret) ? ret : AVERROR(EINVAL);
  }
  pump.swr_in = in;
  return 0;
}

int resample_and_queue(AudioPump& pump, ResampleBuffer& buffer, const AVFrame* decoded) {
  const AudioFormat in = frame_audio_format(decoded);
  if (in != pump.swr_in) {
    // Read with the old resampler, a frame of another channel count would be
    // taken from planes it does not have.
    int ret = flush_resampler(pump, buffer);
    if (ret >= 0) ret = open_pump_resampler(pump, in);
    if (ret < 0) return ret;
  }
  SwrContext* swr = pump.swr->get();
  const int needed = swr_get_out_samples(swr, decoded->nb_samples);
  if (needed < 1) return 0;
  // Without room the frame is not handed to the resampler at all, so nothing
  // is written into a buffer that does not exist.
  const int ret = buffer.reserve(needed);
  if (ret < 0) return ret;
  // extended_data holds every plane, also beyond the eight of data[].
  const int converted = swr_convert(
      swr, buffer.planes(), needed,
      const_cast<const uint8_t**>(decoded->extended_data), decoded->nb_samples);
  // 0 is no error: the resampler may hold samples back for a later call.
  if (converted <= 0) return out_of_memory(converted) ? converted : 0;
  return queue_converted(pump, buffer, converted);
}

int flush_resampler(AudioPump& pump, ResampleBuffer& buffer) {
  constexpr int kFlushSamples = 1024;
  if (!*pump.swr) return 0;
  const int ret = buffer.reserve(kFlushSamples);
  if (ret < 0) return ret;
  for (;;) {
    const int converted =
        swr_convert(pump.swr->get(), buffer.planes(), kFlushSamples, nullptr, 0);
    if (converted <= 0) return out_of_memory(converted) ? converted : 0;
    const int queued = queue_converted(pump, buffer, converted);
    if (queued < 0) return queued;
  }
}

int encode_fifo_frames(AudioPump& pump) {
  while (av_audio_fifo_size(pump.fifo) >= pump.frame_size) {
    const int ret = encode_one_frame(pump, pump.frame_size);
    if (ret < 0) return ret;
  }
  return 0;
}

int encode_fifo_rest(AudioPump& pump) {
  const int n = av_audio_fifo_size(pump.fifo);
  if (n < 1) return 0;
  return encode_one_frame(pump, n);
}

int drain_audio_encoder(AudioPump& pump) {
  return encode_and_write(pump.enc, nullptr, pump.pkt, pump.ofmt_ctx, pump.stream->index);
}

int finish_audio(AudioPump& pump, ResampleBuffer& buffer) {
  int ret = flush_resampler(pump, buffer);
  if (ret >= 0) ret = encode_fifo_rest(pump);
  if (ret >= 0) ret = drain_audio_encoder(pump);
  return ret;
}

}  // namespace korvel
