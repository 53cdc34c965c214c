// extract_audio: the first audio stream re-encoded as a stand-alone MP3, AAC
// (ADTS), Ogg Vorbis or WAV file, always 44100 Hz stereo.
#include <cstdio>
#include <cstring>

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

constexpr int kSampleRate = 44100;
constexpr uint64_t kStereo = AV_CH_LAYOUT_STEREO;

struct AudioTarget {
  const char* format;   // the caller's name, matched exactly
  const char* muxer;    // muxer short name
  const char* encoder;  // encoder name
  AVSampleFormat sample_fmt;
  int64_t bit_rate;     // 0: the encoder's default stays
};

constexpr AudioTarget kTargets[] = {
    {"mp3", "mp3", "libmp3lame", AV_SAMPLE_FMT_S16P, 128000},
    {"aac", "adts", "aac", AV_SAMPLE_FMT_FLTP, 128000},
    {"ogg", "ogg", "libvorbis", AV_SAMPLE_FMT_FLTP, 128000},
    {"wav", "wav", "pcm_s16le", AV_SAMPLE_FMT_S16, 0},
};

const AudioTarget* find_target(const char* format) {
  for (const AudioTarget& target : kTargets)
    if (std::strcmp(format, target.format) == 0) return &target;
  return nullptr;
}

// The target's encoder at 44100 Hz stereo. The muxer does not exist yet, so
// the global-header rule is applied from the muxer looked up by name.
CodecContextPtr open_encoder(const AudioTarget& target) {
  CodecPtrConst codec = avcodec_find_encoder_by_name(target.encoder);
  if (codec == nullptr) return nullptr;
  CodecContextPtr enc_ctx(avcodec_alloc_context3(codec));
  if (!enc_ctx) return nullptr;
  enc_ctx->sample_fmt = target.sample_fmt;
  if (set_codec_layout(enc_ctx.get(), kStereo) < 0) return nullptr;
  enc_ctx->sample_rate = kSampleRate;
  if (target.bit_rate > 0) enc_ctx->bit_rate = target.bit_rate;
  enc_ctx->time_base = AVRational{1, kSampleRate};
  apply_global_header_rule(av_guess_format(target.muxer, nullptr, nullptr), enc_ctx.get());
  if (avcodec_open2(enc_ctx.get(), codec, nullptr) < 0) return nullptr;
  return enc_ctx;
}

// Reads the input to its end; every decoded audio frame goes through the
// pump. 0 or a negative AVERROR.
int pump_audio(AVFormatContext* demuxer, int audio_index, AVCodecContext* dec_ctx,
               AVPacket* pkt, AVFrame* decoded, AudioPump& pump, ResampleBuffer& buffer) {
  auto queue = [&](AVFrame* frame) { return resample_and_queue(pump, buffer, frame); };
  int ret;
  while ((ret = read_packet(demuxer, pkt)) > 0) {
    if (pkt->stream_index == audio_index) ret = decode_packet(dec_ctx, pkt, decoded, queue);
    av_packet_unref(pkt);
    if (ret < 0) return ret;
  }
  if (ret < 0) return ret;
  return decode_packet(dec_ctx, nullptr, decoded, queue);
}

uint8_t* extract(const uint8_t* data, uint64_t size, const AudioTarget& target,
                 uint64_t* out_size) {
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
  ResampleBuffer buffer(2, target.sample_fmt);

  if (open_memory_input(data, size, &input) < 0) return nullptr;
  const int audio_index = first_stream_of_type(input.demuxer, AVMEDIA_TYPE_AUDIO);
  if (audio_index < 0) return nullptr;
  dec_ctx = open_decoder(input.demuxer->streams[audio_index], DecoderThreads::kAuto);
  if (!dec_ctx) return nullptr;
  enc_ctx = open_encoder(target);
  if (!enc_ctx) return nullptr;
  const int frame_size = encoder_frame_size(enc_ctx.get());
  AudioPump pump;
  pump.swr = &swr;
  pump.swr_out = AudioFormat{kStereo, target.sample_fmt, kSampleRate};
  if (open_pump_resampler(pump, decoder_audio_format(dec_ctx.get())) < 0) return nullptr;
  fifo.reset(av_audio_fifo_alloc(target.sample_fmt, 2, frame_size));
  if (!fifo) return nullptr;
  if (open_memory_output(&output, target.muxer) < 0) return nullptr;
  AVStream* stream = add_encoded_stream(output.muxer, enc_ctx.get());
  if (stream == nullptr) return nullptr;
  if (avformat_write_header(output.muxer, nullptr) < 0) return nullptr;
  in_pkt = make_packet();
  out_pkt = make_packet();
  decoded = make_frame();
  enc_frame = make_frame();
  if (!in_pkt || !out_pkt || !decoded || !enc_frame) return nullptr;

  pump.fifo = fifo.get();
  pump.enc = enc_ctx.get();
  pump.ofmt_ctx = output.muxer;
  pump.stream = stream;
  pump.pkt = out_pkt.get();
  pump.frame = enc_frame.get();
  pump.frame_size = frame_size;

  // Audio that could not be allocated would leave a hole: the call then fails
  // rather than hand back an incomplete file. A packet the decoder refuses is
  // dropped and reading goes on.
  if (pump_audio(input.demuxer, audio_index, dec_ctx.get(), in_pkt.get(), decoded.get(),
                 pump, buffer) < 0)
    return nullptr;
  if (finish_audio(pump, buffer) < 0) return nullptr;
  return take_output_bytes(&output, out_size);
}

}  // namespace
}  // namespace korvel

extern "C" {

uint8_t* extract_audio(const uint8_t* data, uint64_t size, const char* format,
                       uint64_t* out_size) {
  return korvel::produce(out_size, [&]() -> uint8_t* {
    const korvel::AudioTarget* target =
        format != nullptr ? korvel::find_target(format) : nullptr;
    if (target == nullptr) {
      std::fprintf(stderr, "Unsupported audio format: %s\n", format != nullptr ? format : "(null)");
      return nullptr;
    }
    return korvel::extract(data, size, *target, out_size);
  });
}

}  // extern "C"
