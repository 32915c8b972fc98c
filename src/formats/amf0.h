// AMF0, the value encoding of FLV script tags and RTMP commands: a writer into a fixed
// buffer and a reader that never looks past the bytes it was given.
#pragma once
#include <cstdint>
#include <string_view>

namespace kx {

enum Amf0Marker : uint8_t {
  kAmf0Number = 0x00,
  kAmf0Boolean = 0x01,
  kAmf0String = 0x02,
  kAmf0Object = 0x03,
  kAmf0Null = 0x05,
  kAmf0Undefined = 0x06,
  kAmf0Reference = 0x07,
  kAmf0EcmaArray = 0x08,
  kAmf0ObjectEnd = 0x09,
  kAmf0StrictArray = 0x0A,
  kAmf0Date = 0x0B,
  kAmf0LongString = 0x0C,
  kAmf0Unsupported = 0x0D,
  kAmf0XmlDocument = 0x0F,
  kAmf0TypedObject = 0x10,
};

// Nesting deeper than this is refused rather than followed.
constexpr int kAmf0MaxDepth = 32;

// Writes into buf[0, cap). Once something does not fit, nothing more is written and
// ok() stays false; size() is what was written before.
class Amf0Writer {
 public:
  Amf0Writer(uint8_t* buf, int cap) : buf_(buf), cap_(buf ? cap : 0) {}
  Amf0Writer& number(double v);
  Amf0Writer& boolean(bool v);
  Amf0Writer& string(std::string_view s);  // short form, long form past 65535 bytes
  Amf0Writer& null();
  Amf0Writer& begin_object();
  Amf0Writer& begin_ecma_array(uint32_t count);
  Amf0Writer& key(std::string_view name);  // a property name inside an object or ECMA array
  Amf0Writer& end_object();                // 00 00 09, for objects and ECMA arrays
  // Shorthands for one property.
  Amf0Writer& prop(std::string_view name, double v) { return key(name).number(v); }
  Amf0Writer& prop(std::string_view name, std::string_view v) { return key(name).string(v); }

  int size() const { return len_; }
  bool ok() const { return ok_; }

 private:
  bool room(int n);
  void put8(uint8_t v) { buf_[len_++] = v; }
  void put16(int v);
  void put32(uint32_t v);
  uint8_t* buf_;
  int cap_;
  int len_ = 0;
  bool ok_ = true;
};

// Reads values from p[0, len). Every call either consumes a whole well-formed item and
// returns true (1), or leaves the position unchanged and returns false (0 / -1).
class Amf0Reader {
 public:
  Amf0Reader(const uint8_t* p, int len) : p_(p), len_(p && len > 0 ? len : 0) {}
  int pos() const { return pos_; }
  int remaining() const { return len_ - pos_; }
  bool at_end() const { return pos_ >= len_; }
  int peek_marker() const { return pos_ < len_ ? p_[pos_] : -1; }

  bool read_number(double& v);
  bool read_boolean(bool& v);
  bool read_string(std::string_view& s);  // short or long string; a view into the input
  bool read_null();                       // null or undefined
  bool begin_object();                    // 0x03
  bool begin_ecma_array(uint32_t& count); // 0x08 and its count (a hint only)
  // Inside an object or ECMA array: 1 with the next property name, 0 at the object end
  // (consumed), -1 when the bytes are not a property name or the end.
  int next_key(std::string_view& name);
  // Skips one value of any kind, containers included.
  bool skip_value();

 private:
  bool skip_value_at(int& pos, int depth) const;
  bool skip_properties(int& pos, int depth) const;
  const uint8_t* p_;
  int len_;
  int pos_ = 0;
};

// With p at an object or ECMA array value (marker first): the number stored under the
// top-level property `name`. 1 when found as a number, 0 otherwise.
int amf0_find_number(const uint8_t* p, int len, std::string_view name, double& out);

}  // namespace kx
