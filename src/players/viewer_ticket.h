// A viewer ticket: the one place that raises and lowers a channel's viewer counters. An
// output takes a ticket when its player really starts watching; giving it back (or
// dropping it) lowers the current-viewer count once, and only if this ticket raised it,
// so no output ever lowers what it did not raise.
#pragma once
#include <memory>

namespace kx {

struct Channel_Info;

class ViewerTicket {
 public:
  // The counts right after a change, read under the channel's counter lock.
  struct Counts {
    int viewers = 0;  // Active_No
    int views = 0;    // Watched_No
  };

  ViewerTicket() = default;
  ~ViewerTicket() { give_back(); }
  ViewerTicket(ViewerTicket&& o) noexcept : ch_(std::move(o.ch_)) {}
  ViewerTicket& operator=(ViewerTicket&& o) noexcept;
  ViewerTicket(const ViewerTicket&) = delete;
  ViewerTicket& operator=(const ViewerTicket&) = delete;

  // Raises the channel's current viewers and its views; the ticket then holds the channel.
  // A ticket already held is given back first.
  Counts take(std::shared_ptr<Channel_Info> ch);
  // Lowers the current viewers if this ticket raised them; false (nothing changed) when
  // it holds nothing. counts, when given, receives the counts after the change.
  bool give_back(Counts* counts = nullptr);
  bool held() const { return ch_ != nullptr; }

 private:
  std::shared_ptr<Channel_Info> ch_;
};

}  // namespace kx
