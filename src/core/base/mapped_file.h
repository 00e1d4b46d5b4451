// Read-only memory maps of files (mapped_file.cpp), part of the platform
// layer: a file's bytes mapped (and read beside the map with pread), room to
// grow the map in place, and advice to the system about how the mapped
// ranges will be read.
#pragma once

#include <atomic>
#include <cstddef>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include "core/base/error.h"
#include "core/base/file_io.h"

namespace hovra {

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
  // A file that grows at its end (a log another process appends to) mapped
  // so that the map follows it: address space for `reserve` bytes is set
  // aside and nothing mapped yet; follow() maps more of the file in place,
  // so that what was mapped keeps its address. The file is the one opened
  // here (id()), whatever the path names later.
  static Result<std::shared_ptr<MappedFile>> map_following(const std::string& path, std::size_t reserve);
  // A following map: maps the file's first `bytes` bytes (size() becomes
  // that). False, mapping nothing more, when the file holds fewer bytes now,
  // when they pass the reservation, or when the system refuses. The caller
  // must know that the file is never cut back below what it maps.
  bool follow(std::size_t bytes);
  // The mapped file's identity (a following map only; zero otherwise).
  FileId id() const { return id_; }
  // The map's first byte, writable over what make_writable granted.
  unsigned char* writable_data() const { return data_; }
  // The bytes make_writable may grant (0 for a map that cannot grow).
  std::size_t reserved() const { return reserved_; }
  // The bytes make_writable has granted so far.
  std::size_t writable_size() const { return writable_; }
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
  int fd_ = -1;             // map() keeps the file open for read()
  bool following_ = false;  // a map of map_following
  FileId id_;
};

}  // namespace hovra
