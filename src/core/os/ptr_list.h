// Doubly linked list of untyped pointers, used for the server's object lists.
//
// The list does no locking of its own: every list belongs to an owner whose mutex
// guards it. It never owns the values; destroying or clearing it frees only the nodes.
//
// A position (PtrPos) is a node of this list, or null for "none". Positions stay valid
// until their node is removed; a position must only be passed to the list it came from.
//
// Removing while walking: save the position, advance, then remove the saved one.
//
//   for (kx::PtrPos pos = list.head(); pos != nullptr;) {
//     kx::PtrPos cur = pos;
//     void* v = list.get_next(pos);  // pos now points past cur
//     if (done_with(v)) list.remove_at(cur);
//   }
#pragma once

namespace kx {

struct PtrNode {
  void* value;
  PtrNode* next;
  PtrNode* prev;
};

using PtrPos = PtrNode*;

// Test hook: the next n node allocations of any list fail as if memory ran out (0 ends it).
void fail_next_list_nodes(int n);

class PtrList {
 public:
  PtrList() = default;
  ~PtrList() { clear(); }
  PtrList(const PtrList&) = delete;
  PtrList& operator=(const PtrList&) = delete;
  PtrList(PtrList&& other) noexcept;             // other is left empty
  PtrList& operator=(PtrList&& other) noexcept;  // frees this list's nodes first

  // Adds return the new node's position, or null when no memory was left.
  PtrPos add_head(void* value);
  PtrPos add_tail(void* value);
  PtrPos insert_before(PtrPos pos, void* value);  // null pos: same as add_head
  PtrPos insert_after(PtrPos pos, void* value);   // null pos: same as add_tail

  // Removals return the removed value; null when the list is empty or pos is null.
  void* remove_head();
  void* remove_tail();
  void* remove_at(PtrPos& pos);  // pos is set to null
  bool remove(void* value);      // first occurrence from the head; false when absent
  void clear();

  PtrPos head() const { return head_; }
  PtrPos tail() const { return tail_; }
  int count() const { return count_; }

  // Return the value at pos and move pos one step towards the tail (get_next) or the
  // head (get_prev); pos becomes null past the end. A null pos gives null.
  static void* get_next(PtrPos& pos);
  static void* get_prev(PtrPos& pos);

  // Searches from start (inclusive; null means the head) towards the tail.
  PtrPos find(void* value, PtrPos start = nullptr) const;
  int index_of(void* value) const;  // -1 when absent
  PtrPos at(int n) const;           // null when n < 0 or n >= count()

 private:
  void unlink(PtrNode* node);

  PtrNode* head_ = nullptr;
  PtrNode* tail_ = nullptr;
  int count_ = 0;
};

}  // namespace kx
