// Programme guides: one list of programmes per channel, stored in epg/<channel name>.xml.
//
// Each channel's list is an immutable snapshot: readers (the guide queries, the scheduled
// recorder) keep the one they took, and an edit publishes a new list only after the
// channel's file was saved.
#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

inline constexpr std::size_t kEpgTimeMax = 19;
inline constexpr std::size_t kEpgTitleMax = 255;
inline constexpr std::size_t kEpgTextMax = 1023;  // description and picture

struct EpgEntry {
  std::string start, stop;  // date-times as the panel writes them: year/month/day time
  std::string title, description, picture;
  int rec = 0;  // 1: the scheduled recorder records this programme
};

struct EpgChannel {
  std::string name;  // the channel's name when the list was loaded; names its file
  std::vector<EpgEntry> entries;
  // The file was there but could not be read: its entries are unknown, so no edit may
  // write a new file over it.
  bool unreadable = false;
};
using EpgChannelPtr = std::shared_ptr<const EpgChannel>;

struct EpgTable {
  std::vector<EpgChannelPtr> channels;  // by channel index (0-based)
};
using EpgTablePtr = std::shared_ptr<const EpgTable>;

// The current table (never null) and one channel's list (null when index is outside it).
EpgTablePtr epg_table();
EpgChannelPtr epg_channel(int channel_index);

// The file of a channel, relative to the working directory: "epg/<stem>.xml", where the stem
// is the name with spaces as "_" and anything that could leave the folder ('/', '\\',
// control characters, the second '.' of "..") as "_". Other names are kept as they are.
std::string epg_file_name(std::string_view channel_name);

// The year (characters 1-4) and month (characters 6-7) of a start text, as atoi reads them.
int epg_year(std::string_view start);
int epg_month(std::string_view start);

// A file's programmes, each value cut to its field (characters that could not be written
// back are replaced, so a rewrite reads back the same), and the file text of a list.
std::vector<EpgEntry> parse_epg(std::string_view text);
std::string format_epg(const std::vector<EpgEntry>& entries);

// Loads every channel's list: channel_name(i) gives the name of channel index i, 0 to
// channel_count - 1. Creates epg/ when missing; a channel without a readable file gets an
// empty list. Publishes the whole table at once, so a reload needs no release before it
// (and is how lists follow channels that were added, deleted or renamed). Returns 1.
int load_epg(int channel_count, const std::function<std::string(int)>& channel_name);
// Shutdown: publishes an empty table.
void release_epg();

// Edits of one channel's list. Position a counts, from 1, the programmes whose start month
// equals the month of the given start. Each writes the channel's file through the safe
// replacement, then publishes the new list. 0 (file and list unchanged) for a channel index
// outside the table, a text that is overlong or holds '<', '>', '"', CR, LF or NUL, no a-th
// programme (update, delete), or a failed save.
//  add: after the a-th programme of the month; failing that before the first programme of a
//  later month; failing that at the end.
int add_programme(int channel_index, int a, const EpgEntry& e);
int update_programme(int channel_index, int a, const EpgEntry& e);
int delete_programme(int channel_index, int a, std::string_view start);

// get_epg_info text: per programme of the year whose start month lies in
// first_month..last_month, "starttime=..\r\nstoptime=..\r\ntitle=..\r\ndescription=..\r\n
// icon=..\r\nrec=..\r\n", then "\r\n". Empty when the channel has no programme.
std::string programme_list_text(int channel_index, int year, int first_month, int last_month);

// Writes the channel's file from its current list; 1, or 0 when the save failed.
int write_epg_file(int channel_index);

}  // namespace kx
