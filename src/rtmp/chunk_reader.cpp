#include "rtmp/chunk_reader.h"

#include <cstring>

namespace kx {

namespace {

constexpr uint32_t kExtendedMark = 0xFFFFFF;
constexpr int kMessageHeaderLen[4] = {11, 7, 3, 0};
// A finished body whose buffer grew past this is given back rather than kept.
constexpr std::size_t kKeepCapacity = 64 * 1024;

uint32_t get24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
uint32_t get32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | get24(p + 1); }
uint32_t get32le(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

int basic_len(uint8_t b0) {
  const int low = b0 & 0x3F;
  return low == 0 ? 2 : low == 1 ? 3 : 1;
}

uint32_t basic_csid(const uint8_t* h) {
  const int low = h[0] & 0x3F;
  if (low == 0) return 64 + uint32_t{h[1]};
  if (low == 1) return 64 + uint32_t{h[1]} + (uint32_t{h[2]} << 8);
  return static_cast<uint32_t>(low);
}

}  // namespace

RtmpChunkReader::RtmpChunkReader(RtmpReaderLimits limits) : limits_(limits) {}

bool RtmpChunkReader::fail(const char* why) {
  if (!error_) error_ = why;
  return false;
}

uint32_t RtmpChunkReader::cap_for(uint8_t type) const {
  return type == 8 || type == 9 || type == 22 ? limits_.media_max : limits_.command_max;
}

RtmpChunkReader::Stream* RtmpChunkReader::find_stream(uint32_t csid, bool create) {
  for (int i = 0; i < n_streams_; ++i)
    if (streams_[i].csid == csid) return &streams_[i];
  if (!create || n_streams_ >= kRtmpMaxChunkStreams) return nullptr;
  Stream& s = streams_[n_streams_++];
  s.csid = csid;
  return &s;
}

// The header length known from the bytes held so far: the basic header, then the message
// header of its fmt, then the extended timestamp when the header (or, for fmt 3, the chunk
// stream's last full header) carries one.
int RtmpChunkReader::header_need() const {
  const int blen = basic_len(hdr_[0]);
  if (hdr_len_ < blen) return blen;
  const int fmt = hdr_[0] >> 6;
  const int base = blen + kMessageHeaderLen[fmt];
  if (hdr_len_ < base) return base;
  bool ext = false;
  if (fmt < 3) {
    ext = get24(hdr_ + blen) == kExtendedMark;
  } else {
    for (int i = 0; i < n_streams_; ++i)
      if (streams_[i].csid == basic_csid(hdr_)) ext = streams_[i].extended;
  }
  return base + (ext ? 4 : 0);
}

bool RtmpChunkReader::open_message(Stream& s) {
  if (s.length > cap_for(s.type)) return fail("message longer than allowed");
  if (pending_ + s.length > limits_.pending_max) return fail("unfinished messages hold too much");
  pending_ += s.length;
  s.in_message = true;
  s.body.clear();
  return true;
}

// fmt 0, 1 or 2: the fields the header carries replace the chunk stream's; the clock is
// set (fmt 0) or advanced by the delta (fmt 1 and 2).
bool RtmpChunkReader::begin_message(Stream& s, int fmt, const uint8_t* h) {
  uint32_t field = get24(h);
  s.extended = field == kExtendedMark;
  if (s.extended) field = get32(h + kMessageHeaderLen[fmt]);
  if (fmt == 0) {
    s.timestamp = field;
    s.delta = field;  // a fmt 3 after a fmt 0 takes its timestamp as the delta
  } else {
    s.delta = field;
    s.timestamp += field;
  }
  if (fmt <= 1) {
    s.length = get24(h + 3);
    s.type = h[6];
  }
  if (fmt == 0) s.stream_id = get32le(h + 7);
  return open_message(s);
}

// A whole chunk header is held: sets the chunk stream and the payload bytes to come.
bool RtmpChunkReader::start_chunk() {
  const int fmt = hdr_[0] >> 6;
  const int blen = basic_len(hdr_[0]);
  Stream* s = find_stream(basic_csid(hdr_), fmt <= 1);
  if (!s) return fail(fmt <= 1 ? "too many chunk streams" : "chunk stream has no previous header");
  if (fmt < 3) {
    if (s->in_message) return fail("new header inside an unfinished message");
    if (!begin_message(*s, fmt, hdr_ + blen)) return false;
  } else if (!s->in_message) {
    // A new message repeating the previous header: the clock advances by the last delta,
    // which an extended field restates.
    if (s->extended) s->delta = get32(hdr_ + blen);
    s->timestamp += s->delta;
    if (!open_message(*s)) return false;
  }
  // A continuation's extended field (when present) repeats what its message began with.
  cur_ = s;
  const uint32_t left = s->length - static_cast<uint32_t>(s->body.size());
  chunk_left_ = left < chunk_size_ ? left : chunk_size_;
  state_ = State::kPayload;
  hdr_len_ = 0;
  return true;
}

bool RtmpChunkReader::apply_control(const RtmpMessage& m) {
  if (m.type == 1) {
    if (m.length < 4) return fail("set chunk size too short");
    const uint32_t size = get32(m.body);
    if (size == 0 || size > kRtmpMaxChunkSize) return fail("set chunk size out of range");
    chunk_size_ = size;
  } else if (m.type == 2) {
    if (m.length < 4) return fail("abort message too short");
    Stream* s = find_stream(get32(m.body), false);
    if (s && s->in_message) {
      pending_ -= s->length;
      s->in_message = false;
      s->body.clear();
    }
  }
  return true;
}

bool RtmpChunkReader::finish_message(Stream& s, RtmpMessageFn fn, void* user, bool& go_on) {
  s.in_message = false;
  pending_ -= s.length;
  state_ = State::kBasic;
  RtmpMessage m;
  m.csid = s.csid;
  m.type = s.type;
  m.stream_id = s.stream_id;
  m.timestamp = s.timestamp;
  m.body = s.body.data();
  m.length = s.body.size();
  if (!apply_control(m)) return false;
  go_on = fn ? fn(user, m) : true;
  if (s.body.capacity() > kKeepCapacity) std::vector<uint8_t>().swap(s.body);
  else s.body.clear();
  return true;
}

std::size_t RtmpChunkReader::feed(const uint8_t* p, std::size_t n, RtmpMessageFn fn, void* user) {
  std::size_t i = 0;
  bool go_on = true;
  while (go_on && !error_) {
    if (state_ == State::kPayload) {
      if (chunk_left_ > 0) {
        if (i >= n) break;
        const std::size_t take = n - i < chunk_left_ ? n - i : chunk_left_;
        cur_->body.insert(cur_->body.end(), p + i, p + i + take);
        i += take;
        bytes_ += take;
        chunk_left_ -= static_cast<uint32_t>(take);
        if (chunk_left_ > 0) break;
      }
      if (cur_->body.size() == cur_->length) {
        if (!finish_message(*cur_, fn, user, go_on)) break;
      } else {
        state_ = State::kBasic;
      }
      continue;
    }
    if (i >= n) break;
    hdr_[hdr_len_++] = p[i++];
    ++bytes_;
    if (hdr_len_ >= header_need() && !start_chunk()) break;
  }
  return i;
}

}  // namespace kx
