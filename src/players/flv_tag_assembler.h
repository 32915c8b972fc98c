// Gathers whole tags out of an FLV tag ring's bytes: each tag is a PreviousTagSize word,
// an 11-byte tag header and its data, and a tag longer than one ring entry continues in
// the entries after it. The bytes come in pieces of any size; the declared size of a tag
// is checked before any of its data is waited for, so a broken entry never makes the
// player hold more than one tag of the largest allowed size.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kx {

struct FlvRingTag {
  uint8_t type = 0;
  uint32_t timestamp = 0;  // ms: 24 bits plus the extended byte as the top 8
  const uint8_t* data = nullptr;
  uint32_t size = 0;
};

class FlvTagAssembler {
 public:
  enum Result {
    kTag,       // tag holds the next whole tag
    kNeedMore,  // the next tag is not all here yet
    kBadType,   // the next tag is neither audio (8) nor video (9): bad_type() says what it is
    kBadSize,   // the next tag declares more data than allowed
  };

  explicit FlvTagAssembler(uint32_t max_data);

  // Forgets everything held, finished or not (a new start in the ring).
  void reset();
  // Lets go of the bytes of the tags already handed out: their data pointers are void.
  void compact();
  // The next bytes of the ring, after what is held. Moves the held bytes: call it only
  // when no tag handed out since the last compact() is still in use.
  void append(const uint8_t* p, std::size_t n);
  Result next(FlvRingTag& tag);

  std::size_t held() const { return buf_.size() - pos_; }
  int bad_type() const { return bad_type_; }
  uint32_t bad_size() const { return bad_size_; }

 private:
  const uint32_t max_data_;
  std::vector<uint8_t> buf_;
  std::size_t pos_ = 0;  // the first byte not handed out
  int bad_type_ = 0;
  uint32_t bad_size_ = 0;
};

}  // namespace kx
