#include "container.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
}

#include <cstdarg>
#include <mutex>

#include "velmora/message.h"

namespace exporter {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
// Sound this many samples from where the last sound ended still continues
// it (the times' rounding); further off, it starts a stretch of its own.
constexpr int64_t kSoundSlackSamples = 8;

// libav's warnings and errors go to the debug log, as the libraries' own
// messages do, never to the host program's standard error.
void log_to_debug(void*, int level, const char* format, va_list args) {
  if (level > AV_LOG_WARNING) return;
  char line[512];
  std::vsnprintf(line, sizeof line, format, args);
  vp::debug_printf("libav: %s", line);
}

std::string av_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// Matroska's per-element CRC-32 cost a sixth of the export's time; the
// custody record's SHA-256 of every output file already covers the bytes.
AVDictionary* matroska_options(const AVFormatContext* ctx) {
  AVDictionary* options = nullptr;
  if (std::strcmp(ctx->oformat->name, "matroska") == 0) av_dict_set(&options, "write_crc32", "0", 0);
  return options;
}

bool add_chapters(AVFormatContext* ctx, const std::vector<Chapter>& chapters) {
  for (const Chapter& ch : chapters) {
    auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
    if (!chapter || av_dynarray_add_nofree(&ctx->chapters, reinterpret_cast<int*>(&ctx->nb_chapters), chapter) < 0) {
      av_free(chapter);
      return false;
    }
    chapter->id = static_cast<int64_t>(ctx->nb_chapters);
    chapter->time_base = kMicroseconds;
    chapter->start = ch.start_us;
    chapter->end = ch.end_us;
    av_dict_set(&chapter->metadata, "title", ch.title.c_str(), 0);
  }
  return true;
}

}  // namespace

ContainerWriter::~ContainerWriter() { discard(); }

bool ContainerWriter::open(const std::string& path, Format format, const uint8_t* headers, size_t header_bytes,
                           int width, int height, bool with_sound, int sound_rate, const std::string& creation_time,
                           const std::vector<Chapter>& chapters, std::string* error) {
  static std::once_flag logging;
  std::call_once(logging, [] { av_log_set_callback(log_to_debug); });
  format_ = format;
  path_ = path;
  temp_path_ = path + ".part";
  const char* muxer = format == Format::kMp4 ? "mp4" : "matroska";
  int rc = avformat_alloc_output_context2(&ctx_, nullptr, muxer, temp_path_.c_str());
  if (rc < 0 || !ctx_) {
    *error = "cannot set up the " + std::string(muxer) + " writer: " + av_text(rc);
    return false;
  }
  video_ = avformat_new_stream(ctx_, nullptr);
  clock_ = avformat_new_stream(ctx_, nullptr);
  if (!video_ || !clock_) {
    *error = "out of memory";
    return false;
  }
  AVCodecParameters* v = video_->codecpar;
  v->codec_type = AVMEDIA_TYPE_VIDEO;
  v->codec_id = AV_CODEC_ID_MPEG4;
  v->width = width;
  v->height = height;
  if (header_bytes > 0) {
    v->extradata = static_cast<uint8_t*>(av_mallocz(header_bytes + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!v->extradata) {
      *error = "out of memory";
      return false;
    }
    std::memcpy(v->extradata, headers, header_bytes);
    v->extradata_size = static_cast<int>(header_bytes);
  }
  video_->time_base = format == Format::kMp4 ? AVRational{1, 90000} : AVRational{1, 1000};
  AVCodecParameters* c = clock_->codecpar;
  c->codec_type = AVMEDIA_TYPE_SUBTITLE;
  c->codec_id = format == Format::kMp4 ? AV_CODEC_ID_MOV_TEXT : AV_CODEC_ID_SUBRIP;
  clock_->time_base = AVRational{1, 1000};
  av_dict_set(&clock_->metadata, "title", "Recorder clock", 0);
  av_dict_set(&clock_->metadata, "language", "und", 0);
  if (with_sound) {
    sound_ = avformat_new_stream(ctx_, nullptr);
    if (!sound_) {
      *error = "out of memory";
      return false;
    }
    sound_->time_base = AVRational{1, sound_rate};
    sound_rate_ = sound_rate;
    if (format == Format::kMp4) {
      if (!open_sound_encoder(error)) return false;
      rc = avcodec_parameters_from_context(sound_->codecpar, sound_encoder_);
      if (rc < 0) {
        *error = "cannot set up the sound track: " + av_text(rc);
        return false;
      }
    } else {
      AVCodecParameters* a = sound_->codecpar;
      a->codec_type = AVMEDIA_TYPE_AUDIO;
      a->codec_id = AV_CODEC_ID_PCM_S16LE;
      a->sample_rate = sound_rate;
      av_channel_layout_default(&a->ch_layout, 1);
      a->bits_per_coded_sample = 16;
      a->block_align = 2;
    }
  }
  av_dict_set(&ctx_->metadata, "creation_time", creation_time.c_str(), 0);

  if (!add_chapters(ctx_, chapters)) {
    *error = "out of memory";
    return false;
  }

  rc = avio_open(&ctx_->pb, temp_path_.c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) {
    *error = "cannot create " + temp_path_ + ": " + av_text(rc);
    return false;
  }
  AVDictionary* muxer_options = matroska_options(ctx_);
  rc = avformat_write_header(ctx_, &muxer_options);
  av_dict_free(&muxer_options);
  if (rc < 0) {
    *error = "cannot write the header of " + path_ + ": " + av_text(rc);
    return false;
  }
  return true;
}

bool ContainerWriter::write_packet(AVStream* stream, const uint8_t* data, size_t n, int64_t pts_us, int64_t duration_us,
                                   bool key, int64_t* last, std::string* error) {
  AVPacket* pkt = av_packet_alloc();
  if (!pkt || av_new_packet(pkt, static_cast<int>(n)) < 0) {
    av_packet_free(&pkt);
    *error = "out of memory";
    return false;
  }
  std::memcpy(pkt->data, data, n);
  int64_t pts = av_rescale_q(pts_us, kMicroseconds, stream->time_base);
  // The container needs rising times; two pictures in one tick of its
  // clock keep their order one tick apart.
  if (*last != INT64_MIN && pts <= *last) pts = *last + 1;
  *last = pts;
  pkt->pts = pkt->dts = pts;
  pkt->duration = av_rescale_q(duration_us, kMicroseconds, stream->time_base);
  pkt->stream_index = stream->index;
  if (key) pkt->flags |= AV_PKT_FLAG_KEY;
  const int rc = av_interleaved_write_frame(ctx_, pkt);
  av_packet_free(&pkt);
  if (rc < 0) {
    *error = "cannot write to " + temp_path_ + ": " + av_text(rc);
    return false;
  }
  return true;
}

bool ContainerWriter::write_picture(const uint8_t* data, size_t n, int64_t pts_us, int64_t duration_us, bool key,
                                    std::string* error) {
  return write_packet(video_, data, n, pts_us, duration_us, key, &last_video_, error);
}

bool ContainerWriter::open_sound_encoder(std::string* error) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_ALAC);
  sound_encoder_ = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (!sound_encoder_) {
    *error = "no Apple Lossless encoder for the sound of an MP4 file";
    return false;
  }
  sound_encoder_->sample_fmt = AV_SAMPLE_FMT_S16P;
  sound_encoder_->sample_rate = sound_rate_;
  av_channel_layout_default(&sound_encoder_->ch_layout, 1);
  sound_encoder_->time_base = AVRational{1, sound_rate_};
  const int rc = avcodec_open2(sound_encoder_, codec, nullptr);
  if (rc < 0) {
    *error = "cannot start the sound encoder: " + av_text(rc);
    return false;
  }
  return true;
}

// Hands the first count pending samples (all of them with count 0, which
// ends the stretch) to the encoder and writes what it gives back.
bool ContainerWriter::encode_sound(size_t count, std::string* error) {
  AVFrame* frame = nullptr;
  int rc = 0;
  if (count > 0) {
    frame = av_frame_alloc();
    if (!frame) {
      *error = "out of memory";
      return false;
    }
    frame->nb_samples = static_cast<int>(count);
    frame->format = AV_SAMPLE_FMT_S16P;
    frame->sample_rate = sound_rate_;
    rc = av_channel_layout_copy(&frame->ch_layout, &sound_encoder_->ch_layout);
    if (rc >= 0) rc = av_frame_get_buffer(frame, 0);
    if (rc >= 0) {
      std::memcpy(frame->data[0], pending_.data(), count * sizeof(int16_t));
      frame->pts = pending_start_;
      rc = avcodec_send_frame(sound_encoder_, frame);
    }
    av_frame_free(&frame);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    pending_start_ += static_cast<int64_t>(count);
  } else {
    rc = avcodec_send_frame(sound_encoder_, nullptr);
  }
  AVPacket* pkt = av_packet_alloc();
  if (!pkt) rc = AVERROR(ENOMEM);
  while (rc >= 0) {
    rc = avcodec_receive_packet(sound_encoder_, pkt);
    if (rc < 0) break;
    av_packet_rescale_ts(pkt, sound_encoder_->time_base, sound_->time_base);
    pkt->stream_index = sound_->index;
    rc = av_interleaved_write_frame(ctx_, pkt);
  }
  av_packet_free(&pkt);
  if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
    *error = "cannot write the sound of " + path_ + ": " + av_text(rc);
    return false;
  }
  return true;
}

// Ends a stretch of sound: its last, shorter frame and the encoder's end.
// The encoder takes a short frame only as its last one, so a break in the
// sound ends it and the next stretch has a new one.
bool ContainerWriter::finish_sound_stretch(std::string* error) {
  if (!sound_encoder_) return true;
  const bool ok = (pending_.empty() || encode_sound(pending_.size(), error)) && encode_sound(0, error);
  avcodec_free_context(&sound_encoder_);
  pending_.clear();
  stretch_started_ = false;
  return ok;
}

bool ContainerWriter::write_sound(const int16_t* samples, size_t count, int64_t pts_us, std::string* error) {
  if (!sound_ || count == 0) return true;
  if (format_ == Format::kMp4) {
    const int64_t at = av_rescale(pts_us, sound_rate_, 1000000);
    // A sample or so off is the rounding of the times; more is a break.
    if (stretch_started_ &&
        std::llabs(at - (pending_start_ + static_cast<int64_t>(pending_.size()))) > kSoundSlackSamples &&
        !finish_sound_stretch(error))
      return false;
    if (!sound_encoder_ && !open_sound_encoder(error)) return false;
    if (!stretch_started_) pending_start_ = at;
    stretch_started_ = true;
    pending_.insert(pending_.end(), samples, samples + count);
    const auto frame_size = static_cast<size_t>(sound_encoder_->frame_size);
    while (pending_.size() >= frame_size)
      if (!encode_sound(frame_size, error)) return false;
    return true;
  }
  std::vector<uint8_t> bytes(count * 2);
  for (size_t i = 0; i < count; ++i) {
    bytes[2 * i] = static_cast<uint8_t>(samples[i]);
    bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(samples[i]) >> 8);
  }
  const int64_t duration_us = static_cast<int64_t>(count) * 1000000 / sound_rate_;
  return write_packet(sound_, bytes.data(), bytes.size(), pts_us, duration_us, true, &last_sound_, error);
}

bool ContainerWriter::write_cue(const std::string& text, int64_t pts_us, int64_t duration_us, std::string* error) {
  if (format_ != Format::kMp4) {
    return write_packet(clock_, reinterpret_cast<const uint8_t*>(text.data()), text.size(), pts_us, duration_us, true,
                        &last_cue_, error);
  }
  // MP4's timed text: the text's length (16 bits, big-endian), then the text.
  std::vector<uint8_t> sample(text.size() + 2);
  sample[0] = static_cast<uint8_t>(text.size() >> 8);
  sample[1] = static_cast<uint8_t>(text.size());
  std::memcpy(sample.data() + 2, text.data(), text.size());
  return write_packet(clock_, sample.data(), sample.size(), pts_us, duration_us, true, &last_cue_, error);
}

bool ContainerWriter::close(std::string* error) {
  if (!ctx_) return false;
  if (!finish_sound_stretch(error)) {
    discard();
    return false;
  }
  int rc = av_write_trailer(ctx_);
  if (rc < 0) {
    *error = "cannot finish " + path_ + ": " + av_text(rc);
    discard();
    return false;
  }
  rc = avio_closep(&ctx_->pb);
  avformat_free_context(ctx_);
  ctx_ = nullptr;
  if (rc < 0) {
    *error = "cannot finish " + path_ + ": " + av_text(rc);
    std::remove(temp_path_.c_str());
    return false;
  }
  if (std::rename(temp_path_.c_str(), path_.c_str()) != 0) {
    *error = "cannot name " + path_ + ": " + std::strerror(errno);
    std::remove(temp_path_.c_str());
    return false;
  }
  return true;
}

void ContainerWriter::discard() {
  avcodec_free_context(&sound_encoder_);
  if (!ctx_) return;
  if (ctx_->pb) avio_closep(&ctx_->pb);
  avformat_free_context(ctx_);
  ctx_ = nullptr;
  if (!temp_path_.empty()) std::remove(temp_path_.c_str());
}

namespace {

// An input of the merge with its next packet.
struct MergeInput {
  AVFormatContext* ctx = nullptr;
  std::vector<int> to_output;  // input stream -> output stream, -1 dropped
  AVPacket* packet = nullptr;
  bool pending = false;
  int64_t at_us = 0;  // the pending packet's time on the merged time line
  int64_t offset_us = 0;
};

}  // namespace

bool merge_tracks(const std::vector<TrackInput>& inputs, const std::string& path, const std::string& creation_time,
                  const std::vector<Chapter>& chapters, std::string* error) {
  std::vector<MergeInput> in(inputs.size());
  AVFormatContext* out = nullptr;
  const std::string temp = path + ".part";
  int clock_stream = -1;
  auto cleanup = [&](bool keep) {
    for (MergeInput& m : in) {
      av_packet_free(&m.packet);
      if (m.ctx) avformat_close_input(&m.ctx);
    }
    if (out) {
      if (out->pb) avio_closep(&out->pb);
      avformat_free_context(out);
      out = nullptr;
    }
    if (!keep) std::remove(temp.c_str());
  };
  auto fail = [&](const std::string& what, int code) {
    *error = what + (code < 0 ? ": " + av_text(code) : std::string());
    cleanup(false);
    return false;
  };
  int rc = avformat_alloc_output_context2(&out, nullptr, "matroska", temp.c_str());
  if (rc < 0 || !out) return fail("cannot set up the Matroska writer", rc);
  for (size_t i = 0; i < inputs.size(); ++i) {
    MergeInput& m = in[i];
    m.offset_us = inputs[i].offset_us;
    m.packet = av_packet_alloc();
    if (!m.packet) return fail("out of memory", 0);
    rc = avformat_open_input(&m.ctx, inputs[i].path.c_str(), nullptr, nullptr);
    if (rc < 0) return fail("cannot read " + inputs[i].path, rc);
    for (unsigned s = 0; s < m.ctx->nb_streams; ++s) {
      const AVStream* from = m.ctx->streams[s];
      const bool clock = from->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE;
      if (clock && clock_stream >= 0) {
        m.to_output.push_back(clock_stream);
        continue;
      }
      AVStream* to = avformat_new_stream(out, nullptr);
      if (!to) return fail("out of memory", 0);
      rc = avcodec_parameters_copy(to->codecpar, from->codecpar);
      if (rc < 0) return fail("cannot copy a track", rc);
      to->time_base = from->time_base;
      const std::string camera = "Camera " + std::to_string(inputs[i].camera);
      const char* title = clock                                              ? "Recorder clock"
                          : from->codecpar->codec_type == AVMEDIA_TYPE_AUDIO ? nullptr
                                                                             : camera.c_str();
      const std::string sound = camera + " sound";
      av_dict_set(&to->metadata, "title", title ? title : sound.c_str(), 0);
      if (clock) clock_stream = to->index;
      m.to_output.push_back(to->index);
    }
  }
  if (!add_chapters(out, chapters)) return fail("out of memory", 0);
  av_dict_set(&out->metadata, "creation_time", creation_time.c_str(), 0);
  rc = avio_open(&out->pb, temp.c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) return fail("cannot create " + temp, rc);
  AVDictionary* muxer_options = matroska_options(out);
  rc = avformat_write_header(out, &muxer_options);
  av_dict_free(&muxer_options);
  if (rc < 0) return fail("cannot write the header of " + path, rc);

  int64_t last_cue_us = INT64_MIN;
  for (;;) {
    MergeInput* next = nullptr;
    for (MergeInput& m : in) {
      while (!m.pending && m.ctx) {
        rc = av_read_frame(m.ctx, m.packet);
        if (rc == AVERROR_EOF) {
          avformat_close_input(&m.ctx);
          break;
        }
        if (rc < 0) return fail("cannot read a camera's file", rc);
        const AVStream* from = m.ctx->streams[m.packet->stream_index];
        m.at_us = av_rescale_q(m.packet->pts, from->time_base, kMicroseconds) + m.offset_us;
        m.pending = true;
      }
      if (m.pending && (!next || m.at_us < next->at_us)) next = &m;
    }
    if (!next) break;
    AVPacket* p = next->packet;
    next->pending = false;
    const int target = next->to_output[static_cast<size_t>(p->stream_index)];
    const AVRational from_base = next->ctx->streams[p->stream_index]->time_base;
    // Every camera's file has the clock; it goes in once a second.
    if (target == clock_stream && next->at_us <= last_cue_us) {
      av_packet_unref(p);
      continue;
    }
    if (target == clock_stream) last_cue_us = next->at_us;
    AVStream* to = out->streams[target];
    const int64_t duration = av_rescale_q(p->duration, from_base, to->time_base);
    p->pts = p->dts = av_rescale_q(next->at_us, kMicroseconds, to->time_base);
    p->duration = duration;
    p->stream_index = target;
    p->pos = -1;
    rc = av_interleaved_write_frame(out, p);
    if (rc < 0) return fail("cannot write to " + temp, rc);
  }
  rc = av_write_trailer(out);
  if (rc < 0) return fail("cannot finish " + path, rc);
  rc = avio_closep(&out->pb);
  if (rc < 0) return fail("cannot finish " + path, rc);
  if (std::rename(temp.c_str(), path.c_str()) != 0) return fail("cannot name " + path + ": " + std::strerror(errno), 0);
  cleanup(true);
  return true;
}

}  // namespace exporter
