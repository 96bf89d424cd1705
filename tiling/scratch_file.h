#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>

#include "vandrel/point.h"

namespace vandrel {

/// A cloud kept in a file rather than in memory: `rows` single-precision x, y, z triples,
/// one after another from byte 0 (12 bytes a row, this machine's byte order), in the open
/// file `fd`.
struct RowFile {
  int fd = -1;
  std::int64_t rows = 0;
};

/// Reads rows [first, first + out.size()) of `file`. Throws vandrel::Error
/// "Vandrel:scratchFile" when they cannot be read.
void read_rows(const RowFile& file, std::int64_t first, std::span<Point> out);

/// Writes `rows` over rows [first, first + rows.size()) of `file`, extending it as needed.
/// Throws vandrel::Error "Vandrel:scratchFile" (a full disk, say) when they cannot be written.
void write_rows(const RowFile& file, std::int64_t first, std::span<const Point> rows);

/// Reads bytes [offset, offset + size) of an open file into `out`, or writes `size` bytes
/// from `in` there, whole (retrying short transfers and interrupted calls). Throw like
/// read_rows and write_rows.
void read_bytes(int fd, std::uint64_t offset, std::size_t size, void* out);
void write_bytes(int fd, std::uint64_t offset, std::size_t size, const void* in);

/// Reads or writes the records of ascending `rows` of a file of fixed-size records (row r
/// at byte r * record_bytes), the k-th given to or taken from visit(k, record); with `taken`
/// (one flag per row) only the rows flagged. Rows near each other (a few KiB apart) go in one
/// read or write of the span that holds them: a write reads such a span, patches its rows
/// and writes it back, so the file must already hold the span (the rows between keep their
/// bytes). Throw like read_bytes and write_bytes.
void read_records(int fd, std::size_t record_bytes, std::span<const std::int64_t> rows,
                  const std::function<void(std::size_t k, const char* record)>& visit);
void write_records(int fd, std::size_t record_bytes, std::span<const std::int64_t> rows,
                   std::span<const std::uint8_t> taken, const std::function<void(std::size_t k, char* record)>& visit);

/// A file for the run's own use that no exit leaves behind: created in `directory` under a
/// hidden, random name and unlinked at once, so that only the open descriptor reaches it
/// and the system frees its space when the descriptor closes, also when the process is
/// killed. Throws vandrel::Error "Vandrel:scratchFile" naming the directory when it cannot
/// be made there.
class ScratchFile {
 public:
  explicit ScratchFile(const std::filesystem::path& directory);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace vandrel
