// Files and folders. Every descriptor is opened close-on-exec.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

// Reads a whole file. 1 on success, 0 when it cannot be opened or read, or is empty.
int read_file(const std::string& path, std::string& out);

// Test hook: while set, read_file fails with EIO for every path fault answers true for, as
// a disk error or a permission root cannot override would. nullptr removes it.
void set_read_fault_for_tests(bool (*fault)(const std::string& path));

// Makes a text end with "\r\n": a trailing "\n" becomes "\r\n", otherwise "\r\n" is added.
void terminate_lines(std::string& text);

// read_file, then terminate_lines: how every text file of the server is read.
int read_text_file(const std::string& path, std::string& out);

// Replaces path with data so that a crash leaves either the old or the new file, whole:
// temporary file beside it, write, fsync, rename, fsync of the folder. 1 on success,
// 0 on any failure, with the old file untouched and the temporary removed.
int replace_file(const std::string& path, const std::string& data, int mode = 0644);

bool file_exists(const std::string& path);   // exists and is not a folder
bool dir_exists(const std::string& path);
int64_t file_size(const std::string& path);  // -1 when it cannot be queried
// Size and last modification time (nanoseconds since the epoch) of a file; false when
// it cannot be queried. Tells whether a file changed since it was last looked at.
bool file_stamp(const std::string& path, int64_t& size, int64_t& mtime_ns);
// A regular file (not a folder, device or pipe) and its size; false otherwise.
bool regular_file(const std::string& path, int64_t& size);
// Permission bits (0777 part) of a file; -1 when they cannot be queried.
int file_mode(const std::string& path);
bool set_file_mode(const std::string& path, int mode);
bool remove_file(const std::string& path);
// True when nothing is at path afterwards: removed, or never there. A folder stays.
bool remove_if_present(const std::string& path);
bool rename_file(const std::string& from, const std::string& to);
// A second name for an existing file (a hard link); false where the file system has none.
bool link_file(const std::string& from, const std::string& to);
// Flushes a folder's entries (renames, new files) to the disk.
bool sync_dir(const std::string& dir);
bool make_dir(const std::string& path);      // true when it exists afterwards
bool list_dir(const std::string& path, std::vector<std::string>& names);  // without . and ..
std::string current_dir();                   // absolute path of the working directory

// An open file, closed when it goes out of scope.
class File {
 public:
  enum Mode { kRead, kWriteTruncate, kWriteKeep, kAppend };
  File() = default;
  ~File() { close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  File& operator=(File&& o) noexcept;

  bool open(const std::string& path, Mode mode, int perms = 0644);
  bool is_open() const { return fd_ >= 0; }
  void close();
  // Whole-buffer write at the current position; false on a short or failed write.
  bool write(const void* data, std::size_t len);
  bool write_at(int64_t pos, const void* data, std::size_t len);
  int64_t read(void* data, std::size_t len);  // bytes read, 0 at end, -1 on error
  bool seek(int64_t pos);
  int64_t size() const;
  bool sync();
 private:
  int fd_ = -1;
};

}  // namespace kx
