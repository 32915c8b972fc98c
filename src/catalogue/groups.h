// Channel groups: named packages of channels with a connection allowance, stored in
// ch_config/group_definition.xml. Every user belongs to one group; the first group of the
// file is the default group.
//
// The group table is an immutable snapshot: readers keep the one they took, and every
// change publishes a new table only after the file was saved.
#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

inline constexpr std::size_t kGroupNameMax = 127;
inline constexpr int kGroupChannelMax = 65535;  // channel numbers are 16-bit

struct Group {
  std::string name;
  int connection = 1;         // players one user of the group may have at once
  std::vector<int> channels;  // channel numbers in file order; a first 0 grants every channel
  bool all() const { return !channels.empty() && channels.front() == 0; }
};
using GroupPtr = std::shared_ptr<const Group>;

struct GroupTable {
  std::vector<GroupPtr> list;  // file order
};
using GroupTablePtr = std::shared_ptr<const GroupTable>;

// The current table (never null; empty before a load and after a release).
GroupTablePtr groups();
// The first group, null when there is none.
GroupPtr default_group();
// The group named exactly name in the current table, null when there is none.
GroupPtr find_group(std::string_view name);

// Whether a group grants channel: an "all" group grants 1..channel_count, any other group
// the numbers in its list.
bool group_allows_channel(const Group& g, int channel, int channel_count);

// The file's groups. Names are cut to their field, and the characters that could not be
// written back inside a quoted attribute are replaced, so a rewrite reads back the same.
std::vector<Group> parse_groups(std::string_view text);
// The file text: declaration, then each group's lines.
std::string format_groups(const GroupTable& t);

// Input checks of the editing commands. A connection text is a decimal number (optional
// '-', at most 10 digits, in 32-bit range); a channel text is "all" in any case (gives {0})
// or channel numbers 1..65535 separated by ",". 1 with the value, 0 when refused.
int parse_connection_text(std::string_view text, int& out);
int parse_channel_text(std::string_view text, std::vector<int>& out);

// Start-up: reads the file (the backup when it is missing) and publishes the table.
// 0 when neither is readable ("group_definition.xml Not found").
int load_groups();
// Shutdown: publishes an empty table; records held by readers stay valid.
void release_groups();

// query_group text: per group "No=..\r\nname=..\r\nconnection=..\r\nsrc=..\r\n", then
// "\r\n"; empty when there is no group.
std::string group_list_text(const GroupTable& t);
std::string group_list_text();
std::size_t group_list_length();

// Editing. Each saves the whole file through the safe replacement and then publishes the
// new table; 0 (file and table unchanged) on a refused argument, a name that exists already
// (add, and replace or update to another group's name), an unknown name (delete), a position
// outside 1..count, deleting the last group, or a failed save.
int add_group(std::string_view name, std::string_view connection, std::string_view channels);
int delete_group(std::string_view name);
int replace_group(int position, std::string_view name, std::string_view connection,
                  std::string_view channels);
// The same change to the table only (the file is left as it is).
int update_group_in_table(int position, std::string_view name, std::string_view connection,
                          std::string_view channels);

// Called after every edit above that published a new table, once the groups' own lock is
// released, so what refers to groups by name (the users) is resolved again. Start-up wires
// it; an empty function removes it.
void on_groups_changed(std::function<void()> listener);

// The group of a user: the group named exactly group_name (found = 1); otherwise the first
// group, with group_name changed to its name (found = 0). Null (found = 0, name unchanged)
// when there is no group at all.
GroupPtr group_check(std::string& group_name, int& found);

}  // namespace kx
