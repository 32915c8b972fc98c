// The channel table built from the catalogue: loading (with the source-URL check of every
// channel), saving the table in force, changes to the channel set, the plain export.
#pragma once
#include <functional>
#include <string>

#include "ingest/channel_info.h"

namespace kx {

// Loads the catalogue into the channel table (the backup takes the file's place when the
// file is missing or empty). A plain file is rewritten scrambled at once, the file it was
// read from kept as channel_definition_decrypt.xml.
//  1  loaded;
//  0  nothing readable (start-up fails);
// -1  a scrambled source could not be read (channel 1: the root password does not match):
//     the table holds the channels before it and the catalogue is not clean, so nothing is
//     saved over the file until a clean load.
int load_channel_catalogue();

// Writes the table in force to the file in scrambled form (backup
// channel_definition_backup.xml). 1, or 0 with the file unchanged: write error, no root
// account for channel 1's block, or a catalogue that did not load cleanly.
int save_channel_catalogue();
// The same writer, but the file it replaces becomes channel_definition_decrypt.xml (after
// a plain load, or after the root password changed).
int convert_channel_catalogue();

// A change to the channel set: change edits a copy of the table in force (replace entries,
// never edit a published Channel_Info's definition); returning false abandons it. The new
// table is saved and, only when the save succeeded, published. Runs under the catalogue's
// writer lock. 1, or 0 with file and table unchanged.
int update_channel_table(const std::function<bool(MSK_IPTV_Channel_List&)>& change);

// The whole catalogue in plain form. Returns its length, 0 when it cannot be represented.
int export_channel_catalogue(std::string& out);

// Shutdown: publishes an empty table (which is never saved).
void release_channel_catalogue();

// One channel record from its definition: the source-URL check of every source slot fills
// the runtime half. A source the check refuses keeps the rest of the definition, so a save
// never drops it.
std::shared_ptr<Channel_Info> make_channel(ChannelDef def);

}  // namespace kx
