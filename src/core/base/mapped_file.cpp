// POSIX implementation of read-only memory maps of files: mapping, reads
// beside the map, room to grow in place, and the advice and background
// warm-up of mapped ranges.
#include "core/base/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "core/base/file_io.h"

namespace hovra {

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
  // The room takes rows a few at a time (a reader following a writer):
  // with transparent huge pages always on, its first row would take a
  // whole 2 MiB page of the process's own memory.
  const std::size_t file_pages = round_up(size, page_size());
  if (length > file_pages)
    (void)::madvise(static_cast<unsigned char*>(range) + file_pages, length - file_pages, MADV_NOHUGEPAGE);
  m->data_ = static_cast<unsigned char*>(range);
  m->size_ = size;
  m->reserved_ = length;
  return m;
}

// Like map_extendable's, the range is inaccessible private memory until the
// file is mapped over it, page by page as it grows (adjacent maps of one
// file are one range to the system).
Result<std::shared_ptr<MappedFile>> MappedFile::map_following(const std::string& path, std::size_t reserve) {
  int fd;
  std::size_t size;
  HOVRA_RETURN_IF_ERROR(open_for_reading(path, fd, size));
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return io_failure("stat", path, err);
  }
  const std::size_t length = round_up(std::max<std::size_t>(reserve, 1), page_size());
  void* range = ::mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (range == MAP_FAILED) {
    int err = errno;
    ::close(fd);
    return io_failure("map", path, err);
  }
  std::shared_ptr<MappedFile> m(new MappedFile());
  m->data_ = static_cast<unsigned char*>(range);
  m->reserved_ = length;
  m->fd_ = fd;
  m->following_ = true;
  m->id_ = FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return m;
}

bool MappedFile::follow(std::size_t bytes) {
  if (bytes <= size_) return true;
  if (!following_ || bytes > reserved_) return false;
  struct stat st;
  if (::fstat(fd_, &st) != 0 || static_cast<std::size_t>(st.st_size) < bytes) return false;
  const std::size_t page = page_size();
  const std::size_t mapped = round_up(size_, page);
  const std::size_t wanted = std::min(round_up(bytes, page), reserved_);
  if (wanted > mapped && ::mmap(data_ + mapped, wanted - mapped, PROT_READ, MAP_SHARED | MAP_FIXED, fd_,
                                static_cast<off_t>(mapped)) == MAP_FAILED) {
    following_ = false;  // the range may have lost pages: map no more into it
    return false;
  }
  size_ = bytes;
  return true;
}

bool MappedFile::make_writable(std::size_t bytes) {
  if (bytes <= writable_) return true;
  if (bytes > reserved_ || following_) return false;
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
