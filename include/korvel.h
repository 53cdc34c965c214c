/*
 * korvel: media-file operations over memory buffers.
 *
 * Every function takes one whole media file as bytes (`data`, `size`); the
 * bytes are only read and stay owned by the caller. A producing function
 * returns a new block from the C library's malloc and stores its length in
 * *out_size; the caller releases the block with free(). On any failure the
 * result is NULL and *out_size is 0 (*out_size is set to 0 on entry).
 * get_video_info returns a NUL-terminated JSON text, also released with free().
 *
 * Nothing is read from or written to disk, no state survives between calls,
 * and calls share no mutable state: any function may run on many threads at
 * once, on the same input bytes too.
 *
 * Times are seconds; a time takes effect only when it is greater than 0.
 */
#ifndef KORVEL_H
#define KORVEL_H

#include <stdint.h>

/* KORVEL_VERSION_MAJOR, KORVEL_VERSION_MINOR, KORVEL_VERSION_PATCH (integers)
 * and KORVEL_VERSION_STRING ("MAJOR.MINOR.PATCH"): the version of the library
 * this header belongs to. */
#include "korvel_version.h"

#if defined(_WIN32)
#define KORVEL_API
#else
#define KORVEL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One-line JSON report: duration, bitrate, num_streams, has_video, has_audio,
 * and the first video and audio streams' basic properties. */
KORVEL_API char* get_video_info(const uint8_t* data, uint64_t size);

/* Stream copy into the container named by `format` (a muxer short name);
 * NULL or "" keeps the input's own container. */
KORVEL_API uint8_t* convert_format(const uint8_t* data, uint64_t size,
                                   const char* format, uint64_t* out_size);

/* Keeps the packets between `start` and `end` seconds, moved back so that the
 * output begins at 0 when a start is given. Stream copy: the cut falls on
 * packet boundaries, not on key frames. */
KORVEL_API uint8_t* trim_video(const uint8_t* data, uint64_t size,
                               uint64_t* out_size, double start, double end);

/* Drops every audio stream (stream copy). */
KORVEL_API uint8_t* mute_video(const uint8_t* data, uint64_t size,
                               uint64_t* out_size);

/* MP4 copy of the video and audio streams without the container metadata. */
KORVEL_API uint8_t* strip_metadata(const uint8_t* data, uint64_t size,
                                   uint64_t* out_size);

/* MP4 copy with the container metadata kept and `key` set to `value`
 * (an existing key is matched case-insensitively). */
KORVEL_API uint8_t* set_metadata(const uint8_t* data, uint64_t size,
                                 const char* key, const char* value,
                                 uint64_t* out_size);

/* MP4 copy whose timestamps are divided by `factor` (> 0): 2.0 plays twice
 * as fast. */
KORVEL_API uint8_t* change_speed(const uint8_t* data, uint64_t size,
                                 uint64_t* out_size, double factor);

/* MP4 with the second file's video and audio appended to the first's. */
KORVEL_API uint8_t* merge_videos(const uint8_t* data, uint64_t size,
                                 const uint8_t* data2, uint64_t size2,
                                 uint64_t* out_size);

/* The first audio stream as 44100 Hz stereo: "mp3", "aac" (ADTS), "ogg"
 * (Vorbis) or "wav" (16-bit PCM). */
KORVEL_API uint8_t* extract_audio(const uint8_t* data, uint64_t size,
                                  const char* format, uint64_t* out_size);

/* MP4 with the first audio stream re-encoded to AAC at `factor` times its
 * level (clipped at full scale) and the first video stream copied. */
KORVEL_API uint8_t* adjust_volume(const uint8_t* data, uint64_t size,
                                  uint64_t* out_size, double factor);

/* H.264 MP4 of the first video stream; first audio stream copied.
 * crf outside 0..51 means 23, NULL or "" preset means "medium"; width and
 * height 0 keep the source size (one of them 0 keeps the aspect ratio). */
KORVEL_API uint8_t* reencode_video(const uint8_t* data, uint64_t size,
                                   int32_t crf, const char* preset,
                                   int32_t width, int32_t height,
                                   uint64_t* out_size);

/* H.264 MP4 turned clockwise by 90, 180 or 270 degrees (any multiple of 90
 * that is not a whole turn); first audio stream copied. */
KORVEL_API uint8_t* rotate_video(const uint8_t* data, uint64_t size,
                                 int32_t degrees, uint64_t* out_size);

/* H.264 MP4 of the first video stream played backwards, without audio.
 * Holds at most 192 MiB of decoded pictures whatever the input's length: it
 * works backwards from key frame to key frame. An input without usable
 * timestamps (raw H.264, say) is decoded whole and gives NULL when its
 * pictures exceed that. */
KORVEL_API uint8_t* reverse_video(const uint8_t* data, uint64_t size,
                                  uint64_t* out_size);

/* Animated GIF of the window [start, start + duration) at `fps` pictures a
 * second and `width` pixels wide (0: 10 and 320). */
KORVEL_API uint8_t* video_to_gif(const uint8_t* data, uint64_t size,
                                 int32_t fps, int32_t width,
                                 uint64_t* out_size, double start,
                                 double duration);

/* One picture at `time` seconds as "jpeg"/"jpg" (also for NULL) or "png". */
KORVEL_API uint8_t* extract_frame(const uint8_t* data, uint64_t size,
                                  const char* format, uint64_t* out_size,
                                  double time);

#ifdef __cplusplus
}
#endif

#endif /* KORVEL_H */
