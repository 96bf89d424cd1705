#include "tiling/scratch_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "vandrel/error.h"

namespace vandrel {
namespace {

constexpr std::size_t row_bytes = sizeof(Point);
static_assert(row_bytes == 12, "a row is three packed floats");

[[noreturn]] void fail(const std::string& what) {
  throw Error("Vandrel:scratchFile", what + ": " + std::strerror(errno));
}

}  // namespace

void read_bytes(int fd, std::uint64_t offset, std::size_t size, void* out) {
  auto* bytes = static_cast<char*>(out);
  while (size > 0) {
    const ssize_t got = ::pread(fd, bytes, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;  // the file is shorter than it should be
      fail("cannot read a scratch file");
    }
    bytes += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
}

void write_bytes(int fd, std::uint64_t offset, std::size_t size, const void* in) {
  const auto* bytes = static_cast<const char*>(in);
  while (size > 0) {
    const ssize_t put = ::pwrite(fd, bytes, size, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      fail("cannot write a scratch file");
    }
    bytes += put;
    size -= static_cast<std::size_t>(put);
    offset += static_cast<std::uint64_t>(put);
  }
}

namespace {

// Rows at most this far apart share a read or write: the bytes between cost less to move
// than another call. A span is at most max_span_bytes long.
constexpr std::size_t max_gap_bytes = 4096;
constexpr std::size_t max_span_bytes = std::size_t{1} << 20;

// Calls visit(k, end) for each span [k, end) of rows read or written together, of the rows
// `taken` flags (every row without flags): a span starts and ends at a taken row.
template <class Visit>
void for_each_span(std::size_t record_bytes, std::span<const std::int64_t> rows, std::span<const std::uint8_t> taken,
                   Visit visit) {
  const auto is_taken = [&](std::size_t k) { return taken.empty() || taken[k] != 0; };
  std::size_t k = 0;
  while (k < rows.size()) {
    if (!is_taken(k)) {
      ++k;
      continue;
    }
    std::size_t last = k;  // the span's last taken row
    for (std::size_t next = k + 1; next < rows.size(); ++next) {
      if (!is_taken(next)) continue;
      if (static_cast<std::size_t>(rows[next] - rows[last] - 1) * record_bytes > max_gap_bytes ||
          static_cast<std::size_t>(rows[next] - rows[k] + 1) * record_bytes > max_span_bytes)
        break;
      last = next;
    }
    visit(k, last + 1);
    k = last + 1;
  }
}

}  // namespace

void read_records(int fd, std::size_t record_bytes, std::span<const std::int64_t> rows,
                  const std::function<void(std::size_t k, const char* record)>& visit) {
  std::vector<char> span;
  for_each_span(record_bytes, rows, {}, [&](std::size_t k, std::size_t end) {
    const auto first = static_cast<std::uint64_t>(rows[k]);
    span.resize(static_cast<std::size_t>(rows[end - 1] - rows[k] + 1) * record_bytes);
    read_bytes(fd, first * record_bytes, span.size(), span.data());
    for (std::size_t r = k; r < end; ++r)
      visit(r, span.data() + (static_cast<std::uint64_t>(rows[r]) - first) * record_bytes);
  });
}

void write_records(int fd, std::size_t record_bytes, std::span<const std::int64_t> rows,
                   std::span<const std::uint8_t> taken, const std::function<void(std::size_t k, char* record)>& visit) {
  const auto is_taken = [&](std::size_t k) { return taken.empty() || taken[k] != 0; };
  std::vector<char> span;
  for_each_span(record_bytes, rows, taken, [&](std::size_t k, std::size_t end) {
    const auto first = static_cast<std::uint64_t>(rows[k]);
    const auto count = static_cast<std::size_t>(rows[end - 1] - rows[k] + 1);
    span.resize(count * record_bytes);
    // Rows not written in between keep their bytes: read them first, unless there are none.
    std::size_t written = 0;
    for (std::size_t r = k; r < end; ++r) written += is_taken(r);
    if (written != count) read_bytes(fd, first * record_bytes, span.size(), span.data());
    for (std::size_t r = k; r < end; ++r)
      if (is_taken(r)) visit(r, span.data() + (static_cast<std::uint64_t>(rows[r]) - first) * record_bytes);
    write_bytes(fd, first * record_bytes, span.size(), span.data());
  });
}

void read_rows(const RowFile& file, std::int64_t first, std::span<Point> out) {
  read_bytes(file.fd, static_cast<std::uint64_t>(first) * row_bytes, out.size() * row_bytes, out.data());
}

void write_rows(const RowFile& file, std::int64_t first, std::span<const Point> rows) {
  write_bytes(file.fd, static_cast<std::uint64_t>(first) * row_bytes, rows.size() * row_bytes, rows.data());
}

ScratchFile::ScratchFile(const std::filesystem::path& directory) {
  std::random_device device;
  for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
    const unsigned long long tag = (static_cast<unsigned long long>(device()) << 32) ^ device();
    char name[40];
    std::snprintf(name, sizeof name, ".vandrel-%016llx.scratch", tag);
    const std::filesystem::path path = directory / name;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      ::unlink(path.c_str());
    } else if (errno != EEXIST) {
      break;
    }
  }
  if (fd_ < 0) fail("cannot make a scratch file in '" + directory.string() + "'");
}

ScratchFile::~ScratchFile() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace vandrel
