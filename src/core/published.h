// A value that one thread replaces while others read it: readers take a reference-counted
// snapshot and keep it as long as they need; a publisher swaps in a whole new value. A
// published value is never changed in place.
#pragma once
#include <memory>
#include <mutex>
#include <utility>

namespace kx {

template <class T>
class Published {
 public:
  using Ptr = std::shared_ptr<const T>;

  Published() : p_(std::make_shared<const T>()) {}
  explicit Published(Ptr initial) : p_(initial ? std::move(initial) : std::make_shared<const T>()) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  // The value in force; never empty.
  Ptr get() const {
    std::lock_guard<std::mutex> l(m_);
    return p_;
  }

  // Puts next in force (an empty one stands for a default value). The value it replaces
  // is released here, outside the lock, unless a reader still holds it.
  void publish(Ptr next) {
    if (!next) next = std::make_shared<const T>();
    {
      std::lock_guard<std::mutex> l(m_);
      p_.swap(next);
    }
  }

 private:
  mutable std::mutex m_;
  Ptr p_;
};

}  // namespace kx
