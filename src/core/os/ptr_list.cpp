#include "core/os/ptr_list.h"

#include <atomic>
#include <new>

namespace kx {

namespace {
std::atomic<int> g_node_failures{0};

// Every node comes from here, so a test can make the next ones fail as memory would.
PtrNode* new_node(void* value, PtrNode* next, PtrNode* prev) {
  int n = g_node_failures.load(std::memory_order_relaxed);
  while (n > 0) {
    if (g_node_failures.compare_exchange_weak(n, n - 1)) return nullptr;
  }
  return new (std::nothrow) PtrNode{value, next, prev};
}
}  // namespace

void fail_next_list_nodes(int n) { g_node_failures.store(n > 0 ? n : 0); }

PtrList::PtrList(PtrList&& other) noexcept
    : head_(other.head_), tail_(other.tail_), count_(other.count_) {
  other.head_ = other.tail_ = nullptr;
  other.count_ = 0;
}

PtrList& PtrList::operator=(PtrList&& other) noexcept {
  if (this != &other) {
    clear();
    head_ = other.head_;
    tail_ = other.tail_;
    count_ = other.count_;
    other.head_ = other.tail_ = nullptr;
    other.count_ = 0;
  }
  return *this;
}

PtrPos PtrList::add_head(void* value) {
  PtrNode* node = new_node(value, head_, nullptr);
  if (node == nullptr) return nullptr;
  if (head_ != nullptr) head_->prev = node;
  else tail_ = node;
  head_ = node;
  ++count_;
  return node;
}

PtrPos PtrList::add_tail(void* value) {
  PtrNode* node = new_node(value, nullptr, tail_);
  if (node == nullptr) return nullptr;
  if (tail_ != nullptr) tail_->next = node;
  else head_ = node;
  tail_ = node;
  ++count_;
  return node;
}

PtrPos PtrList::insert_before(PtrPos pos, void* value) {
  if (pos == nullptr || pos == head_) return add_head(value);
  PtrNode* node = new_node(value, pos, pos->prev);
  if (node == nullptr) return nullptr;
  pos->prev->next = node;
  pos->prev = node;
  ++count_;
  return node;
}

PtrPos PtrList::insert_after(PtrPos pos, void* value) {
  if (pos == nullptr || pos == tail_) return add_tail(value);
  PtrNode* node = new_node(value, pos->next, pos);
  if (node == nullptr) return nullptr;
  pos->next->prev = node;
  pos->next = node;
  ++count_;
  return node;
}

void PtrList::unlink(PtrNode* node) {
  if (node->prev != nullptr) node->prev->next = node->next;
  else head_ = node->next;
  if (node->next != nullptr) node->next->prev = node->prev;
  else tail_ = node->prev;
  --count_;
  delete node;
}

void* PtrList::remove_head() {
  if (head_ == nullptr) return nullptr;
  void* value = head_->value;
  unlink(head_);
  return value;
}

void* PtrList::remove_tail() {
  if (tail_ == nullptr) return nullptr;
  void* value = tail_->value;
  unlink(tail_);
  return value;
}

void* PtrList::remove_at(PtrPos& pos) {
  if (pos == nullptr) return nullptr;
  void* value = pos->value;
  unlink(pos);
  pos = nullptr;
  return value;
}

bool PtrList::remove(void* value) {
  PtrPos pos = find(value);
  if (pos == nullptr) return false;
  remove_at(pos);
  return true;
}

void PtrList::clear() {
  PtrNode* node = head_;
  while (node != nullptr) {
    PtrNode* next = node->next;
    delete node;
    node = next;
  }
  head_ = tail_ = nullptr;
  count_ = 0;
}

void* PtrList::get_next(PtrPos& pos) {
  if (pos == nullptr) return nullptr;
  void* value = pos->value;
  pos = pos->next;
  return value;
}

void* PtrList::get_prev(PtrPos& pos) {
  if (pos == nullptr) return nullptr;
  void* value = pos->value;
  pos = pos->prev;
  return value;
}

PtrPos PtrList::find(void* value, PtrPos start) const {
  for (PtrNode* node = start != nullptr ? start : head_; node != nullptr; node = node->next) {
    if (node->value == value) return node;
  }
  return nullptr;
}

int PtrList::index_of(void* value) const {
  int i = 0;
  for (PtrNode* node = head_; node != nullptr; node = node->next, ++i) {
    if (node->value == value) return i;
  }
  return -1;
}

PtrPos PtrList::at(int n) const {
  if (n < 0 || n >= count_) return nullptr;
  // Walk from whichever end is nearer.
  if (n <= count_ / 2) {
    PtrNode* node = head_;
    while (n-- > 0) node = node->next;
    return node;
  }
  PtrNode* node = tail_;
  for (int i = count_ - 1; i > n; --i) node = node->prev;
  return node;
}

}  // namespace kx
