#include "players/viewer_ticket.h"

#include "core/os/sync.h"
#include "ingest/channel_info.h"

namespace kx {

ViewerTicket& ViewerTicket::operator=(ViewerTicket&& o) noexcept {
  if (this != &o) {
    give_back();
    ch_ = std::move(o.ch_);
  }
  return *this;
}

ViewerTicket::Counts ViewerTicket::take(std::shared_ptr<Channel_Info> ch) {
  give_back();
  Counts c;
  if (!ch) return c;
  {
    Guard g(ch->rt.hCounter_Lock);
    c.viewers = ch->rt.Active_No.fetch_add(1) + 1;
    c.views = ch->rt.Watched_No.fetch_add(1) + 1;
  }
  ch_ = std::move(ch);
  return c;
}

bool ViewerTicket::give_back(Counts* counts) {
  if (!ch_) return false;
  Counts c;
  {
    Guard g(ch_->rt.hCounter_Lock);
    c.viewers = ch_->rt.Active_No.fetch_sub(1) - 1;
    c.views = ch_->rt.Watched_No.load();
  }
  ch_.reset();
  if (counts) *counts = c;
  return true;
}

}  // namespace kx
