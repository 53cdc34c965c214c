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
 *
 * Failure is only a NULL result. FFmpeg's own messages (and so the reason of
 * a failure) go through FFmpeg's logging: install a callback with
 * av_log_set_callback() of the libavutil this library is linked against to
 * receive them, on the thread that logs. The library itself prints only three
 * lines on standard error: "Unsupported audio format: NAME",
 * "Unsupported image format: NAME" and "libx264 encoder not found".
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

/* Stream copy without the audio streams (video and subtitles kept). */
KORVEL_API uint8_t* mute_video(const uint8_t* data, uint64_t size,
                               uint64_t* out_size);

/* MP4 copy of the video and audio streams without the container metadata. */
KORVEL_API uint8_t* strip_metadata(const uint8_t* data, uint64_t size,
                                   uint64_t* out_size);

/* MP4 copy with the container metadata kept and `key` set to `value`
 * (an existing key is matched case-insensitively). A NULL key or value is
 * refused. */
KORVEL_API uint8_t* set_metadata(const uint8_t* data, uint64_t size,
                                 const char* key, const char* value,
                                 uint64_t* out_size);

/* MP4 copy of the video and audio streams whose timestamps and durations are
 * divided by `factor`: 2.0 plays twice as fast, 0.5 half as fast. `factor`
 * must lie between 0.001 and 1000; anything else (0, negative, NaN,
 * infinite) is refused before the input is read. */
KORVEL_API uint8_t* change_speed(const uint8_t* data, uint64_t size,
                                 uint64_t* out_size, double factor);

/* MP4 with the second file's video and audio appended to the first's. */
KORVEL_API uint8_t* merge_videos(const uint8_t* data, uint64_t size,
                                 const uint8_t* data2, uint64_t size2,
                                 uint64_t* out_size);

/* The first audio stream as 44100 Hz stereo: "mp3" (128 kb/s), "aac" (ADTS,
 * 128 kb/s), "ogg" (Vorbis, 128 kb/s) or "wav" (16-bit PCM). Any other name,
 * NULL or another letter case included, prints "Unsupported audio format"
 * and returns NULL. */
KORVEL_API uint8_t* extract_audio(const uint8_t* data, uint64_t size,
                                  const char* format, uint64_t* out_size);

/* MP4 with the first audio stream re-encoded to AAC (128 kb/s) at `factor`
 * times its level (clipped at full scale; 0 or less gives silence) and the
 * first video stream copied. */
KORVEL_API uint8_t* adjust_volume(const uint8_t* data, uint64_t size,
                                  uint64_t* out_size, double factor);

/* H.264 MP4 of the first video stream; first audio stream copied.
 * crf 0..51 (lower is better): a negative crf means 23, above 51 means 51.
 * preset: a libx264 preset name; NULL or "" means "medium". width and height
 * in pixels, rounded down to even: 0 or less keeps the source's; given only
 * one, the other follows the source's aspect ratio. */
KORVEL_API uint8_t* reencode_video(const uint8_t* data, uint64_t size,
                                   int32_t crf, const char* preset,
                                   int32_t width, int32_t height,
                                   uint64_t* out_size);

/* H.264 MP4 (crf 18, preset medium) turned clockwise by 90, 180 or 270
 * degrees (any multiple of 90 that is not a whole turn, -90 included; others
 * are refused before the input is read); first audio stream copied. */
KORVEL_API uint8_t* rotate_video(const uint8_t* data, uint64_t size,
                                 int32_t degrees, uint64_t* out_size);

/* H.264 MP4 of the first video stream played backwards, without audio.
 * Holds at most 192 MiB of decoded pictures whatever the input's length: it
 * works backwards from key frame to key frame. An input without usable
 * timestamps (raw H.264, say) is decoded whole and gives NULL when its
 * pictures exceed that. */
KORVEL_API uint8_t* reverse_video(const uint8_t* data, uint64_t size,
                                  uint64_t* out_size);

/* Animated GIF of the window [start, start + duration) seconds at most `fps`
 * pictures a second and `width` pixels wide, rounded down to even (0 or
 * less: 10 and 320); the height keeps the aspect ratio. */
KORVEL_API uint8_t* video_to_gif(const uint8_t* data, uint64_t size,
                                 int32_t fps, int32_t width,
                                 uint64_t* out_size, double start,
                                 double duration);

/* The first picture at or after `time` seconds (0 or less: the first; past
 * the end: the last) as "jpeg"/"jpg" (also for NULL) or "png". Any other
 * name prints "Unsupported image format" and returns NULL. */
KORVEL_API uint8_t* extract_frame(const uint8_t* data, uint64_t size,
                                  const char* format, uint64_t* out_size,
                                  double time);

#ifdef __cplusplus
}
#endif

#endif /* KORVEL_H */
