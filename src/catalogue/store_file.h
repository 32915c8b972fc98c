// What every catalogue file of the server shares: reading with the backup fallback,
// the safe replacement, a scanner for its elements and attributes, and the checks on
// text that becomes a file name or XML text.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "core/os/sync.h"

namespace kx {

// One catalogue file: its name, temporary and backup names, and the lock that serialises
// its saves (write and renames).
struct StoreFile {
  StoreFile(std::string p, std::string t, std::string b) : path(std::move(p)), temp(std::move(t)), backup(std::move(b)) {}
  std::string path, temp, backup;  // relative to the working directory
  Mutex lock;
};

// Joins the working directory and a relative name.
std::string work_file(const std::string& name);

enum class ReadResult { kRead, kFromBackup, kMissing, kEmpty, kUnreadable };

// Reads a catalogue file whole, with lines completed to "\r\n". When the file is missing
// or empty and its backup is readable, the backup's text is put back in the file's place
// (atomically) and read; the rename lines "rename %s to %s sucessfully\n" /
// "rename %s to %s error\n" are logged. kMissing / kEmpty: nothing readable.
// kUnreadable: the file holds data that cannot be read (permissions, an I/O error); it may
// hold entries its older backup lacks, so neither file is touched and nothing is loaded.
// With log_failed_restore, a missing file whose backup cannot be put back (none there)
// logs "rename %s to %s error\n" too (the files whose loading names that step). The
// lines name the files by their store names.
ReadResult read_store(StoreFile& f, std::string& text, bool log_failed_restore = false);

// Replaces the file with data: the temporary file is written and synced, then, under the
// file's lock, the current file becomes the backup (or keep_as, when given) and the
// temporary takes the file's name in one rename, so the file never goes missing.
// Returns 1, or 0 with the old file and the backup untouched ("disk written error\n" or
// the rename line logged). mode 0600 for files that hold passwords. The caller must not
// hold f.lock.
int save_store(StoreFile& f, const std::string& data, int mode = 0644, const std::string& keep_as = "");

// A scanned element: <tag attr="v" ...>text</tag>. Views point into the scanned text.
struct Element {
  std::string_view tag;
  std::vector<std::pair<std::string_view, std::string_view>> attrs;
  std::string_view text;  // between the opening tag's ">" and the closing tag
  std::size_t begin = 0, end = 0;  // offsets of "<" and just past the closing tag
  // The value of an attribute named exactly name; false when absent.
  bool attr(std::string_view name, std::string_view& value) const;
};

// Finds the next element named tag at or after pos, parsing its attributes as
// name="value" pairs (a value may hold any character but its quote, line ends included).
// False at the end of the text or when the element is not closed. pos moves past it.
bool next_element(std::string_view text, std::string_view tag, std::size_t& pos, Element& out);

// The text of the first <tag>...</tag> inside an entry; false when absent.
bool child_text(std::string_view entry, std::string_view tag, std::string_view& out);

// Text that is written into a catalogue file: no '<', '>', '"', CR, LF or NUL, and at
// most max characters.
bool safe_text(std::string_view s, std::size_t max);
// Text that also names a file: safe_text, not empty, not ".", and no '/', '\\' or "..".
bool safe_name(std::string_view s, std::size_t max);

// Copies at most max characters (values read from files are cut to their field).
std::string cut(std::string_view s, std::size_t max);

}  // namespace kx
