#include "players/flv_tag_assembler.h"

#include "formats/flv.h"

namespace kx {

namespace {

constexpr std::size_t kLead = 4 + kFlvTagHeaderSize;  // PreviousTagSize and the tag header

uint32_t get24(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}

}  // namespace

FlvTagAssembler::FlvTagAssembler(uint32_t max_data) : max_data_(max_data) {}

void FlvTagAssembler::reset() {
  buf_.clear();
  pos_ = 0;
}

void FlvTagAssembler::compact() {
  if (pos_ == 0) return;
  buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
  pos_ = 0;
}

void FlvTagAssembler::append(const uint8_t* p, std::size_t n) {
  if (p && n > 0) buf_.insert(buf_.end(), p, p + n);
}

FlvTagAssembler::Result FlvTagAssembler::next(FlvRingTag& tag) {
  const std::size_t avail = buf_.size() - pos_;
  if (avail < kLead) return kNeedMore;
  const uint8_t* h = buf_.data() + pos_ + 4;
  if (h[0] != kFlvTagAudio && h[0] != kFlvTagVideo) {
    bad_type_ = h[0];
    return kBadType;
  }
  const uint32_t size = get24(h + 1);
  if (size > max_data_) {
    bad_size_ = size;
    return kBadSize;
  }
  if (avail - kLead < size) return kNeedMore;
  tag.type = h[0];
  tag.timestamp = get24(h + 4) | (static_cast<uint32_t>(h[7]) << 24);
  tag.data = h + kFlvTagHeaderSize;
  tag.size = size;
  pos_ += kLead + size;
  return kTag;
}

}  // namespace kx
