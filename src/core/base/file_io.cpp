// POSIX implementation of the platform layer.
#include "core/base/file_io.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <system_error>

#include <zlib.h>

namespace hovra {

std::uint32_t crc32_bytes(std::uint32_t crc, const void* data, std::size_t size) {
  const Bytef* p = static_cast<const Bytef*>(data);
  uLong c = crc;
  while (size > 0) {
    uInt chunk = size > std::numeric_limits<uInt>::max() ? std::numeric_limits<uInt>::max() : static_cast<uInt>(size);
    c = ::crc32(c, p, chunk);
    p += chunk;
    size -= chunk;
  }
  return static_cast<std::uint32_t>(c);
}

static_assert(sizeof(z_off_t) >= 8, "crc32_combine needs 64-bit lengths");

std::uint32_t crc32_joined(std::uint32_t first_crc, std::uint32_t second_crc, std::uint64_t second_size) {
  return static_cast<std::uint32_t>(::crc32_combine(first_crc, second_crc, static_cast<z_off_t>(second_size)));
}

DbError io_failure(const std::string& what, const std::string& path, int err) {
  return DbError::io("cannot " + what + " '" + path + "': " + os_error_text(err));
}

std::string absolute_path(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  std::error_code ec;
  std::filesystem::path cwd = std::filesystem::current_path(ec);
  if (ec) return path;  // no working directory to resolve against: kept as given
  std::string base = cwd.string();
  std::string rest = path;
  while (rest.size() >= 2 && rest[0] == '.' && rest[1] == '/') rest.erase(0, 2);
  if (rest == ".") rest.clear();
  if (rest.empty()) return base;
  return join_path(base, rest);
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

Status create_dirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return io_failure("create directory", path, ec.value());
  return Status::success();
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

namespace {

// Opens a file for reading and queries its size; the caller closes fd.
Status open_for_reading(const std::string& path, int& fd, std::size_t& size) {
  fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return io_failure("open", path, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    fd = -1;
    return io_failure("query the size of", path, err);
  }
  size = static_cast<std::size_t>(st.st_size);
  return Status::success();
}

}  // namespace

Result<std::string> read_file(const std::string& path) {
  int fd;
  std::size_t size;
  HOVRA_RETURN_IF_ERROR(open_for_reading(path, fd, size));
  std::string out;
  out.resize(size);
  std::size_t got = 0;
  while (got < out.size()) {
    ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return io_failure("read", path, err);
    }
    if (n == 0) break;  // the file shrank meanwhile
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  ::close(fd);
  return out;
}

Result<FilePiece> read_file_piece(const std::string& path, std::uint64_t offset, std::uint64_t limit) {
  FilePiece piece;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return piece;
    return io_failure("open", path, errno);
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return io_failure("query the size of", path, err);
  }
  piece.exists = true;
  piece.id = FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  piece.size = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t want = offset < piece.size ? std::min(limit, piece.size - offset) : 0;
  piece.bytes.resize(static_cast<std::size_t>(want));
  std::size_t got = 0;
  while (got < piece.bytes.size()) {
    ssize_t n = ::pread(fd, piece.bytes.data() + got, piece.bytes.size() - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return io_failure("read", path, err);
    }
    if (n == 0) break;  // the file shrank meanwhile
    got += static_cast<std::size_t>(n);
  }
  piece.bytes.resize(got);
  ::close(fd);
  return piece;
}

Status rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return io_failure("rename", from, errno);
  return Status::success();
}

Status remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return io_failure("delete", path, errno);
  return Status::success();
}

Status sync_dir(const std::string& path) {
  int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return io_failure("open directory", path, errno);
  int rc = ::fsync(fd);
  int err = errno;
  ::close(fd);
  if (rc != 0 && err != EINVAL && err != EROFS) return io_failure("sync directory", path, err);
  return Status::success();
}

Status truncate_and_sync(const std::string& path, std::uint64_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return io_failure("open", path, errno);
  int rc = ::ftruncate(fd, static_cast<off_t>(size));
  if (rc == 0) rc = ::fsync(fd);
  int err = errno;
  ::close(fd);
  if (rc != 0) return io_failure("truncate", path, err);
  return Status::success();
}

Result<FileDigest> digest_file(const std::string& path, std::uint64_t limit) {
  int fd;
  std::size_t size;
  HOVRA_RETURN_IF_ERROR(open_for_reading(path, fd, size));
  constexpr std::size_t kPiece = 1 << 20;
  std::unique_ptr<char[]> buf(new char[kPiece]);
  FileDigest digest;
  for (;;) {
    std::uint64_t left = limit - digest.size;
    if (left == 0) break;
    ssize_t n = ::read(fd, buf.get(), static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, left)));
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return io_failure("read", path, err);
    }
    if (n == 0) break;
    digest.crc = crc32_bytes(digest.crc, buf.get(), static_cast<std::size_t>(n));
    digest.size += static_cast<std::uint64_t>(n);
  }
  ::close(fd);
  return digest;
}

Result<FileId> file_identity(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return io_failure("query", path, errno);
  FileId id;
  id.device = static_cast<std::uint64_t>(st.st_dev);
  id.inode = static_cast<std::uint64_t>(st.st_ino);
  return id;
}

FileStamp file_stamp(const std::string& path) {
  FileStamp stamp;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return stamp;
  stamp.exists = true;
  stamp.id.device = static_cast<std::uint64_t>(st.st_dev);
  stamp.id.inode = static_cast<std::uint64_t>(st.st_ino);
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return stamp;
}

int current_process_id() { return static_cast<int>(::getpid()); }

bool run_around_fork(void (*prepare)(), void (*parent)(), void (*child)()) {
  return ::pthread_atfork(prepare, parent, child) == 0;
}

FileHandle::~FileHandle() {
  if (fd_ >= 0) ::close(fd_);
}

Status FileHandle::sync_data() {
  if (::fdatasync(fd_) != 0) return DbError::io_errno(errno);
  return Status::success();
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Result<FileLock> FileLock::acquire(const std::string& path, bool& busy) {
  busy = false;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && (errno == EROFS || errno == EACCES)) {
    // A location this process cannot write to: lock an existing file
    // through a read-only descriptor; without one there is nothing to lock,
    // and nothing this process could write there either.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return FileLock();
  }
  if (fd < 0) return io_failure("open", path, errno);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) {
      busy = true;
      return FileLock();
    }
    return io_failure("lock", path, err);
  }
  FileLock lock;
  lock.fd_ = fd;
  return lock;
}

FileWriter::~FileWriter() { (void)close(); }

Status FileWriter::open(const std::string& path, Mode mode) {
  (void)close();
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mode == Mode::Append ? O_APPEND : O_TRUNC);
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return io_failure(mode == Mode::Append ? "open" : "create", path, errno);
  fd_ = fd;
  path_ = path;
  if (!buf_) buf_.reset(new char[kBufferSize]);
  used_ = 0;
  return Status::success();
}

// The checksum is taken here, over the whole buffer or a large piece at
// once: many small pieces (a graph node, a record) would each pay the
// CRC's fixed cost.
Status FileWriter::write_all(const char* p, std::size_t n) {
  if (track_) crc_ = crc32_bytes(crc_, p, n);
  if (progress_) {
    if (progress_->stop_requested()) return DbError::cancelled();
    progress_->advance(n);
  }
  while (n > 0) {
    ssize_t w = ::write(fd_, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return io_failure("write", path_, errno);
    }
    if (w == 0) return DbError::io("cannot write '" + path_ + "': failed to write whole buffer");
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return Status::success();
}

Status FileWriter::write(const void* data, std::size_t size) {
  if (fd_ < 0) return DbError::io_errno(EBADF);
  if (size == 0) return Status::success();
  const char* p = static_cast<const char*>(data);
  if (track_) written_ += size;
  if (used_ + size > kBufferSize) {
    HOVRA_RETURN_IF_ERROR(flush());
  }
  if (size >= kBufferSize) return write_all(p, size);
  std::memcpy(buf_.get() + used_, p, size);
  used_ += size;
  return Status::success();
}

Status FileWriter::flush() {
  if (fd_ < 0) return DbError::io_errno(EBADF);
  if (used_ == 0) return Status::success();
  std::size_t n = used_;
  used_ = 0;  // a failed write drops the buffered bytes, like a torn write
  return write_all(buf_.get(), n);
}

Status FileWriter::sync() {
  if (fd_ < 0) return DbError::io_errno(EBADF);
  if (::fsync(fd_) != 0) return io_failure("sync", path_, errno);
  return Status::success();
}

Status FileWriter::truncate(std::uint64_t size) {
  if (fd_ < 0) return DbError::io_errno(EBADF);
  used_ = 0;
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return io_failure("truncate", path_, errno);
  return Status::success();
}

Result<std::shared_ptr<FileHandle>> FileWriter::share_handle() const {
  if (fd_ < 0) return DbError::io_errno(EBADF);
  int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return DbError::io_errno(errno);
  return std::make_shared<FileHandle>(fd);
}

Status FileWriter::close() {
  if (fd_ < 0) return Status::success();
  Status st = flush();
  if (::close(fd_) != 0 && st.ok()) st = io_failure("close", path_, errno);
  fd_ = -1;
  used_ = 0;
  return st;
}

Result<std::shared_ptr<MappedFile>> MappedFile::map(const std::string& path, std::size_t limit) {
  int fd;
  std::size_t size;
  HOVRA_RETURN_IF_ERROR(open_for_reading(path, fd, size));
  std::shared_ptr<MappedFile> m(new MappedFile());
  m->size_ = std::min(size, limit);
  if (m->size_ > 0) {
    void* p = ::mmap(nullptr, m->size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      int err = errno;
      ::close(fd);
      m->size_ = 0;
      return io_failure("map", path, err);
    }
    m->data_ = static_cast<unsigned char*>(p);
  }
  m->fd_ = fd;
  return m;
}

namespace {
std::size_t page_size() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }
std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }
}  // namespace

// The address range is taken first as inaccessible private memory (which
// the system does not count against its memory commitment); the file is
// then mapped over its start, so that file and room for growth are one
// contiguous range.
Result<std::shared_ptr<MappedFile>> MappedFile::map_extendable(const std::string& path, std::size_t min_room,
                                                               std::size_t limit) {
  int fd;
  std::size_t size;
  HOVRA_RETURN_IF_ERROR(open_for_reading(path, fd, size));
  size = std::min(size, limit);
  std::shared_ptr<MappedFile> m(new MappedFile());
  const std::size_t length = round_up(size + std::max(min_room, 3 * size) + 1, page_size());
  void* range = ::mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (range == MAP_FAILED) {
    int err = errno;
    ::close(fd);
    return io_failure("map", path, err);
  }
  if (size > 0 && ::mmap(range, size, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
    int err = errno;
    ::munmap(range, length);
    ::close(fd);
    return io_failure("map", path, err);
  }
  ::close(fd);
  m->data_ = static_cast<unsigned char*>(range);
  m->size_ = size;
  m->reserved_ = length;
  return m;
}

bool MappedFile::make_writable(std::size_t bytes) {
  if (bytes <= writable_) return true;
  if (bytes > reserved_) return false;
  // Whole huge pages at a time past the file, so that growing row by row
  // asks the system rarely.
  std::size_t grant = std::min(reserved_, round_up(std::max(bytes, writable_ + writable_ / 2), std::size_t(2) << 20));
  if (::mprotect(data_, grant, PROT_READ | PROT_WRITE) != 0) {
    grant = round_up(bytes, page_size());
    if (::mprotect(data_, grant, PROT_READ | PROT_WRITE) != 0) return false;
  }
  writable_ = grant;
  return true;
}

namespace {
constexpr std::size_t kHugePage = std::size_t(2) << 20;
}  // namespace

void* large_allocate(std::size_t bytes) {
  if (bytes < kLargeBlock) return ::operator new(bytes);
  std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (p == nullptr) throw std::bad_alloc();
  // Advice only: without huge pages the block works the same.
  (void)::madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

void large_free(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
  if (bytes < kLargeBlock) {
    ::operator delete(p);
    return;
  }
  std::free(p);
}

void MappedFile::prefer_huge_pages(std::size_t offset, std::size_t length) {
  if (data_ == nullptr || offset >= size_) return;
  length = std::min(length, size_ - offset);
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::size_t start = offset / page * page;
  (void)::madvise(data_ + start, length + (offset - start), MADV_HUGEPAGE);
}

void MappedFile::load_now(std::size_t offset, std::size_t length) {
  if (data_ == nullptr || offset >= size_ || length == 0) return;
  length = std::min(length, size_ - offset);
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::size_t start = offset / page * page;
  unsigned char* base = const_cast<unsigned char*>(data_);
#if defined(MADV_POPULATE_READ)
  // Any failure but an unknown advice (a file cut short under the map, no
  // memory) is left to the reads that follow.
  if (::madvise(base + start, length + (offset - start), MADV_POPULATE_READ) == 0 || errno != EINVAL) return;
#endif
  // Kernels before 5.14 lack the populate advice: read one byte a page.
  unsigned sum = 0;
  for (std::size_t at = start; at < offset + length; at += page) sum += data_[at];
  static std::atomic<unsigned> sink;
  sink.store(sum, std::memory_order_relaxed);
}

void MappedFile::advise_random(std::size_t offset, std::size_t length) {
  if (data_ == nullptr || offset >= size_ || length == 0) return;
  length = std::min(length, size_ - offset);
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::size_t start = offset / page * page;
  (void)::madvise(const_cast<unsigned char*>(data_) + start, length + (offset - start), MADV_RANDOM);
  // Reads through read() likewise fetch no more than they ask for.
  if (fd_ >= 0) (void)::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_RANDOM);
}

namespace {

// A file far larger than memory would only evict itself: warm a quarter of
// physical memory at most.
std::size_t warm_length(std::size_t length, std::size_t page) {
  constexpr std::size_t kWarmShare = 4;
  long pages = ::sysconf(_SC_PHYS_PAGES);
  if (pages > 0) length = std::min(length, static_cast<std::size_t>(pages) / kWarmShare * page);
  return length;
}

}  // namespace

void MappedFile::read_ahead(std::size_t offset, std::size_t length) {
  if (data_ == nullptr || offset >= size_ || length == 0) return;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  length = warm_length(std::min(length, size_ - offset), page);
  std::size_t start = offset / page * page;
  // On a file's map this advice only fills the file cache.
  (void)::madvise(data_ + start, length + (offset - start), MADV_WILLNEED);
}

void MappedFile::warm_up(std::size_t offset, std::size_t length) {
  if (data_ == nullptr || offset >= size_ || warmer_.joinable()) return;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  length = warm_length(std::min(length, size_ - offset), page);
  std::size_t start = offset / page * page;
  (void)::madvise(data_ + start, length + (offset - start), MADV_WILLNEED);
  try {
    warmer_process_ = static_cast<int>(::getpid());
    warmer_ = std::thread([this, start, end = offset + length, page] {
      unsigned sum = 0;
      for (std::size_t at = start; at < end; at += page) {
        if (stop_.load(std::memory_order_relaxed)) break;
        sum += data_[at];
      }
      static std::atomic<unsigned> sink;
      sink.store(sum, std::memory_order_relaxed);
    });
  } catch (const std::system_error&) {
    // No thread: the read-ahead advice alone still helps.
  }
}

void MappedFile::stop_warm_up() {
  if (!warmer_.joinable()) return;
  stop_.store(true, std::memory_order_relaxed);
  if (warmer_process_ == static_cast<int>(::getpid())) warmer_.join();
  else warmer_.detach();  // the thread lives in the parent process only
}

bool MappedFile::read(std::size_t offset, void* buf, std::size_t length) const {
  if (fd_ < 0 || offset > size_ || length > size_ - offset) return false;
  auto* out = static_cast<unsigned char*>(buf);
  while (length > 0) {
    ssize_t got = ::pread(fd_, out, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    offset += static_cast<std::size_t>(got);
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

bool MappedFile::read_cached(std::size_t offset, void* buf, std::size_t length) const {
  if (fd_ < 0 || offset > size_ || length > size_ - offset) return false;
  struct iovec part = {buf, length};
  ssize_t got;
  do {
    got = ::preadv2(fd_, &part, 1, static_cast<off_t>(offset), RWF_NOWAIT);
  } while (got < 0 && errno == EINTR);
  return got >= 0 && static_cast<std::size_t>(got) == length;
}

void MappedFile::start_reading(std::size_t offset, std::size_t length) const {
  if (fd_ < 0 || offset >= size_) return;
  length = std::min(length, size_ - offset);
  (void)::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
}

MappedFile::~MappedFile() {
  stop_warm_up();
  if (data_) ::munmap(data_, std::max(size_, reserved_));
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace hovra
