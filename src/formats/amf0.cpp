#include "formats/amf0.h"

#include <cstring>

namespace kx {

namespace {

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t get32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

double get_double(const uint8_t* p) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | p[i];
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

}  // namespace

// ---- writer ----

bool Amf0Writer::room(int n) {
  if (!ok_ || n < 0 || n > cap_ - len_) {
    ok_ = false;
    return false;
  }
  return true;
}

void Amf0Writer::put16(int v) {
  put8(static_cast<uint8_t>(v >> 8));
  put8(static_cast<uint8_t>(v));
}

void Amf0Writer::put32(uint32_t v) {
  put8(static_cast<uint8_t>(v >> 24));
  put8(static_cast<uint8_t>(v >> 16));
  put8(static_cast<uint8_t>(v >> 8));
  put8(static_cast<uint8_t>(v));
}

Amf0Writer& Amf0Writer::number(double v) {
  if (!room(9)) return *this;
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  put8(kAmf0Number);
  for (int i = 7; i >= 0; --i) put8(static_cast<uint8_t>(bits >> (i * 8)));
  return *this;
}

Amf0Writer& Amf0Writer::boolean(bool v) {
  if (!room(2)) return *this;
  put8(kAmf0Boolean);
  put8(v ? 1 : 0);
  return *this;
}

Amf0Writer& Amf0Writer::string(std::string_view s) {
  if (s.size() > static_cast<size_t>(cap_)) {
    ok_ = false;
    return *this;
  }
  int n = static_cast<int>(s.size());
  if (n <= 0xFFFF) {
    if (!room(3 + n)) return *this;
    put8(kAmf0String);
    put16(n);
  } else {
    if (!room(5 + n)) return *this;
    put8(kAmf0LongString);
    put32(static_cast<uint32_t>(n));
  }
  if (n > 0) std::memcpy(buf_ + len_, s.data(), static_cast<size_t>(n));
  len_ += n;
  return *this;
}

Amf0Writer& Amf0Writer::null() {
  if (room(1)) put8(kAmf0Null);
  return *this;
}

Amf0Writer& Amf0Writer::begin_object() {
  if (room(1)) put8(kAmf0Object);
  return *this;
}

Amf0Writer& Amf0Writer::begin_ecma_array(uint32_t count) {
  if (!room(5)) return *this;
  put8(kAmf0EcmaArray);
  put32(count);
  return *this;
}

Amf0Writer& Amf0Writer::key(std::string_view name) {
  if (name.size() > 0xFFFF) {
    ok_ = false;
    return *this;
  }
  int n = static_cast<int>(name.size());
  if (!room(2 + n)) return *this;
  put16(n);
  if (n > 0) std::memcpy(buf_ + len_, name.data(), static_cast<size_t>(n));
  len_ += n;
  return *this;
}

Amf0Writer& Amf0Writer::end_object() {
  if (!room(3)) return *this;
  put8(0);
  put8(0);
  put8(kAmf0ObjectEnd);
  return *this;
}

// ---- reader ----

bool Amf0Reader::read_number(double& v) {
  if (remaining() < 9 || p_[pos_] != kAmf0Number) return false;
  v = get_double(p_ + pos_ + 1);
  pos_ += 9;
  return true;
}

bool Amf0Reader::read_boolean(bool& v) {
  if (remaining() < 2 || p_[pos_] != kAmf0Boolean) return false;
  v = p_[pos_ + 1] != 0;
  pos_ += 2;
  return true;
}

bool Amf0Reader::read_string(std::string_view& s) {
  int m = peek_marker();
  if (m == kAmf0String) {
    if (remaining() < 3) return false;
    int n = get16(p_ + pos_ + 1);
    if (n > remaining() - 3) return false;
    s = std::string_view(reinterpret_cast<const char*>(p_ + pos_ + 3), static_cast<size_t>(n));
    pos_ += 3 + n;
    return true;
  }
  if (m == kAmf0LongString) {
    if (remaining() < 5) return false;
    uint32_t n = get32(p_ + pos_ + 1);
    if (n > static_cast<uint32_t>(remaining() - 5)) return false;
    s = std::string_view(reinterpret_cast<const char*>(p_ + pos_ + 5), n);
    pos_ += 5 + static_cast<int>(n);
    return true;
  }
  return false;
}

bool Amf0Reader::read_null() {
  int m = peek_marker();
  if (m != kAmf0Null && m != kAmf0Undefined) return false;
  ++pos_;
  return true;
}

bool Amf0Reader::begin_object() {
  if (peek_marker() != kAmf0Object) return false;
  ++pos_;
  return true;
}

bool Amf0Reader::begin_ecma_array(uint32_t& count) {
  if (remaining() < 5 || p_[pos_] != kAmf0EcmaArray) return false;
  count = get32(p_ + pos_ + 1);
  pos_ += 5;
  return true;
}

int Amf0Reader::next_key(std::string_view& name) {
  if (remaining() < 2) return -1;
  int n = get16(p_ + pos_);
  if (n == 0 && remaining() >= 3 && p_[pos_ + 2] == kAmf0ObjectEnd) {
    pos_ += 3;
    return 0;
  }
  if (n > remaining() - 2) return -1;
  name = std::string_view(reinterpret_cast<const char*>(p_ + pos_ + 2), static_cast<size_t>(n));
  pos_ += 2 + n;
  return 1;
}

bool Amf0Reader::skip_value() {
  int pos = pos_;
  if (!skip_value_at(pos, 0)) return false;
  pos_ = pos;
  return true;
}

// Properties up to and including the object end.
bool Amf0Reader::skip_properties(int& pos, int depth) const {
  // Each turn consumes at least three bytes, so the walk ends with the input.
  while (true) {
    if (len_ - pos < 2) return false;
    int n = get16(p_ + pos);
    if (n == 0 && len_ - pos >= 3 && p_[pos + 2] == kAmf0ObjectEnd) {
      pos += 3;
      return true;
    }
    if (n > len_ - pos - 2) return false;
    pos += 2 + n;
    if (!skip_value_at(pos, depth + 1)) return false;
  }
}

bool Amf0Reader::skip_value_at(int& pos, int depth) const {
  if (depth > kAmf0MaxDepth || pos >= len_) return false;
  int left = len_ - pos;
  switch (p_[pos]) {
    case kAmf0Number:
      if (left < 9) return false;
      pos += 9;
      return true;
    case kAmf0Boolean:
      if (left < 2) return false;
      pos += 2;
      return true;
    case kAmf0String: {
      if (left < 3) return false;
      int n = get16(p_ + pos + 1);
      if (n > left - 3) return false;
      pos += 3 + n;
      return true;
    }
    case kAmf0LongString:
    case kAmf0XmlDocument: {
      if (left < 5) return false;
      uint32_t n = get32(p_ + pos + 1);
      if (n > static_cast<uint32_t>(left - 5)) return false;
      pos += 5 + static_cast<int>(n);
      return true;
    }
    case kAmf0Null:
    case kAmf0Undefined:
    case kAmf0Unsupported:
      pos += 1;
      return true;
    case kAmf0Reference:
      if (left < 3) return false;
      pos += 3;
      return true;
    case kAmf0Date:
      if (left < 11) return false;
      pos += 11;
      return true;
    case kAmf0Object: {
      int q = pos + 1;
      if (!skip_properties(q, depth)) return false;
      pos = q;
      return true;
    }
    case kAmf0EcmaArray: {
      if (left < 5) return false;
      int q = pos + 5;
      if (!skip_properties(q, depth)) return false;
      pos = q;
      return true;
    }
    case kAmf0TypedObject: {
      if (left < 3) return false;
      int n = get16(p_ + pos + 1);
      if (n > left - 3) return false;
      int q = pos + 3 + n;
      if (!skip_properties(q, depth)) return false;
      pos = q;
      return true;
    }
    case kAmf0StrictArray: {
      if (left < 5) return false;
      uint32_t count = get32(p_ + pos + 1);
      int q = pos + 5;
      // Every element takes at least one byte: a count beyond the input fails early.
      if (count > static_cast<uint32_t>(len_ - q)) return false;
      for (uint32_t i = 0; i < count; ++i) {
        if (!skip_value_at(q, depth + 1)) return false;
      }
      pos = q;
      return true;
    }
    default:
      return false;
  }
}

int amf0_find_number(const uint8_t* p, int len, std::string_view name, double& out) {
  Amf0Reader r(p, len);
  uint32_t count = 0;
  if (!r.begin_object() && !r.begin_ecma_array(count)) return 0;
  // Each property consumes bytes, so the walk ends with the input.
  while (true) {
    std::string_view key;
    if (r.next_key(key) != 1) return 0;
    if (key == name && r.peek_marker() == kAmf0Number) return r.read_number(out) ? 1 : 0;
    if (!r.skip_value()) return 0;
  }
}

}  // namespace kx
