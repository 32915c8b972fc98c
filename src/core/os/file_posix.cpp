#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <atomic>
#include <cstdio>

#include "core/os/file.h"

namespace kx {

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    close();
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

bool File::open(const std::string& path, Mode mode, int perms) {
  close();
  int flags = O_CLOEXEC;
  switch (mode) {
    case kRead: flags |= O_RDONLY; break;
    case kWriteTruncate: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case kWriteKeep: flags |= O_WRONLY | O_CREAT; break;
    case kAppend: flags |= O_WRONLY | O_CREAT | O_APPEND; break;
  }
  do fd_ = ::open(path.c_str(), flags, perms);
  while (fd_ < 0 && errno == EINTR);
  return fd_ >= 0;
}

void File::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool File::write(const void* data, std::size_t len) {
  auto* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::write(fd_, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

bool File::write_at(int64_t pos, const void* data, std::size_t len) {
  auto* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::pwrite(fd_, p, len, pos);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    pos += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

int64_t File::read(void* data, std::size_t len) {
  ssize_t n;
  do n = ::read(fd_, data, len);
  while (n < 0 && errno == EINTR);
  return n;
}

bool File::seek(int64_t pos) { return ::lseek(fd_, pos, SEEK_SET) == pos; }

int64_t File::size() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return st.st_size;
}

bool File::sync() { return fd_ >= 0 && ::fsync(fd_) == 0; }

namespace {
std::atomic<bool (*)(const std::string&)> g_read_fault{nullptr};
}  // namespace

void set_read_fault_for_tests(bool (*fault)(const std::string& path)) { g_read_fault.store(fault); }

int read_file(const std::string& path, std::string& out) {
  out.clear();
  if (bool (*fault)(const std::string&) = g_read_fault.load(); fault != nullptr && fault(path)) {
    errno = EIO;
    return 0;
  }
  File f;
  if (!f.open(path, File::kRead)) return 0;
  int64_t sz = f.size();
  if (sz < 0) return 0;
  out.reserve(static_cast<std::size_t>(sz) + 3);
  char buf[65536];
  for (;;) {
    int64_t n = f.read(buf, sizeof buf);
    if (n < 0) {
      out.clear();
      return 0;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out.empty() ? 0 : 1;
}

void terminate_lines(std::string& text) {
  std::size_t n = text.size();
  if (n >= 2 && text[n - 2] == '\r' && text[n - 1] == '\n') return;
  if (n >= 1 && text[n - 1] == '\n') {
    text.insert(n - 1, 1, '\r');
    return;
  }
  text += "\r\n";
}

int read_text_file(const std::string& path, std::string& out) {
  if (!read_file(path, out)) return 0;
  terminate_lines(out);
  return 1;
}

namespace {
std::string parent_of(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool sync_dir(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

int replace_file(const std::string& path, const std::string& data, int mode) {
  char tmp[PATH_MAX];
  static std::atomic<unsigned> seq{0};
  int n = std::snprintf(tmp, sizeof tmp, "%s.tmp%u.%u", path.c_str(),
                        static_cast<unsigned>(::getpid()), seq.fetch_add(1));
  if (n <= 0 || n >= static_cast<int>(sizeof tmp)) return 0;
  File f;
  if (!f.open(tmp, File::kWriteTruncate, mode)) return 0;
  bool ok = f.write(data.data(), data.size()) && f.sync();
  f.close();
  if (!ok || ::rename(tmp, path.c_str()) != 0) {
    ::unlink(tmp);
    return 0;
  }
  sync_dir(parent_of(path));
  return 1;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool dir_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return st.st_size;
}

bool file_stamp(const std::string& path, int64_t& size, int64_t& mtime_ns) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  size = st.st_size;
  mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

bool regular_file(const std::string& path, int64_t& size) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = st.st_size;
  return true;
}

int file_mode(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 0777);
}

bool set_file_mode(const std::string& path, int mode) {
  return ::chmod(path.c_str(), static_cast<mode_t>(mode & 0777)) == 0;
}

bool remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool remove_if_present(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool rename_file(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool link_file(const std::string& from, const std::string& to) {
  return ::link(from.c_str(), to.c_str()) == 0;
}

bool make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  return errno == EEXIST && dir_exists(path);
}

bool list_dir(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  DIR* d = ::opendir(path.c_str());
  if (!d) return false;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  return true;
}

std::string current_dir() {
  char buf[PATH_MAX];
  if (!::getcwd(buf, sizeof buf)) return ".";
  return buf;
}

}  // namespace kx
