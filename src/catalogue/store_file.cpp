#include "catalogue/store_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Permission bits of a file; 0 when it cannot be queried.
int file_mode(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<int>(st.st_mode & 0777);
}

// A backup that nobody else may read keeps that protection in the file's place.
int restore_mode(const std::string& backup) {
  const int m = file_mode(backup);
  return m != 0 && (m & 077) == 0 ? 0600 : 0644;
}

ReadResult nothing_readable(const std::string& path) {
  return file_exists(path) && file_size(path) == 0 ? ReadResult::kEmpty : ReadResult::kMissing;
}

}  // namespace

ReadResult read_store(StoreFile& f, std::string& text) {
  const std::string path = work_file(f.path), backup = work_file(f.backup);
  if (read_text_file(path, text)) return ReadResult::kRead;
  Guard g(f.lock);  // a save must not rotate the backup while it is put back
  if (read_text_file(path, text)) return ReadResult::kRead;  // a save won the race
  const int err = errno;
  if (file_exists(path) && file_size(path) > 0) {
    log_sys("System Error: [%s] exists but cannot be read (errno [%d]); it and [%s] are left as they are\n",
            path.c_str(), err, backup.c_str());
    text.clear();
    return ReadResult::kUnreadable;
  }
  std::string data;
  if (!read_file(backup, data)) return nothing_readable(path);
  if (!replace_file(path, data, restore_mode(backup))) {
    log_sys("rename %s to %s error\n", backup.c_str(), path.c_str());
    text.clear();
    return nothing_readable(path);
  }
  log_sys("rename %s to %s sucessfully\n", backup.c_str(), path.c_str());
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

bool sync_folder(const std::string& path) {
  const int fd = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Writes a fresh file (never through an old one or a link left in its place) and syncs it.
bool write_synced(const std::string& path, const std::string& data, int mode) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  File out;
  if (!out.open(path, File::kWriteTruncate, mode)) return false;
  const bool ok = out.write(data.data(), data.size()) && out.sync();
  out.close();
  if (!ok) ::unlink(path.c_str());
  return ok;
}

// Gives the current file's content a second name, keep_tmp: a hard link, or a copy where
// the file system has none. false when the file exists but could not be kept; absent is
// set when there is no current file (nothing to keep).
bool keep_current(const std::string& path, const std::string& keep_tmp, bool& absent) {
  absent = false;
  ::unlink(keep_tmp.c_str());
  if (::link(path.c_str(), keep_tmp.c_str()) == 0) return true;
  if (errno == ENOENT && !file_exists(path)) {
    absent = true;
    return true;
  }
  std::string data;
  if (!read_file(path, data) && file_size(path) != 0) return false;
  return write_synced(keep_tmp, data, file_mode(path) ? file_mode(path) : 0600);
}

// The renames, in an order that never leaves the file's name empty: the old content is
// held under keep_tmp, the new file takes the name, then keep_tmp becomes the backup.
int rotate(const std::string& temp, const std::string& path, const std::string& keep) {
  const std::string keep_tmp = keep + ".old";
  bool absent = false;
  if (!keep_current(path, keep_tmp, absent)) {
    log_sys("rename %s to %s error\n", path.c_str(), keep.c_str());
    return 0;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    log_sys("rename %s to %s error\n", temp.c_str(), path.c_str());
    if (!absent) ::unlink(keep_tmp.c_str());
    return 0;
  }
  if (!absent && ::rename(keep_tmp.c_str(), keep.c_str()) != 0) {
    // The new content is in place; only the backup is stale.
    log_sys("rename %s to %s error\n", path.c_str(), keep.c_str());
    ::unlink(keep_tmp.c_str());
  }
  sync_folder(path);
  return 1;
}

}  // namespace

int save_store(StoreFile& f, const std::string& data, int mode, const std::string& keep_as) {
  const std::string path = work_file(f.path), temp = work_file(f.temp);
  const std::string keep = work_file(keep_as.empty() ? f.backup : keep_as);
  Guard g(f.lock);
  if (!write_synced(temp, data, mode)) {
    log_sys("disk written error\n");
    return 0;
  }
  if (rotate(temp, path, keep)) return 1;
  ::unlink(temp.c_str());
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
// by whitespace. Returns the offset of the tag's ">", or npos when an attribute is
// malformed (the list read so far is kept).
class AttrScan {
 public:
  AttrScan(std::string_view text, std::size_t end, Element& out) : t_(text), end_(end), out_(out) {}

  std::size_t run(std::size_t i) {
    for (;;) {
      i = skip_space(i);
      if (i >= end_) return std::string_view::npos;
      if (t_[i] == '>') return i;
      if (!attribute(i)) return std::string_view::npos;
    }
  }

 private:
  std::size_t skip_space(std::size_t i) const {
    while (i < end_ && is_space(t_[i])) ++i;
    return i;
  }

  // One name="value" pair starting at i; i moves past it.
  bool attribute(std::size_t& i) {
    const std::size_t name_at = i;
    while (i < end_ && is_name_char(t_[i])) ++i;
    if (i == name_at) return false;
    const std::string_view name = t_.substr(name_at, i - name_at);
    i = skip_space(i);
    if (i >= end_ || t_[i] != '=') return false;
    i = skip_space(i + 1);
    if (i >= end_ || (t_[i] != '"' && t_[i] != '\'')) return false;
    const char quote = t_[i++];
    const std::size_t value_at = i;
    while (i < end_ && t_[i] != quote) ++i;
    if (i >= end_) return false;
    out_.attrs.emplace_back(name, t_.substr(value_at, i - value_at));
    ++i;
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
