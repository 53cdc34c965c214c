// adjust_volume: the first audio stream scaled by a gain (clipped at full
// scale) and re-encoded as AAC in MP4; the first video stream is copied.
#include <cmath>
#include <cstdint>
#include <limits>

#include "audio/audio_pump.h"
#include "io/c_boundary.h"
#include "io/decoding.h"
#include "io/ffmpeg_compat.h"
#include "io/ffmpeg_handles.h"
#include "io/memory_input.h"
#include "io/memory_output.h"
#include "io/output_streams.h"
#include "korvel.h"

namespace korvel {
namespace {

constexpr int kFallbackRate = 44100;

// Negative factors mean silence, and so does NaN, which no sample should ever
// be multiplied by.
double settle_gain(double factor) {
  return factor > 0 ? factor : 0.0;
}

// ---- Gain, in place, for every sample format, clipped to full scale.

// Floating-point samples: full scale is ±1. The product is formed in the
// sample's own precision; NaN (0 × an infinite gain, or a NaN sample) is 0.
template <typename T>
void scale_float(T* samples, size_t count, double gain) {
  const T g = static_cast<T>(gain);
  for (size_t i = 0; i < count; ++i) {
    T v = g * samples[i];
    if (std::isnan(v)) v = 0;
    else if (v > T(1)) v = T(1);
    else if (v < T(-1)) v = T(-1);
    samples[i] = v;
  }
}

// Signed integer samples: full scale is the type's range; rounded to nearest.
template <typename T>
void scale_signed(T* samples, size_t count, double gain) {
  const double lo = static_cast<double>(std::numeric_limits<T>::min());
  const double hi = static_cast<double>(std::numeric_limits<T>::max());
  for (size_t i = 0; i < count; ++i) {
    double v = std::nearbyint(gain * static_cast<double>(samples[i]));
    if (std::isnan(v)) v = 0;
    // For 64-bit samples hi rounds up to 2^63, which does not fit: saturate.
    if (v >= hi) samples[i] = std::numeric_limits<T>::max();
    else if (v <= lo) samples[i] = std::numeric_limits<T>::min();
    else samples[i] = static_cast<T>(v);
  }
}

// Unsigned 8-bit samples are centred on 128.
void scale_u8(uint8_t* samples, size_t count, double gain) {
  for (size_t i = 0; i < count; ++i) {
    double v = std::nearbyint(gain * (samples[i] - 128.0));
    if (std::isnan(v)) v = 0;
    if (v > 127.0) v = 127.0;
    if (v < -128.0) v = -128.0;
    samples[i] = static_cast<uint8_t>(v + 128.0);
  }
}

void scale_plane(uint8_t* plane, size_t count, AVSampleFormat packed, double gain) {
  switch (packed) {
    case AV_SAMPLE_FMT_U8: scale_u8(plane, count, gain); break;
    case AV_SAMPLE_FMT_S16: scale_signed(reinterpret_cast<int16_t*>(plane), count, gain); break;
    case AV_SAMPLE_FMT_S32: scale_signed(reinterpret_cast<int32_t*>(plane), count, gain); break;
    case AV_SAMPLE_FMT_S64: scale_signed(reinterpret_cast<int64_t*>(plane), count, gain); break;
    case AV_SAMPLE_FMT_FLT: scale_float(reinterpret_cast<float*>(plane), count, gain); break;
    case AV_SAMPLE_FMT_DBL: scale_float(reinterpret_cast<double*>(plane), count, gain); break;
    default: break;
  }
}

// Applies the gain to a decoded frame. The decoder may still share the
// frame's buffers, so they are made writable (copied) first.
int apply_gain(AVFrame* frame, double gain) {
  const int channels = frame_channels(frame);
  if (channels < 1 || frame->nb_samples < 1) return 0;
  const int ret = av_frame_make_writable(frame);
  if (ret < 0) return ret;
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const AVSampleFormat packed = av_get_packed_sample_fmt(format);
  const size_t samples = static_cast<size_t>(frame->nb_samples);
  if (av_sample_fmt_is_planar(format)) {
    for (int ch = 0; ch < channels; ++ch)
      scale_plane(frame->extended_data[ch], samples, packed, gain);
  } else {
    scale_plane(frame->extended_data[0], samples * static_cast<size_t>(channels), packed, gain);
  }
  return 0;
}

// ---- Set-up.

// An AAC encoder at the decoder's rate and layout (44100 Hz and stereo where
// the decoder reports none); not opened yet.
CodecContextPtr configure_encoder(const AVCodecContext* dec_ctx) {
  CodecPtrConst codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (codec == nullptr) return nullptr;
  CodecContextPtr enc_ctx(avcodec_alloc_context3(codec));
  if (!enc_ctx) return nullptr;
  enc_ctx->bit_rate = 128000;
  enc_ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
  enc_ctx->sample_rate = dec_ctx->sample_rate < 1 ? kFallbackRate : dec_ctx->sample_rate;
  enc_ctx->time_base = AVRational{1, enc_ctx->sample_rate};
  uint64_t layout = codec_layout_mask(dec_ctx);
  if (layout == 0) layout = AV_CH_LAYOUT_STEREO;
  if (set_codec_layout(enc_ctx.get(), layout) < 0) return nullptr;
  return enc_ctx;
}

// Reads the input to its end: video packets are copied to stream 0, every
// decoded audio frame gets the gain and goes through the pump. 0 or a
// negative AVERROR.
int pump_audio(AVFormatContext* demuxer, int audio_index, const AVStream* video_in,
               AVCodecContext* dec_ctx, AVPacket* pkt, AVFrame* decoded, double gain,
               AudioPump& pump, ResampleBuffer& buffer) {
  auto queue = [&](AVFrame* frame) {
    const int ret = apply_gain(frame, gain);
    return ret < 0 ? ret : resample_and_queue(pump, buffer, frame);
  };
  int ret;
  while ((ret = read_packet(demuxer, pkt)) > 0) {
    if (video_in != nullptr && pkt->stream_index == video_in->index) {
      ret = write_copied_packet(pkt, video_in->time_base, pump.ofmt_ctx, 0);
      if (!out_of_memory(ret)) ret = 0;  // a refused packet is lost
    } else if (pkt->stream_index == audio_index) {
      ret = decode_packet(dec_ctx, pkt, decoded, queue);
    }
    av_packet_unref(pkt);
    if (ret < 0) return ret;
  }
  if (ret < 0) return ret;
  return decode_packet(dec_ctx, nullptr, decoded, queue);
}

uint8_t* adjust(const uint8_t* data, uint64_t size, double gain, uint64_t* out_size) {
  // Declared so that destruction releases, in this order: the resample buffer,
  // encoder frame, decoded frame, output packet, input packet, FIFO, resampler,
  // encoder, decoder, output, input.
  InputSession input;
  OutputSession output;
  CodecContextPtr dec_ctx;
  CodecContextPtr enc_ctx;
  SwrPtr swr;
  AudioFifoPtr fifo;
  PacketPtr in_pkt;
  PacketPtr out_pkt;
  FramePtr decoded;
  FramePtr enc_frame;

  if (open_memory_input(data, size, &input) < 0) return nullptr;
  const int audio_index = first_stream_of_type(input.demuxer, AVMEDIA_TYPE_AUDIO);
  if (audio_index < 0) return nullptr;
  const int video_index = first_stream_of_type(input.demuxer, AVMEDIA_TYPE_VIDEO);
  dec_ctx = open_decoder(input.demuxer->streams[audio_index], DecoderThreads::kAuto);
  if (!dec_ctx) return nullptr;
  enc_ctx = configure_encoder(dec_ctx.get());
  if (!enc_ctx) return nullptr;
  // The MP4 muxer keeps codec headers out of band: the encoder must know
  // before it is opened, so the muxer context comes first.
  if (alloc_output_muxer(&output, "mp4") < 0) return nullptr;
  apply_global_header_rule(output.muxer->oformat, enc_ctx.get());
  if (avcodec_open2(enc_ctx.get(), enc_ctx->codec, nullptr) < 0) return nullptr;
  if (open_output_buffer(&output) < 0) return nullptr;
  const int frame_size = encoder_frame_size(enc_ctx.get());
  // The input rate is the decoder's own, even where the encoder fell back to
  // 44100 Hz.
  AudioPump pump;
  pump.swr = &swr;
  pump.swr_out = AudioFormat{codec_layout_mask(enc_ctx.get()), AV_SAMPLE_FMT_FLTP,
                             enc_ctx->sample_rate};
  if (open_pump_resampler(pump, decoder_audio_format(dec_ctx.get())) < 0) return nullptr;
  fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, codec_channels(enc_ctx.get()), frame_size));
  if (!fifo) return nullptr;

  // The copied video, when there is one, is stream 0 and the audio follows.
  const AVStream* video_in = video_index >= 0 ? input.demuxer->streams[video_index] : nullptr;
  if (video_in != nullptr && add_copied_stream(output.muxer, video_in, true) == nullptr)
    return nullptr;
  AVStream* audio_out = add_encoded_stream(output.muxer, enc_ctx.get());
  if (audio_out == nullptr) return nullptr;
  if (avformat_write_header(output.muxer, nullptr) < 0) return nullptr;
  in_pkt = make_packet();
  out_pkt = make_packet();
  decoded = make_frame();
  enc_frame = make_frame();
  if (!in_pkt || !out_pkt || !decoded || !enc_frame) return nullptr;
  ResampleBuffer buffer(codec_channels(enc_ctx.get()), AV_SAMPLE_FMT_FLTP);

  pump.fifo = fifo.get();
  pump.enc = enc_ctx.get();
  pump.ofmt_ctx = output.muxer;
  pump.stream = audio_out;
  pump.pkt = out_pkt.get();
  pump.frame = enc_frame.get();
  pump.frame_size = frame_size;

  // Audio that could not be allocated would leave a hole: the call then fails
  // rather than hand back an incomplete file.
  if (pump_audio(input.demuxer, audio_index, video_in, dec_ctx.get(), in_pkt.get(),
                 decoded.get(), gain, pump, buffer) < 0)
    return nullptr;
  // Samples the resampler still holds at the end of input (its filter delay,
  // and rate conversion remainders) belong to the audio as well.
  if (finish_audio(pump, buffer) < 0) return nullptr;
  return take_output_bytes(&output, out_size);
}

}  // namespace
}  // namespace korvel

extern "C" {

uint8_t* adjust_volume(const uint8_t* data, uint64_t size, uint64_t* out_size,
                       double factor) {
  const double gain = korvel::settle_gain(factor);
  return korvel::produce(out_size, [&] { return korvel::adjust(data, size, gain, out_size); });
}

}  // extern "C"
