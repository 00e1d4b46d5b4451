// The platform layer: directories, whole-file reads, buffered writers,
// renames, deletes, truncation, syncs, file identity, exclusive file locks
// and memory for large arrays; read-only memory maps are in mapped_file.h.
// Nothing else in the engine calls the operating system's file or memory
// interfaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/base/error.h"
#include "core/base/progress.h"

namespace hovra {

// Memory for large arrays: blocks of kLargeBlock bytes and more are aligned
// to 2 MiB and marked for transparent huge pages, which spares a scan or a
// walk over them most of its address translations; smaller ones come from
// operator new. large_free takes the size given to large_allocate.
inline constexpr std::size_t kLargeBlock = std::size_t(4) << 20;
void* large_allocate(std::size_t bytes);
void large_free(void* p, std::size_t bytes) noexcept;

// An allocator over large_allocate, for the vectors that hold rows.
template <class T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(large_allocate(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { large_free(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const LargeAllocator<U>&) const noexcept {
    return true;
  }
};

// CRC-32 (IEEE 802.3 / zlib) of a byte range, continuing from crc.
std::uint32_t crc32_bytes(std::uint32_t crc, const void* data, std::size_t size);
// The CRC-32 of two ranges one after the other, from the CRC-32 of each and
// the second's length (zlib's crc32_combine): a file that grows at its end
// is checksummed without reading its old part again.
std::uint32_t crc32_joined(std::uint32_t first_crc, std::uint32_t second_crc, std::uint64_t second_size);

// An Io error naming the operation and the path:
// "cannot <what> '<path>': <os error text>".
DbError io_failure(const std::string& what, const std::string& path, int err);

// The path made absolute against the current working directory (leading
// "./" dropped); an absolute path is returned as it is. Symbolic links are
// not resolved.
std::string absolute_path(const std::string& path);

// Joins a directory and a file name with '/', keeping the directory as given.
std::string join_path(const std::string& dir, const std::string& name);

// Creates the directory and every missing ancestor; an existing one is fine.
Status create_dirs(const std::string& path);
// Whether querying the path's metadata succeeds.
bool path_exists(const std::string& path);
// Opens a file for reading and queries its size; the caller closes fd.
Status open_for_reading(const std::string& path, int& fd, std::size_t& size);
// Reads a whole file into memory with one read of its size.
Result<std::string> read_file(const std::string& path);
// Renames over an existing target in one step.
Status rename_file(const std::string& from, const std::string& to);
// Deletes a file; a missing file is an error (ENOENT) like any other.
Status remove_file(const std::string& path);
// Forces a directory's entries (renames, deletes) to stable storage.
Status sync_dir(const std::string& path);
// Cuts a file to `size` bytes and forces it to stable storage.
Status truncate_and_sync(const std::string& path, std::uint64_t size);

// The size and CRC-32 of a file's first `limit` bytes (the whole file when
// it is shorter), read in large pieces.
struct FileDigest {
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
};
Result<FileDigest> digest_file(const std::string& path,
                               std::uint64_t limit = std::numeric_limits<std::uint64_t>::max());

// A file opened for reading ranges at offsets into the caller's memory
// (so that a large part lands in its final buffer without a copy). Its
// size is taken once, at open; the descriptor closes with the object.
class RangeReader {
 public:
  static Result<RangeReader> open(const std::string& path);
  RangeReader(RangeReader&& other) noexcept : path_(std::move(other.path_)), fd_(other.fd_), size_(other.size_) {
    other.fd_ = -1;
  }
  RangeReader& operator=(RangeReader&&) = delete;
  RangeReader(const RangeReader&) = delete;
  RangeReader& operator=(const RangeReader&) = delete;
  ~RangeReader();
  std::uint64_t size() const { return size_; }
  // Fills buf with the file's bytes [offset, offset + length); reads past
  // the end are DamagedFile "failed to fill whole buffer", failed reads Io.
  Status read(std::uint64_t offset, void* buf, std::size_t length) const;

 private:
  RangeReader(std::string path, int fd, std::uint64_t size) : path_(std::move(path)), fd_(fd), size_(size) {}
  std::string path_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// What tells two paths to one file or directory apart: device and inode.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  friend bool operator<(const FileId& a, const FileId& b) {
    return a.device != b.device ? a.device < b.device : a.inode < b.inode;
  }
};
Result<FileId> file_identity(const std::string& path);

// A piece of a file read through one descriptor: the file's identity and
// size at that moment and the bytes from `offset` up to `limit` of them (to
// its end when the file is shorter). exists is false when the file is
// missing.
struct FilePiece {
  bool exists = false;
  FileId id;
  std::uint64_t size = 0;
  std::string bytes;
};
Result<FilePiece> read_file_piece(const std::string& path, std::uint64_t offset, std::uint64_t limit);

// What tells whether a file was replaced or changed between two looks: its
// identity, size and modification time; `exists` is false when the path
// cannot be queried.
struct FileStamp {
  bool exists = false;
  FileId id;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  friend bool operator==(const FileStamp& a, const FileStamp& b) {
    return a.exists == b.exists && a.id.device == b.id.device && a.id.inode == b.id.inode && a.size == b.size &&
           a.mtime_ns == b.mtime_ns;
  }
};
FileStamp file_stamp(const std::string& path);

// The calling process's id (a forked child has its own).
int current_process_id();

// Registers functions the process runs around every fork(): `prepare` in the
// forking thread before it (handlers registered later run first), then
// `parent` in the parent and `child` in the child after it (in the order of
// registration). False when they could not be registered.
bool run_around_fork(void (*prepare)(), void (*parent)(), void (*child)());

// An open file descriptor, closed when the last owner drops it. Lets one
// thread sync a file while another keeps writing or closes its own handle.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  // Forces the file's data (and the size, when it changed) to stable storage.
  Status sync_data();

 private:
  int fd_;
};

// An exclusive lock (flock) on a file, held while the object lives. The
// file is created when missing and opened close-on-exec, so a program run
// through exec does not inherit the lock. Closing the descriptor releases
// it; the lock is never released explicitly, so a forked child that drops
// its copy does not release the parent's lock.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(FileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes the lock without waiting. `busy` is set (and the result is an
  // unlocked object) when another open file description holds it. Where
  // the file cannot be created (a read-only location) the result is an
  // unlocked object too, with `busy` clear.
  static Result<FileLock> acquire(const std::string& path, bool& busy);
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A file written through a user-space buffer of 8192 bytes. A piece larger
// than the free space goes through the normal path; a piece larger than the
// buffer goes to the file directly. Interrupted writes are retried.
class FileWriter {
 public:
  enum class Mode { Truncate, Append };
  static constexpr std::size_t kBufferSize = 8192;

  FileWriter() = default;
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  Status open(const std::string& path, Mode mode);
  bool is_open() const { return fd_ >= 0; }
  Status write(const void* data, std::size_t size);
  Status write(std::string_view s) { return write(s.data(), s.size()); }
  Status flush();
  // Forces the file's contents to stable storage (after flush).
  Status sync();
  // Drops anything buffered and cuts the file to `size` bytes.
  Status truncate(std::uint64_t size);
  // A second descriptor on the same open file, for syncing it elsewhere.
  Result<std::shared_ptr<FileHandle>> share_handle() const;
  // Flushes and closes; returns the first error.
  Status close();
  // From now on keep a running CRC-32 and byte count of what is written
  // (the CRC-32 covers what has been flushed: read it after flush()).
  void track_checksum() {
    track_ = true;
    crc_ = 0;
    written_ = 0;
  }
  // From now on advance `progress` by the bytes handed to the operating
  // system, and fail every write with Cancelled once it asks to stop.
  void watch(Progress* progress) { progress_ = progress; }
  std::uint32_t checksum() const { return crc_; }
  std::uint64_t written() const { return written_; }

 private:
  Status write_all(const char* p, std::size_t n);
  int fd_ = -1;
  std::string path_;  // for error messages
  std::unique_ptr<char[]> buf_;
  std::size_t used_ = 0;
  bool track_ = false;
  std::uint32_t crc_ = 0;
  std::uint64_t written_ = 0;
  Progress* progress_ = nullptr;
};

}  // namespace hovra
