#include "audio/audio_pump.h"

#include "io/ffmpeg_compat.h"
#include "io/output_streams.h"

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

namespace {

// Writes every packet the encoder has ready, stamped with the audio output
// stream's index and rescaled to its time base (which the muxer may have
// changed while writing the header). EAGAIN, EOF and errors all end the loop.
void write_ready_packets(AudioPump& pump) {
  while (avcodec_receive_packet(pump.enc, pump.pkt) == 0)
    write_encoded_packet(pump.pkt, pump.enc, pump.ofmt_ctx, pump.stream->index);
}

// Encodes the next `samples` samples from the head of the FIFO as one frame at
// next_pts. The samples stay queued when no frame buffer can be had.
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
  avcodec_send_frame(pump.enc, frame);  // a refused frame is lost
  av_frame_unref(frame);                // ready for the next pass
  write_ready_packets(pump);
  return 0;
}

// Queues `samples` converted samples and encodes every whole frame.
int queue_converted(AudioPump& pump, ResampleBuffer& buffer, int samples) {
  const int written = av_audio_fifo_write(
      pump.fifo, reinterpret_cast<void**>(buffer.planes()), samples);
  if (written < samples) return written < 0 ? written : AVERROR(ENOMEM);
  return encode_fifo_frames(pump);
}

}  // namespace

int resample_and_queue(AudioPump& pump, ResampleBuffer& buffer, const AVFrame* decoded) {
  const int needed = swr_get_out_samples(pump.swr, decoded->nb_samples);
  if (needed < 1) return 0;
  // Without room the frame is not handed to the resampler at all, so nothing
  // is written into a buffer that does not exist.
  const int ret = buffer.reserve(needed);
  if (ret < 0) return ret;
  // extended_data holds every plane, also beyond the eight of data[].
  const int converted = swr_convert(
      pump.swr, buffer.planes(), needed,
      const_cast<const uint8_t**>(decoded->extended_data), decoded->nb_samples);
  // 0 is no error: the resampler may hold samples back for a later call.
  if (converted <= 0) return 0;
  return queue_converted(pump, buffer, converted);
}

int flush_resampler(AudioPump& pump, ResampleBuffer& buffer) {
  constexpr int kFlushSamples = 1024;
  const int ret = buffer.reserve(kFlushSamples);
  if (ret < 0) return ret;
  for (;;) {
    const int converted =
        swr_convert(pump.swr, buffer.planes(), kFlushSamples, nullptr, 0);
    if (converted <= 0) return 0;
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

void drain_audio_encoder(AudioPump& pump) {
  avcodec_send_frame(pump.enc, nullptr);
  write_ready_packets(pump);
}

int finish_audio(AudioPump& pump, ResampleBuffer& buffer) {
  if (flush_resampler(pump, buffer) < 0) return -1;
  if (encode_fifo_rest(pump) < 0) return -1;
  drain_audio_encoder(pump);
  return 0;
}

}  // namespace korvel
