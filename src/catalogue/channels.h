// The channel catalogue, channel_definition.xml: loading (plain or scrambled), saving in
// scrambled form with the safe replacement, the plain export, and folder channels.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/channel_def.h"
#include "core/os/file.h"

namespace kx {

inline constexpr const char* kChannelFile = "channel_definition.xml";
inline constexpr const char* kChannelTempFile = "channel_definition_temp.xml";
inline constexpr const char* kChannelBackupFile = "channel_definition_backup.xml";
inline constexpr const char* kChannelDecryptFile = "channel_definition_decrypt.xml";

// Where the catalogue gets the current password of the root account: fills the text and
// answers true, or false when there is no root account. Without a source (or without a
// root account) channel 1's sources can be neither read from nor written to a scrambled
// file. Start-up wires it to the user table.
void set_root_password_source(std::function<bool(std::string&)> source);

// ---- the catalogue file (the channel table over it is the channel input's) ----

// Reads the catalogue file into text, the backup taking the file's place when the file is
// missing or empty, with the load's log lines. 1 read; 0 nothing readable.
int read_channel_file(std::string& text);

// The number of channel elements in the file on disk; 0 when it cannot be read.
int count_channels_in_file();

// Sets the catalogue load time to now.
void mark_channel_catalogue_load();

// Seconds since 1970 of the last catalogue load (folder schedules and source start times
// count from it).
int64_t channel_catalogue_load_time();

// ---- parsing and writing, without files ----

// What absent attributes take from the configuration.
struct ChannelDefaults {
  std::string tolerance_text;  // bitrate_constant as written in the configuration
  float tolerance = 1.0f;
  int cache_on_demand = 0;  // cache_on_demand_channel
};
ChannelDefaults channel_defaults_from_config();

struct ChannelParseOptions {
  bool scrambled = false;
  const std::string* root_password = nullptr;  // channel 1's block; none: unreadable
  ChannelDefaults defaults;
};

// True when the text before the first ">" holds the word "encryption".
bool is_scrambled_header(std::string_view text);

// Reads one ChannelDef per "ch" element, in file order, and hands each to each. 1 when
// every element was read; 0 when parsing stopped at a source that could not be
// unscrambled or at the 16-bit limit (the channels before it were handed over).
int parse_channel_text(std::string_view text, const ChannelParseOptions& opt,
                       const std::function<void(ChannelDef&&)>& each);
// The same into a list.
int parse_channel_text(std::string_view text, const ChannelParseOptions& opt,
                       std::vector<ChannelDef>& out);

// The file text of a list of definitions. scrambled: the stored form (sources scrambled,
// channel 1's root block); otherwise the plain export form. False when the list cannot be
// written (channel 1 without a root password, a value that would break its quotes, an
// empty entry).
bool format_channel_text(const ChannelDefList& defs, bool scrambled,
                         const std::string* root_password, const ChannelDefaults& defaults,
                         std::string& out);

// ---- folder channels ----

// Builds def's file list from a folder (relative to the working directory or absolute):
// one entry per regular file, sorted by path, with bit rate, pacing and play time, and
// the total play time. Returns the number of files (0 when the folder cannot be read).
int build_folder_list(ChannelDef& def, const std::string& folder);

// The file a folder channel plays now, and where to start in it.
struct FolderPosition {
  File file;             // open for reading, positioned at offset
  std::string path;
  std::size_t index = 0;     // in the folder list
  int64_t remaining = 0;     // seconds left of the file
  int64_t offset = 0;        // a multiple of 188
  int kbitrate = 0;
};
// 1 with out filled; 0 when the channel has no play time, the file has no bit rate or
// cannot be opened. now and load_time in seconds since 1970.
int folder_channel_position(const ChannelDef& def, int64_t now, int64_t load_time,
                            FolderPosition& out);
// The same at the wall clock, counted from the catalogue load time.
int folder_channel_position(const ChannelDef& def, FolderPosition& out);

// The bit-rate probe used for folder files: the standing one the composition installs
// (the movie probe; the catalogue does not know movies), unless replaced. Tests replace
// it; an empty function restores the standing one. With none, a file's rate is unknown (-1).
void set_standing_folder_probe(int (*probe)(const std::string&));
void set_folder_probe(std::function<int(const std::string&)> probe);

// Shared by the catalogue's own files.
struct StoreFile;
class Mutex;
namespace channels_detail {
StoreFile& channel_store();
Mutex& writer_lock();  // serialises load, save and change of the catalogue
// The root password from the configured source; false when there is none.
bool root_password(std::string& out);
// Writes defs in scrambled form (refused unless clean, a list from a whole file) under the
// writer lock the caller holds; the file replaced is kept as keep_as, or as the backup.
int save_defs_locked(const ChannelDefList& defs, bool clean, const std::string& keep_as);
}  // namespace channels_detail

}  // namespace kx
