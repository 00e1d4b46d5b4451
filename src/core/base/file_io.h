// The platform layer: directories, whole-file reads, buffered writers,
// renames, deletes, truncation, syncs, read-only memory maps, file identity,
// exclusive file locks and memory for large arrays. Nothing else in the
// engine calls the operating system's file or memory interfaces.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

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

// A file's first `limit` bytes (the whole file when it is shorter) mapped
// read-only. The mapping stays valid when the file is renamed over or
// deleted; it is released when the last owner drops it. A file that grows
// at its end, and may later be cut back to no less than `limit`, is mapped
// safely up to `limit`: no page of the map lies wholly past the end.
class MappedFile {
 public:
  static constexpr std::size_t kWhole = std::numeric_limits<std::size_t>::max();
  static Result<std::shared_ptr<MappedFile>> map(const std::string& path, std::size_t limit = kWhole);
  // The file mapped as map() does, at the start of a range of address space
  // set aside for growing in place (see make_writable): room for three
  // times the mapped size past it, and at least min_room bytes.
  static Result<std::shared_ptr<MappedFile>> map_extendable(const std::string& path, std::size_t min_room,
                                                            std::size_t limit = kWhole);
  // An extendable map only: makes its first `bytes` writable, so that the
  // file's contents can be changed and continued in place without copying
  // them. Pages of the file stay the page cache's own, shared with every
  // process that maps the file, until one is written: that page alone is
  // then copied for this process (the file never changes). Past the file
  // the memory is this process's, zero-filled. False when `bytes` exceeds
  // the reservation or the system refuses.
  bool make_writable(std::size_t bytes);
  // The map's first byte, writable over what make_writable granted.
  unsigned char* writable_data() const { return data_; }
  // The bytes make_writable may grant (0 for a map that cannot grow).
  std::size_t reserved() const { return reserved_; }
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  // Asks the system to read [offset, offset + length) ahead and touches its
  // pages on a background thread, so that the first searches after an open
  // find them in memory. Best effort: failures are ignored. The thread is
  // stopped and joined before the map is released (in a child made by fork,
  // which has no such thread, it is only forgotten).
  void warm_up(std::size_t offset, std::size_t length);
  // Asks for [offset, offset + length) to be mapped in huge pages where the
  // system can (large page-cache folios): a scan or a walk over it then
  // needs far fewer address translations. Best effort; call before the
  // range is first read.
  void prefer_huge_pages(std::size_t offset, std::size_t length);
  // Reads [offset, offset + length) into memory before it returns, so that
  // the reads after it do not wait on the disk: one call for the whole
  // range where the system can populate a mapping, else a read of every
  // page. Best effort: failures are ignored.
  void load_now(std::size_t offset, std::size_t length);
  // Reads of [offset, offset + length) will be scattered: the system reads
  // no more than the page asked for. Best effort.
  void advise_random(std::size_t offset, std::size_t length);
  // Asks the system to read [offset, offset + length) into its file cache
  // in the background (at most a quarter of physical memory), without
  // mapping any of it into this process: a later read of a page finds it
  // there instead of waiting on the disk. Best effort.
  void read_ahead(std::size_t offset, std::size_t length);
  // Copies [offset, offset + length) of the file into buf with a read of the
  // file, not through the map, so that the pages stay out of this process's
  // resident memory (a fault on the map would also map up to 64 KiB of
  // cached pages around the one it needs). Reads past the mapped size, or
  // from a map that keeps no descriptor (an extendable one), fail; false
  // on any failure.
  bool read(std::size_t offset, void* buf, std::size_t length) const;
  // Whether read() can serve this map: it keeps its file open.
  bool can_read() const { return fd_ >= 0; }
  // read() of what the system's file cache holds already: false, without
  // waiting on the disk, when some of the range is not there (or the
  // system cannot tell).
  bool read_cached(std::size_t offset, void* buf, std::size_t length) const;
  // Asks the system to start reading [offset, offset + length) of the file
  // into its file cache, and returns: a later read() of several such ranges
  // waits on the disk once, not once a range. Best effort.
  void start_reading(std::size_t offset, std::size_t length) const;

 private:
  MappedFile() = default;
  void stop_warm_up();
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t reserved_ = 0;  // the length of the address range, when above size_
  std::size_t writable_ = 0;  // bytes made writable
  std::thread warmer_;
  std::atomic<bool> stop_{false};
  int warmer_process_ = 0;
  int fd_ = -1;  // map() keeps the file open for read()
};

}  // namespace hovra
