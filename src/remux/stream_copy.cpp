#include "remux/stream_copy.h"

namespace korvel {

namespace {

bool is_selected(AVMediaType type, StreamSelection selection) {
  switch (selection) {
    case StreamSelection::kVideoAudioSubtitle:
      return type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO ||
             type == AVMEDIA_TYPE_SUBTITLE;
    case StreamSelection::kVideoSubtitle:
      return type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_SUBTITLE;
    case StreamSelection::kVideoAudio:
      // Tested as unsigned so that AVMEDIA_TYPE_UNKNOWN (-1) is dropped.
      return static_cast<unsigned>(type) <= AVMEDIA_TYPE_AUDIO;
  }
  return false;
}

}  // namespace

int build_stream_map(const AVFormatContext* demuxer, AVFormatContext* muxer,
                     StreamSelection selection, StreamMap* map) {
  map->assign(demuxer->nb_streams, -1);
  for (unsigned i = 0; i < demuxer->nb_streams; ++i) {
    const AVStream* in = demuxer->streams[i];
    if (!is_selected(in->codecpar->codec_type, selection)) continue;
    const AVStream* out = add_copied_stream(muxer, in, false);
    if (out == nullptr) return -1;
    (*map)[i] = out->index;
  }
  return 0;
}

void attach_by_media_type(const AVFormatContext* demuxer,
                          const AVFormatContext* first,
                          const StreamMap& first_map, StreamMap* map) {
  map->assign(demuxer->nb_streams, -1);
  for (unsigned j = 0; j < demuxer->nb_streams; ++j) {
    const AVMediaType type = demuxer->streams[j]->codecpar->codec_type;
    for (unsigned i = 0; i < first->nb_streams && i < first_map.size(); ++i) {
      if (first_map[i] >= 0 && first->streams[i]->codecpar->codec_type == type) {
        (*map)[j] = first_map[i];
        break;
      }
    }
  }
}

}  // namespace korvel
