#include "catalogue/store_file.h"

#include <algorithm>
#include <cerrno>

#include "core/log.h"
#include "core/os/file.h"
#include "core/process_state.h"

namespace kx {

std::string work_file(const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  return g_work_dir + "/" + name;
}

// ---- reading with the backup fallback ----

namespace {

// A backup that nobody else may read keeps that protection in the file's place.
int restore_mode(const std::string& backup) {
  const int m = file_mode(backup);
  return m > 0 && (m & 077) == 0 ? 0600 : 0644;
}

ReadResult nothing_readable(const std::string& path) {
  return file_exists(path) && file_size(path) == 0 ? ReadResult::kEmpty : ReadResult::kMissing;
}

}  // namespace

// The log lines name the files as the store knows them (relative to the working
// directory), whatever folder the server runs in.
ReadResult read_store(StoreFile& f, std::string& text, bool log_failed_restore) {
  const std::string path = work_file(f.path), backup = work_file(f.backup);
  if (read_text_file(path, text)) return ReadResult::kRead;
  LogLater later;  // lines logged under the lock are written after it
  Guard g(f.lock);  // a save must not rotate the backup while it is put back
  if (read_text_file(path, text)) return ReadResult::kRead;  // a save won the race
  const int err = errno;
  if (file_exists(path) && file_size(path) > 0) {
    log_sys("System Error: [%s] exists but cannot be read (errno [%d]); it and [%s] are left as they are\n",
            f.path.c_str(), err, f.backup.c_str());
    text.clear();
    return ReadResult::kUnreadable;
  }
  text.clear();
  std::string data;
  if (!read_file(backup, data)) {
    // Putting the backup back is tried whenever the file is missing, and fails without one.
    if (log_failed_restore && (!file_exists(path) || file_exists(backup)))
      log_sys("rename %s to %s error\n", f.backup.c_str(), f.path.c_str());
    return nothing_readable(path);
  }
  if (!replace_file(path, data, restore_mode(backup))) {
    log_sys("rename %s to %s error\n", f.backup.c_str(), f.path.c_str());
    return nothing_readable(path);
  }
  log_sys("rename %s to %s sucessfully\n", f.backup.c_str(), f.path.c_str());
  text = std::move(data);
  terminate_lines(text);
  return ReadResult::kFromBackup;
}

// ---- the safe replacement ----

namespace {

std::string folder_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes a fresh file (never through an old one or a link left in its place) and syncs it.
bool write_synced(const std::string& path, const std::string& data, int mode) {
  if (!remove_if_present(path)) return false;
  File out;
  if (!out.open(path, File::kWriteTruncate, mode)) return false;
  const bool ok = out.write(data.data(), data.size()) && out.sync();
  out.close();
  if (!ok) remove_file(path);
  return ok;
}

// Gives the current file's content a second name, keep_tmp: a hard link, or a copy where
// the file system has none. false when the file exists but could not be kept; absent is
// set when there is no current file (nothing to keep).
bool keep_current(const std::string& path, const std::string& keep_tmp, bool& absent) {
  absent = false;
  remove_file(keep_tmp);
  if (link_file(path, keep_tmp)) return true;
  if (!file_exists(path)) {
    absent = true;
    return true;
  }
  std::string data;
  if (!read_file(path, data) && file_size(path) != 0) return false;
  const int mode = file_mode(path);
  return write_synced(keep_tmp, data, mode > 0 ? mode : 0600);
}

// The names of one replacement: full paths for the calls, store names for the log.
struct Names {
  std::string temp, path, keep;           // full paths
  const std::string &temp_name, &path_name, &keep_name;  // as logged
};

// The renames, in an order that never leaves the file's name empty: the old content is
// held under keep + ".old", the new file takes the name, then that becomes the backup.
int rotate(const Names& n) {
  const std::string keep_tmp = n.keep + ".old";
  bool absent = false;
  if (!keep_current(n.path, keep_tmp, absent)) {
    log_sys("rename %s to %s error\n", n.path_name.c_str(), n.keep_name.c_str());
    return 0;
  }
  if (!rename_file(n.temp, n.path)) {
    log_sys("rename %s to %s error\n", n.temp_name.c_str(), n.path_name.c_str());
    if (!absent) remove_file(keep_tmp);
    return 0;
  }
  if (!absent && !rename_file(keep_tmp, n.keep)) {
    // The new content is in place; only the backup is stale.
    log_sys("rename %s to %s error\n", n.path_name.c_str(), n.keep_name.c_str());
    remove_file(keep_tmp);
  }
  sync_dir(folder_of(n.path));
  return 1;
}

}  // namespace

int save_store(StoreFile& f, const std::string& data, int mode, const std::string& keep_as) {
  const std::string& keep_name = keep_as.empty() ? f.backup : keep_as;
  const Names n{work_file(f.temp), work_file(f.path), work_file(keep_name), f.temp, f.path, keep_name};
  LogLater later;  // lines logged under the lock are written after it
  Guard g(f.lock);
  if (!write_synced(n.temp, data, mode)) {
    log_sys("disk written error\n");
    return 0;
  }
  if (rotate(n)) return 1;
  remove_file(n.temp);
  return 0;
}

// ---- the scanner ----

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '-';
}

// Offset of the next "<tag" followed by whitespace or ">", at or after pos; npos if none.
std::size_t find_open(std::string_view text, std::string_view tag, std::size_t pos) {
  while (pos < text.size()) {
    const std::size_t lt = text.find('<', pos);
    if (lt == std::string_view::npos) break;
    const std::size_t after = lt + 1 + tag.size();
    if (after < text.size() && text.compare(lt + 1, tag.size(), tag) == 0 &&
        (is_space(text[after]) || text[after] == '>'))
      return lt;
    pos = lt + 1;
  }
  return std::string_view::npos;
}

// Offset of "</tag>" at or after pos; npos if none.
std::size_t find_close(std::string_view text, std::string_view tag, std::size_t pos) {
  while (pos < text.size()) {
    const std::size_t lt = text.find("</", pos);
    if (lt == std::string_view::npos) break;
    const std::size_t after = lt + 2 + tag.size();
    if (after < text.size() && text.compare(lt + 2, tag.size(), tag) == 0 && text[after] == '>')
      return lt;
    pos = lt + 2;
  }
  return std::string_view::npos;
}

// Walks the attributes of an opening tag over [i, end): name, '=', quoted value, separated
// by whitespace. Returns the offset of the tag's ">", or npos when the attributes run to
// the element's end. A malformed attribute (a quote inside a value, a value without its
// closing quote, a name without a value) does not end the list: the scan picks up again
// at the next "name=" with a quote that follows whitespace or a quote, so the attributes
// after it are kept. A value cut at a quote inside it keeps the text before that quote.
// Nothing is read at or past end.
class AttrScan {
 public:
  AttrScan(std::string_view text, std::size_t end, Element& out) : t_(text), end_(end), out_(out) {}

  std::size_t run(std::size_t i) {
    for (;;) {
      i = skip_space(i);
      if (i >= end_) return std::string_view::npos;
      if (t_[i] == '>') return i;
      std::size_t resume = i;
      if (!attribute(i, resume)) {
        i = resync(resume);
        if (i >= end_) return std::string_view::npos;
      }
    }
  }

 private:
  std::size_t skip_space(std::size_t i) const {
    while (i < end_ && is_space(t_[i])) ++i;
    return i;
  }

  // The end of the name="  (or name='  ) that starts at i, just past its opening quote;
  // npos when none starts there.
  std::size_t name_eq_quote(std::size_t i) const {
    const std::size_t name_at = i;
    while (i < end_ && is_name_char(t_[i])) ++i;
    if (i == name_at) return std::string_view::npos;
    i = skip_space(i);
    if (i >= end_ || t_[i] != '=') return std::string_view::npos;
    i = skip_space(i + 1);
    if (i >= end_ || (t_[i] != '"' && t_[i] != '\'')) return std::string_view::npos;
    return i + 1;
  }

  // The next offset at or after from where a name=" starts after whitespace or a quote;
  // end_ when there is none.
  std::size_t resync(std::size_t from) const {
    for (std::size_t p = from == 0 ? 1 : from; p < end_; ++p) {
      const char before = t_[p - 1];
      if ((is_space(before) || before == '"' || before == '\'') && name_eq_quote(p) != std::string_view::npos)
        return p;
    }
    return end_;
  }

  // One name="value" pair starting at i; true with i moved past it. false when it is
  // malformed, with resume set where the search for the next attribute starts (always
  // past i's old value, so the scan moves on).
  bool attribute(std::size_t& i, std::size_t& resume) {
    const std::size_t name_at = i;
    while (i < end_ && is_name_char(t_[i])) ++i;
    const std::string_view name = t_.substr(name_at, i - name_at);
    const std::size_t value_at = name.empty() ? std::string_view::npos : name_eq_quote(name_at);
    if (value_at == std::string_view::npos) {
      resume = std::max(i, name_at + 1);
      return false;
    }
    const char quote = t_[value_at - 1];
    i = value_at;
    while (i < end_ && t_[i] != quote) ++i;
    resume = value_at;
    if (i >= end_) return false;  // no closing quote before the element's end
    out_.attrs.emplace_back(name, t_.substr(value_at, i - value_at));
    ++i;
    // Anything but a separator here means the quote closed the value too early: the
    // attributes that follow are found again from inside it.
    return i >= end_ || is_space(t_[i]) || t_[i] == '>';
  }

  std::string_view t_;
  std::size_t end_;
  Element& out_;
};

}  // namespace

bool Element::attr(std::string_view name, std::string_view& value) const {
  for (const auto& a : attrs) {
    if (a.first == name) {
      value = a.second;
      return true;
    }
  }
  return false;
}

bool next_element(std::string_view text, std::string_view tag, std::size_t& pos, Element& out) {
  out = Element{};
  if (tag.empty() || pos >= text.size()) return false;
  const std::size_t open = find_open(text, tag, pos);
  const std::size_t attrs_at = open == std::string_view::npos ? open : open + 1 + tag.size();
  const std::size_t close = open == std::string_view::npos ? open : find_close(text, tag, attrs_at);
  if (close == std::string_view::npos) {
    pos = text.size();
    return false;
  }
  const std::size_t gt = AttrScan(text, close, out).run(attrs_at);
  // After a malformed attribute the text is what follows the last ">" of the element.
  std::size_t text_at = gt;
  if (text_at == std::string_view::npos) {
    text_at = text.substr(attrs_at, close - attrs_at).rfind('>');
    text_at = text_at == std::string_view::npos ? close - 1 : attrs_at + text_at;
  }
  out.tag = text.substr(open + 1, tag.size());
  out.text = text.substr(text_at + 1, close - text_at - 1);
  out.begin = open;
  out.end = close + 3 + tag.size();
  pos = out.end;
  return true;
}

bool child_text(std::string_view entry, std::string_view tag, std::string_view& out) {
  std::size_t pos = 0;
  Element e;
  if (!next_element(entry, tag, pos, e)) return false;
  out = e.text;
  return true;
}

// ---- checks on stored text ----

bool safe_text(std::string_view s, std::size_t max) {
  if (s.size() > max) return false;
  for (const char c : s) {
    if (c == '<' || c == '>' || c == '"' || c == '\r' || c == '\n' || c == '\0') return false;
  }
  return true;
}

bool safe_name(std::string_view s, std::size_t max) {
  if (!safe_text(s, max) || s.empty() || s == ".") return false;
  return s.find_first_of("/\\") == std::string_view::npos && s.find("..") == std::string_view::npos;
}

std::string cut(std::string_view s, std::size_t max) { return std::string(s.substr(0, max)); }

}  // namespace kx
