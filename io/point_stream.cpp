#include "point_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "vandrel/error.h"
#include "io/byte_values.h"
#include "io/las_file.h"
#include "io/npy_file.h"

namespace vandrel {
namespace {

// Records held at a time are capped in bytes as well as in rows: LAS records and .npy rows
// with many columns can be long.
constexpr std::size_t max_block_bytes = std::size_t{1} << 26;
// Bytes copied at a time around the records (header, VLRs, EVLRs, trailing bytes).
constexpr std::size_t copy_chunk_bytes = std::size_t{1} << 20;

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

[[noreturn]] void cannot_read(const std::filesystem::path& path, const std::string& why) {
  throw Error("Vandrel:cannotRead", "cannot read " + quoted(path) + ": " + why);
}

// A file opened for reading at given places. Every read checks that the file still has the
// size and modification time it had when opened: a stream gives the coordinates it checked
// and measured when opened, or none.
class OpenFile {
 public:
  explicit OpenFile(const std::filesystem::path& path) : path_(path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) cannot_read(path, "it is a directory");
    descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor_ < 0) cannot_read(path, std::strerror(errno));
    if (::fstat(descriptor_, &opened_) != 0) {
      const int error = errno;
      ::close(descriptor_);
      cannot_read(path, std::strerror(error));
    }
    if (!S_ISREG(opened_.st_mode)) {
      ::close(descriptor_);
      throw Error("Vandrel:cannotStream", "cannot stream " + quoted(path) +
                                              ": it is not a regular file, which is read only whole");
    }
  }
  ~OpenFile() { ::close(descriptor_); }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  std::uint64_t size() const { return static_cast<std::uint64_t>(opened_.st_size); }

  // Fills [out, out + size) with the file's bytes from `at`.
  void read(std::uint64_t at, char* out, std::size_t size) const {
    check_unchanged();
    while (size > 0) {
      const ssize_t got = ::pread(descriptor_, out, size, static_cast<off_t>(at));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) cannot_read(path_, std::strerror(errno));
      if (got == 0) cannot_read(path_, "it was cut short since it was opened");
      out += got;
      at += static_cast<std::uint64_t>(got);
      size -= static_cast<std::size_t>(got);
    }
  }

  std::string read(std::uint64_t at, std::size_t size) const {
    std::string bytes(size, '\0');
    read(at, bytes.data(), size);
    return bytes;
  }

 private:
  void check_unchanged() const {
    struct stat now {};
    if (::fstat(descriptor_, &now) != 0) cannot_read(path_, std::strerror(errno));
    if (now.st_size != opened_.st_size || now.st_mtim.tv_sec != opened_.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != opened_.st_mtim.tv_nsec)
      cannot_read(path_, "it changed since it was opened");
  }

  std::filesystem::path path_;
  int descriptor_ = -1;
  struct stat opened_ {};
};

using Filtered = std::function<void(std::int64_t first, std::span<Point> rows)>;

// A file whose points are fixed-size records, one after the other: what .npy (C order) and
// LAS streams share. The format's part is how a record holds its coordinates.
class RecordStream : public PointStream {
 public:
  RecordStream(const std::filesystem::path& path, std::int64_t block_rows)
      : file_(path), name_(path.string()), block_rows_(std::max<std::int64_t>(block_rows, 1)) {}

  std::int64_t rows() const override { return rows_; }

  void read(std::int64_t first, std::span<Point> out) const override {
    for_each_record(first, static_cast<std::int64_t>(out.size()), [&](std::int64_t i, const char* record) {
      out[static_cast<std::size_t>(i)] = relative_point(record);
    });
  }

 protected:
  // Sets where the records lie, once the layout is known.
  void set_records(std::uint64_t begin, std::size_t record_size, std::int64_t rows) {
    records_begin_ = begin;
    record_size_ = record_size;
    rows_ = rows;
    block_rows_ = std::clamp<std::int64_t>(static_cast<std::int64_t>(max_block_bytes / record_size), 1, block_rows_);
  }

  // A record's coordinates as the filter sees them.
  virtual Point relative_point(const char* record) const = 0;

  // Calls visit(i, record) for the records of rows first + i, i in [0, count), refusing rows
  // beyond the file's.
  template <class Visit>
  void for_each_record(std::int64_t first, std::int64_t count, const Visit& visit) const {
    if (first < 0 || first > rows_ || count > rows_ - first)
      cannot_read(name_, "rows " + std::to_string(first) + " to " + std::to_string(first + count) +
                             " lie beyond its " + std::to_string(rows_) + " rows");
    for_each_block(first, count, [&](std::int64_t block_first, std::int64_t block_count, char* records) {
      for (std::int64_t i = 0; i < block_count; ++i) visit(block_first - first + i, records + record_offset(i));
    });
  }

  // Calls visit(first row, rows, records) for rows [first, first + count) a block at a time,
  // the records read into a buffer that visit may change.
  template <class Visit>
  void for_each_block(std::int64_t first, std::int64_t count, const Visit& visit) const {
    std::vector<char> records;
    for (std::int64_t done = 0; done < count;) {
      const std::int64_t block = std::min(block_rows_, count - done);
      records.resize(static_cast<std::size_t>(block) * record_size_);
      file_.read(records_begin_ + static_cast<std::uint64_t>(first + done) * record_size_, records.data(), records.size());
      visit(first + done, block, records.data());
      done += block;
    }
  }

  // Calls visit(first row, filtered rows, records) for every block of rows.
  template <class Visit>
  void for_each_filtered_block(const Filtered& filtered, const Visit& visit) const {
    std::vector<Point> points;
    for_each_block(0, rows_, [&](std::int64_t first, std::int64_t count, char* records) {
      points.resize(static_cast<std::size_t>(count));
      filtered(first, points);
      visit(first, std::span<const Point>(points), records);
    });
  }

  std::size_t record_offset(std::int64_t i) const { return static_cast<std::size_t>(i) * record_size_; }
  std::uint64_t records_end() const { return records_begin_ + static_cast<std::uint64_t>(rows_) * record_size_; }

  // Copies the file's bytes [from, to) to `out`, stopping at the first failure of `out`.
  void copy_bytes(std::ostream& out, std::uint64_t from, std::uint64_t to) const {
    std::string chunk;
    while (from < to && out) {
      const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, copy_chunk_bytes));
      chunk.resize(size);
      file_.read(from, chunk.data(), size);
      out.write(chunk.data(), static_cast<std::streamsize>(size));
      from += size;
    }
  }

  void write_records(std::ostream& out, const char* records, std::int64_t count) const {
    out.write(records, static_cast<std::streamsize>(record_offset(count)));
  }

  OpenFile file_;
  std::string name_;

 private:
  std::int64_t block_rows_;
  std::uint64_t records_begin_ = 0;
  std::size_t record_size_ = 1;
  std::int64_t rows_ = 0;
};

// A C-order .npy file: a record is a row of `columns` values, x, y, z first.
class NpyStream final : public RecordStream {
 public:
  NpyStream(const std::filesystem::path& path, std::int64_t block_rows) : RecordStream(path, block_rows) {
    layout_ = npy_layout(
        file_.size(), [&](std::uint64_t at, std::size_t size) { return file_.read(at, size); }, name_);
    if (layout_.fortran_order)
      throw Error("Vandrel:cannotStream",
                  "cannot stream '" + name_ +
                      "': a Fortran-order .npy file is read only whole: save the array in C order "
                      "(numpy.ascontiguousarray) to filter it a block of rows at a time");
    item_ = layout_.is_double ? 8 : 4;
    set_records(layout_.data_begin, static_cast<std::size_t>(layout_.columns) * item_, layout_.rows);
    Extents extents;
    for_each_block(0, rows(), [&](std::int64_t first, std::int64_t count, char* records) {
      for (std::int64_t i = 0; i < count; ++i) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
          const double value = npy_value(layout_, records + record_offset(i) + axis * item_);
          check_npy_coordinate(value, first + i, axis, name_);
          extents.add(axis, value);
        }
      }
    });
    if (layout_.is_double)
      for (std::size_t axis = 0; axis < 3; ++axis) layout_.origin[axis] = extents.centre(axis);
  }

  void write(std::ostream& out, const Filtered& filtered, const std::string& /*name*/) const override {
    copy_bytes(out, 0, layout_.data_begin);
    for_each_filtered_block(filtered, [&](std::int64_t, std::span<const Point> points, char* records) {
      if (!out) return;
      for (std::size_t i = 0; i < points.size(); ++i)
        for (std::size_t axis = 0; axis < 3; ++axis)
          store_npy_coordinate(layout_, records + record_offset(static_cast<std::int64_t>(i)) + axis * item_, axis,
                               points[i][axis]);
      write_records(out, records, static_cast<std::int64_t>(points.size()));
    });
    copy_bytes(out, records_end(), file_.size());
  }

 private:
  Point relative_point(const char* record) const override {
    Point point;
    for (std::size_t axis = 0; axis < 3; ++axis)
      point[axis] = relative_coordinate(npy_value(layout_, record + axis * item_), layout_.origin[axis]);
    return point;
  }

  NpyDocument layout_;  // without content
  std::size_t item_ = 4;
};

// An uncompressed LAS file: a record is a point, its X, Y, Z integers first.
class LasStream final : public RecordStream {
 public:
  LasStream(const std::filesystem::path& path, std::int64_t block_rows) : RecordStream(path, block_rows) {
    layout_ = las_layout(
        file_.size(), [&](std::uint64_t at, std::size_t size) { return file_.read(at, size); }, name_);
    set_records(layout_.points_begin, layout_.record_length, layout_.points);
    Extents extents;
    for_each_block(0, rows(), [&](std::int64_t, std::int64_t count, char* records) {
      for (std::int64_t i = 0; i < count; ++i)
        for (std::size_t axis = 0; axis < 3; ++axis)
          extents.add(axis, las_coordinate(layout_, las_record_integer(records + record_offset(i), axis), axis));
    });
    layout_.origin = las_origin(extents, name_);
  }

  bool read_classes(std::int64_t first, std::span<std::uint8_t> out) const override {
    for_each_record(first, static_cast<std::int64_t>(out.size()), [&](std::int64_t i, const char* record) {
      out[static_cast<std::size_t>(i)] = las_record_class(record, layout_.point_format);
    });
    return true;
  }

  // Two passes over the filtered rows: the first checks every coordinate and measures the
  // extents the header holds (as read and as written, see store_las_extents), so that
  // nothing is written for refused data and `out` need not seek; the second writes.
  void write(std::ostream& out, const Filtered& filtered, const std::string& name) const override {
    Extents read;
    Extents written;
    for_each_filtered_block(filtered, [&](std::int64_t first, std::span<const Point> points, char* records) {
      for (std::size_t i = 0; i < points.size(); ++i) {
        const char* record = records + record_offset(static_cast<std::int64_t>(i));
        for (std::size_t axis = 0; axis < 3; ++axis) {
          const std::int32_t original = las_record_integer(record, axis);
          const std::int32_t integer =
              las_integer_for(layout_, original, points[i][axis], axis, first + static_cast<std::int64_t>(i), name);
          read.add(axis, las_coordinate(layout_, original, axis));
          written.add(axis, las_coordinate(layout_, integer, axis));
        }
      }
    });

    // The header block holds the extents; it lies before the points (see las_layout).
    std::string header = file_.read(0, las_extents_end);
    store_las_extents(header.data(), read, written);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    copy_bytes(out, las_extents_end, layout_.points_begin);
    for_each_filtered_block(filtered, [&](std::int64_t first, std::span<const Point> points, char* records) {
      if (!out) return;
      for (std::size_t i = 0; i < points.size(); ++i) {
        char* record = records + record_offset(static_cast<std::int64_t>(i));
        for (std::size_t axis = 0; axis < 3; ++axis)
          store_value<std::int32_t>(record + 4 * axis,
                                    las_integer_for(layout_, las_record_integer(record, axis), points[i][axis], axis,
                                                    first + static_cast<std::int64_t>(i), name),
                                    true);
      }
      write_records(out, records, static_cast<std::int64_t>(points.size()));
    });
    copy_bytes(out, records_end(), file_.size());
  }

 private:
  Point relative_point(const char* record) const override {
    Point point;
    for (std::size_t axis = 0; axis < 3; ++axis) point[axis] = las_relative(layout_, las_record_integer(record, axis), axis);
    return point;
  }

  LasDocument layout_;  // without content
};

}  // namespace

bool readable_in_blocks(PointFormat format) { return format == PointFormat::npy || format == PointFormat::las; }

std::unique_ptr<PointStream> read_point_stream(const std::filesystem::path& path, PointFormat format,
                                               std::int64_t block_rows) {
  if (!readable_in_blocks(format))
    throw Error("Vandrel:cannotStream", "cannot stream " + quoted(path) +
                                            ": only .npy and .las files are read a block of rows at a time; "
                                            "files of other formats are read only whole");
  if (format == PointFormat::npy) return std::make_unique<NpyStream>(path, block_rows);
  return std::make_unique<LasStream>(path, block_rows);
}

}  // namespace vandrel
