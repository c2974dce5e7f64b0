// The stream level: start codes, headers, reference pictures and the order
// in which pictures are shown.
#include <cstring>
#include <new>

#include "context.h"

namespace mpeg4 {

bool Frame::allocate(int mb_w, int mb_h) {
  const int w = mb_w * 16, h = mb_h * 16;
  if (w == coded_width && h == coded_height && !mem.empty()) return true;
  const int sy = (w + 31) & ~31, sc = (w / 2 + 31) & ~31;
  const size_t luma = static_cast<size_t>(sy) * h, chroma = static_cast<size_t>(sc) * (h / 2);
  // Memory held from a picture at least as large is reused as it stands:
  // every sample of a picture is decoded or concealed before it is read, so
  // a stream that changes size costs neither an allocation nor a refill.
  const size_t bytes = luma + 2 * chroma + 64;
  if (bytes > mem.size()) {
    try {
      mem.assign(bytes, 128);
    } catch (const std::bad_alloc&) {
      mem.clear();
      coded_width = coded_height = 0;
      return false;
    }
  }
  uint8_t* base = mem.data() + ((64 - (reinterpret_cast<uintptr_t>(mem.data()) & 63)) & 63);
  plane[0] = base;
  plane[1] = base + luma;
  plane[2] = base + luma + chroma;
  stride[0] = sy;
  stride[1] = stride[2] = sc;
  coded_width = w;
  coded_height = h;
  return true;
}

bool Context::resize(int width, int height) {
  mb_w = (width + 15) / 16;
  mb_h = (height + 15) / 16;
  mb_count = mb_w * mb_h;
  const size_t blocks = static_cast<size_t>(mb_count) * 4;
  try {
    mb.assign(mb_count, MbInfo{});
    mb_ref.assign(mb_count, MbInfo{});
    mv.assign(blocks, Mv{});
    mv_ref.assign(blocks, Mv{});
    field_mv.assign(static_cast<size_t>(mb_count) * 2, Mv{});
    field_mv_ref.assign(static_cast<size_t>(mb_count) * 2, Mv{});
    pred_y.assign(blocks, BlockPred{});
    pred_c[0].assign(mb_count, BlockPred{});
    pred_c[1].assign(mb_count, BlockPred{});
  } catch (const std::bad_alloc&) {
    mb_w = mb_h = mb_count = 0;
    return false;
  }
  return true;
}

namespace {

constexpr int kPoolSize = 4;

// Position of the next 00 00 01 at or after from, or size.
size_t next_start_code(const uint8_t* d, size_t size, size_t from) {
  if (size < 3) return size;
  for (size_t i = from; i + 2 < size; ++i) {
    if (d[i + 2] > 1) {
      i += 2;
      continue;
    }
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) return i;
  }
  return size;
}

// An H.263 picture start code: 22 bits 0000 0000 0000 0000 1000 00.
bool is_short_header_start(const uint8_t* d, size_t size, size_t i) {
  return i + 3 <= size && d[i] == 0 && d[i + 1] == 0 && (d[i + 2] & 0xFC) == 0x80;
}

size_t next_short_header_start(const uint8_t* d, size_t size, size_t from) {
  for (size_t i = from; i + 2 < size; ++i) {
    if (d[i] != 0) continue;
    if (d[i + 1] == 0 && ((d[i + 2] & 0xFC) == 0x80 || d[i + 2] == 1)) return i;
  }
  return size;
}

// Length of a PES packet header at i (start code included), so that its
// payload is read as elementary stream.
size_t pes_header_length(const uint8_t* d, size_t size, size_t i) {
  if (i + 9 > size) return size - i;
  if ((d[i + 6] & 0xC0) == 0x80) return 9 + static_cast<size_t>(d[i + 8]);
  return 6;
}

}  // namespace

struct Decoder::Impl {
  Context ctx;
  Frame pool[kPoolSize];
  Frame* pending = nullptr;  // reference picture held back for display order
  bool seen_b = false;
  bool short_header_stream = false;
  StreamInfo info;

  Frame* free_frame() {
    for (Frame& f : pool)
      if (&f != ctx.past && &f != ctx.future && &f != pending) return &f;
    return nullptr;
  }

  void forget_pictures() {
    ctx.past = ctx.future = pending = nullptr;
    ctx.cur = nullptr;
  }

  bool hold_back_from_start = false;
  bool hold_back() const { return seen_b || (hold_back_from_start && ctx.vol.low_delay_present && !ctx.vol.low_delay); }

  // The coding tool of the last layer refused with kUnsupported.
  const char* unsupported_tool = nullptr;

  // A layer with a tool not handled here is refused as a whole: its
  // pictures are not decoded (they find no layer) until a layer that can
  // be decoded follows.
  // The picture held back for display stays, for flush().
  bool layer_refused = false;
  int refuse_layer(const char* tool) {
    unsupported_tool = tool;
    ctx.past = ctx.future = nullptr;
    ctx.have_vol = false;
    layer_refused = true;
    return kUnsupported;
  }

  // Parses the video object layer header in br and takes it on.
  int take_vol(BitReader& br) {
    VolHeader vol;
    const char* tool = nullptr;
    const int r = parse_video_object_layer(br, &vol, &tool);
    if (r == kUnsupported) return refuse_layer(tool ? tool : "an unknown tool");
    if (r != kOk) return r;
    const int a = apply_vol(vol);
    if (a == kOk) layer_refused = false;
    return a;
  }

  int apply_vol(const VolHeader& vol) {
    const bool size_changed = !ctx.have_vol || vol.width != ctx.vol.width || vol.height != ctx.vol.height;
    // Reversible codes of partitioned texture, and partitioning of
    // interlaced video, are not decoded.
    if (vol.reversible_vlc) return refuse_layer("reversible VLC");
    if (vol.data_partitioned && vol.interlaced) return refuse_layer("data partitioning of interlaced video");
    ctx.vol = vol;
    ctx.have_vol = true;
    if (size_changed) {
      forget_pictures();
      if (!ctx.resize(vol.width, vol.height)) {
        ctx.have_vol = false;
        return kOutOfMemory;
      }
    }
    info.width = vol.width;
    info.height = vol.height;
    info.time_increment_resolution = vol.time_increment_resolution;
    info.interlaced = vol.interlaced;
    info.low_delay = vol.low_delay;
    info.short_header = vol.short_header;
    return kOk;
  }

  void fill(const Frame& f, Picture* out) const {
    if (!out) return;
    out->y = f.plane[0];
    out->u = f.plane[1];
    out->v = f.plane[2];
    out->stride_y = f.stride[0];
    out->stride_uv = f.stride[1];
    out->width = ctx.vol.width;
    out->height = ctx.vol.height;
    out->type = f.type;
    out->time = f.time;
    out->time_increment_resolution = ctx.vol.time_increment_resolution;
    out->not_coded = f.not_coded;
  }

  // Decodes one picture whose header the reader stands on.
  int decode_picture(BitReader& br, bool short_header, Picture* out);
};

int Decoder::Impl::decode_picture(BitReader& br, bool short_header, Picture* out) {
  VopHeader vop;
  int r;
  if (short_header) {
    VolHeader vol;
    r = parse_short_header_picture(br, &vol, &ctx.time_base, &vop);
    if (r != kOk) return r;
    if (!ctx.have_vol || !ctx.vol.short_header || vol.width != ctx.vol.width || vol.height != ctx.vol.height) {
      r = apply_vol(vol);
      if (r != kOk) return r;
    }
  } else {
    const TimeBase before = ctx.time_base;
    r = parse_vop(br, ctx.vol, &ctx.time_base, &vop);
    if (r != kOk) return r;
    if (!vop.coded) {
      // A VOP without data repeats the newest reference. It is no new
      // reference (so direct-mode distances stay those of the real ones) and
      // has no place of its own in display order once pictures are held
      // back; otherwise it is returned as the repeat it is.
      ctx.time_base = before;
      if (!ctx.future) return kBitstreamError;
      if (hold_back()) return kOkNoPicture;
      fill(*ctx.future, out);
      if (out) {
        out->not_coded = true;
        out->time = vop.time;
        out->type = vop.type;
      }
      return kOk;
    }
  }

  const bool is_b = vop.type == CodingType::kB;
  if (is_b) {
    seen_b = true;
    if (!ctx.past || !ctx.future) return kBitstreamError;  // no references yet
    ctx.trd = ctx.time_base.ref_distance;
    const int64_t past = ctx.time_base.last_ref_time - ctx.time_base.ref_distance;
    ctx.trb = vop.time - past;
    if (ctx.frame_ticks <= 0) ctx.frame_ticks = ctx.trb > 0 ? ctx.trb : 1;
    auto frames = [&](int64_t t) {
      const int64_t f = ctx.frame_ticks;
      return t >= 0 ? (t + f / 2) / f : -((-t + f / 2) / f);
    };
    ctx.field_trd = 2 * (frames(ctx.time_base.last_ref_time) - frames(past));
    ctx.field_trb = 2 * (frames(vop.time) - frames(past));
  } else if (vop.type != CodingType::kI && !ctx.future) {
    return kBitstreamError;  // a predicted picture without its reference
  }

  Frame* cur = free_frame();
  if (!cur || !cur->allocate(ctx.mb_w, ctx.mb_h)) return kOutOfMemory;
  ctx.cur = cur;
  ctx.vop = vop;
  if (vop.type == CodingType::kS) setup_gmc(ctx);
  cur->type = vop.type;
  cur->time = vop.time;
  cur->not_coded = false;

  int result = kOk;
  if (short_header) {
    result = decode_short_header_macroblocks(ctx, br);
  } else {
    result = decode_vop_macroblocks(ctx, br);
  }

  Frame* shown;
  if (is_b) {
    shown = cur;
  } else {
    ctx.past = ctx.future;
    ctx.future = cur;
    ctx.mb.swap(ctx.mb_ref);
    ctx.mv.swap(ctx.mv_ref);
    ctx.field_mv.swap(ctx.field_mv_ref);
    if (hold_back()) {
      shown = pending;
      pending = cur;
    } else {
      shown = cur;
      pending = nullptr;
    }
  }
  ctx.cur = nullptr;
  // A damaged picture was concealed; the picture due for display is given
  // all the same, with the error.
  if (!shown) return result != kOk ? result : kOkNoPicture;
  fill(*shown, out);
  return result;
}

Decoder::Decoder() : impl_(new Impl) {}
Decoder::~Decoder() = default;

const StreamInfo& Decoder::info() const { return impl_->info; }

const char* Decoder::unsupported_tool() const { return impl_->unsupported_tool; }

void Decoder::set_hold_back_from_start(bool on) { impl_->hold_back_from_start = on; }

void Decoder::reset() {
  impl_->forget_pictures();
  impl_->ctx.time_base = TimeBase{};
}

int Decoder::flush(Picture* out) {
  Impl& d = *impl_;
  if (!d.pending) return kOkNoPicture;
  d.fill(*d.pending, out);
  d.pending = nullptr;
  return kOk;
}

int Decoder::start(const uint8_t* data, size_t size, StreamInfo* info, size_t* consumed) {
  Impl& d = *impl_;
  if (consumed) *consumed = 0;
  if (!data) return kInvalidState;
  size_t pos = 0;
  int vol_result = kNoSequenceHeader;
  while (pos < size) {
    // The short video header has no stream headers: its first picture gives
    // the size.
    if (is_short_header_start(data, size, pos) && !(d.ctx.have_vol && !d.ctx.vol.short_header) && !d.layer_refused) {
      BitReader br(data + pos, size - pos);
      VolHeader vol;
      VopHeader vop;
      TimeBase tb;
      const int r = parse_short_header_picture(br, &vol, &tb, &vop);
      if (r != kOk) return r;
      const int a = d.apply_vol(vol);
      if (a != kOk) return a;
      d.short_header_stream = true;
      if (info) *info = d.info;
      if (consumed) *consumed = pos;
      return kOk;
    }
    const size_t sc = next_start_code(data, size, pos);
    if (sc >= size) break;
    const size_t shs = next_short_header_start(data, size, pos);
    if (shs < sc && !d.ctx.have_vol && !d.layer_refused) {
      pos = shs;
      continue;
    }
    const int code = data[sc + 3 < size ? sc + 3 : sc];
    if (sc + 3 >= size) break;
    const size_t end = next_start_code(data, size, sc + 4);
    if (code == kVopStart) {
      if (consumed) *consumed = sc;
      if (vol_result == kOk && info) *info = d.info;
      return vol_result;
    }
    if (code >= 0x20 && code <= 0x2F) {
      BitReader br(data + sc + 4, end - sc - 4);
      const int r = d.take_vol(br);
      vol_result = r;
      if (r == kOk) d.short_header_stream = false;
    } else if (code >= 0xC0 && code <= 0xEF) {
      pos = sc + pes_header_length(data, size, sc);
      continue;
    }
    pos = end;
  }
  if (consumed) *consumed = size;
  if (vol_result == kOk && info) *info = d.info;
  return vol_result;
}

int Decoder::decode(const uint8_t* data, size_t size, size_t* consumed, Picture* out) {
  Impl& d = *impl_;
  if (consumed) *consumed = 0;
  if (!data) return kInvalidState;
  size_t pos = 0;
  while (pos < size) {
    // Pictures of a refused layer may hold patterns like a picture start of
    // the short video header (resync markers): none is looked for then.
    const bool allow_short = !(d.ctx.have_vol && !d.ctx.vol.short_header) && !d.layer_refused;
    if (allow_short && is_short_header_start(data, size, pos)) {
      size_t end = next_short_header_start(data, size, pos + 3);
      BitReader br(data + pos, end - pos);
      const int r = d.decode_picture(br, true, out);
      if (consumed) *consumed = end;
      return r;
    }
    size_t sc = next_start_code(data, size, pos);
    if (allow_short) {
      const size_t shs = next_short_header_start(data, size, pos);
      if (shs < sc) {
        pos = shs;
        continue;
      }
    }
    if (sc + 3 >= size) break;
    const int code = data[sc + 3];
    const size_t end = next_start_code(data, size, sc + 4);
    if (code >= 0xC0 && code <= 0xEF) {
      pos = sc + pes_header_length(data, size, sc);
      continue;
    }
    if (code >= 0x20 && code <= 0x2F) {
      BitReader br(data + sc + 4, end - sc - 4);
      const int r = d.take_vol(br);
      if (r != kOk) {
        if (consumed) *consumed = end;
        return r;
      }
    } else if (code == kGroupOfVopStart) {
      BitReader br(data + sc + 4, end - sc - 4);
      parse_group_of_vop(br, &d.ctx.time_base);
    } else if (code == kVopStart) {
      if (consumed) *consumed = end;
      if (d.layer_refused) return kUnsupported;
      if (!d.ctx.have_vol || d.ctx.vol.short_header) return kNoSequenceHeader;
      BitReader br(data + sc + 4, end - sc - 4);
      return d.decode_picture(br, false, out);
    }
    pos = end;
  }
  if (consumed) *consumed = size;
  return kNoPictureHeader;
}

bool probe_video_object_layer(const uint8_t* data, size_t size, int* width, int* height) {
  if (!data) return false;
  size_t pos = 0;
  while (pos < size) {
    const size_t sc = next_start_code(data, size, pos);
    if (sc + 3 >= size) return false;
    const int code = data[sc + 3];
    if (code >= 0x20 && code <= 0x2F) {
      const size_t end = next_start_code(data, size, sc + 4);
      BitReader br(data + sc + 4, end - sc - 4);
      VolHeader vol;
      if (parse_video_object_layer(br, &vol) != kOk) return false;
      if (width) *width = vol.width;
      if (height) *height = vol.height;
      return true;
    }
    pos = sc + 3;
  }
  return false;
}

}  // namespace mpeg4
