// POSIX implementation of the platform layer (its memory maps are in
// mapped_file.cpp).
#include "core/base/file_io.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
#if defined(HOVRA_HAVE_ISAL)
#include <isa-l/crc.h>
#endif

namespace hovra {

// ISA-L's crc32_gzip_refl is zlib's crc32 (the same polynomial, reflected,
// with the same pre- and post-inversion, so a running value chains the same
// way), computed with carry-less multiplies.
std::uint32_t crc32_bytes(std::uint32_t crc, const void* data, std::size_t size) {
#if defined(HOVRA_HAVE_ISAL)
  if (size == 0) return crc;
  return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), size);
#else
  const Bytef* p = static_cast<const Bytef*>(data);
  uLong c = crc;
  while (size > 0) {
    uInt chunk = size > std::numeric_limits<uInt>::max() ? std::numeric_limits<uInt>::max() : static_cast<uInt>(size);
    c = ::crc32(c, p, chunk);
    p += chunk;
    size -= chunk;
  }
  return static_cast<std::uint32_t>(c);
#endif
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

namespace {

// Reads `size` bytes of the file from `offset` into data, or as many as
// it holds (it may shrink meanwhile): `got` says how many. Leaves fd open.
Status read_at(int fd, const std::string& path, std::uint64_t offset, char* data, std::size_t size,
               std::size_t& got) {
  got = 0;
  while (got < size) {
    ssize_t n = ::pread(fd, data + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_failure("read", path, errno);
    }
    if (n == 0) break;  // the file shrank meanwhile
    got += static_cast<std::size_t>(n);
  }
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
  Status filled = read_at(fd, path, 0, out.data(), out.size(), got);
  ::close(fd);
  if (!filled.ok()) return filled.error();
  out.resize(got);
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
  Status filled = read_at(fd, path, offset, piece.bytes.data(), piece.bytes.size(), got);
  ::close(fd);
  if (!filled.ok()) return filled.error();
  piece.bytes.resize(got);
  return piece;
}

Result<RangeReader> RangeReader::open(const std::string& path) {
  int fd;
  std::size_t size;
  HOVRA_RETURN_IF_ERROR(open_for_reading(path, fd, size));
  return RangeReader(path, fd, size);
}

RangeReader::~RangeReader() {
  if (fd_ >= 0) ::close(fd_);
}

Status RangeReader::read(std::uint64_t offset, void* buf, std::size_t length) const {
  if (offset > size_ || length > size_ - offset) return DbError::damaged_file("failed to fill whole buffer");
  auto* out = static_cast<unsigned char*>(buf);
  std::size_t got = 0;
  while (got < length) {
    ssize_t n = ::pread(fd_, out + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_failure("read", path_, errno);
    }
    if (n == 0) return DbError::damaged_file("failed to fill whole buffer");  // the file shrank meanwhile
    got += static_cast<std::size_t>(n);
  }
  return Status::success();
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

}  // namespace hovra
