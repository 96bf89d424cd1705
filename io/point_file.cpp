#include "point_file.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>

#include "api/error.h"

namespace vandrel {
namespace {

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

std::string read_bytes(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw Error("Vandrel:cannotRead", "cannot read " + quoted(path) + ": it is a directory");
  std::FILE* file = std::fopen(path.string().c_str(), "rb");
  if (file == nullptr) throw Error("Vandrel:cannotRead", "cannot read " + quoted(path) + ": " + std::strerror(errno));
  std::string content;
  // Sized once: growing by doubling would need up to twice the file for a moment.
  const auto size = std::filesystem::file_size(path, ec);
  if (!ec) content.reserve(static_cast<std::size_t>(size));
  char chunk[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) throw Error("Vandrel:cannotRead", "cannot read " + quoted(path) + ": " + std::strerror(error));
  return content;
}

TextDialect dialect_of(PointFormat format) {
  return format == PointFormat::csv ? TextDialect::csv : TextDialect::whitespace;
}

// A hidden name beside `path` that no other file is likely to have, within NAME_MAX
// bytes: a long name is cut (the random tag keeps the name apart).
std::filesystem::path temporary_beside(const std::filesystem::path& path) {
  std::random_device device;
  const unsigned long long tag = (static_cast<unsigned long long>(device()) << 32) ^ device();
  char suffix[32];
  const int suffix_size = std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", tag);
  std::string name = path.filename().string();
  const std::size_t room = NAME_MAX - 1 - static_cast<std::size_t>(suffix_size);
  if (name.size() > room) name.resize(room);
  name.insert(name.begin(), '.');
  name.append(suffix);
  std::filesystem::path temporary = path;
  temporary.replace_filename(name);
  return temporary;
}

// The temporary file of the write in progress, for remove_unfinished_output: a state that
// a signal handler can read (0 none, 1 being recorded, 2 recorded) and the path's bytes.
std::atomic<int> unfinished_state{0};
char unfinished_path[PATH_MAX];
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

// Records `temporary` while it is being written; one write at a time is recorded, and a
// path too long for the buffer is not.
class UnfinishedOutput {
 public:
  explicit UnfinishedOutput(const std::filesystem::path& temporary) {
    const std::string& text = temporary.native();
    int idle = 0;
    if (text.size() >= sizeof unfinished_path || !unfinished_state.compare_exchange_strong(idle, 1)) return;
    std::memcpy(unfinished_path, text.c_str(), text.size() + 1);
    unfinished_state.store(2);
    recorded_ = true;
  }
  ~UnfinishedOutput() {
    if (recorded_) unfinished_state.store(0);
  }
  UnfinishedOutput(const UnfinishedOutput&) = delete;
  UnfinishedOutput& operator=(const UnfinishedOutput&) = delete;

 private:
  bool recorded_ = false;
};

}  // namespace

PointFormat format_of(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension == ".ply") return PointFormat::ply;
  if (extension == ".xyz" || extension == ".txt") return PointFormat::xyz;
  if (extension == ".csv") return PointFormat::csv;
  throw Error("Vandrel:unknownFormat",
              quoted(path) + ": unknown file extension" + (extension.empty() ? "" : " '" + extension + "'") +
                  " (use .ply, .xyz, .txt or .csv)");
}

PointFile read_point_file(const std::filesystem::path& path) {
  const PointFormat format = format_of(path);
  PointFile file;
  if (format == PointFormat::ply) {
    file.layout = read_ply(read_bytes(path), path.string(), file.xyz);
  } else {
    const std::string content = read_bytes(path);
    file.layout = read_text_table(content, dialect_of(format), path.string(), file.xyz);
  }
  file.size = static_cast<std::int64_t>(file.xyz.size() / 3);
  return file;
}

void convert_layout(PointFile& file, PointFormat format, const std::string& source, const std::string& target) {
  const bool is_ply = std::holds_alternative<PlyDocument>(file.layout);
  if (format == PointFormat::ply && !is_ply) {
    file.layout = ply_from_table(std::get<TextTable>(file.layout), file.xyz.data(), file.size, source, target);
  } else if (format != PointFormat::ply && is_ply) {
    file.layout = table_from_ply(std::get<PlyDocument>(file.layout), source, target);
  }
}

void remove_unfinished_output() noexcept {
  if (unfinished_state.load() == 2) ::unlink(unfinished_path);
}

void write_point_file(const std::filesystem::path& path, const PointFile& file, const float* xyz, PointFormat format) {
  const std::filesystem::path temporary = temporary_beside(path);
  // Cleared only after the rename: a signal in between unlinks a name no longer there.
  const UnfinishedOutput unfinished(temporary);
  try {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": " + std::strerror(errno));
    if (format == PointFormat::ply)
      write_ply(out, std::get<PlyDocument>(file.layout), xyz);
    else
      write_text_table(out, std::get<TextTable>(file.layout), dialect_of(format), xyz, file.size);
    out.close();
    if (!out) throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": " + std::strerror(errno));
    std::error_code ec;
    const auto existing = std::filesystem::status(path, ec);
    if (!ec && std::filesystem::is_regular_file(existing))
      std::filesystem::permissions(temporary, existing.permissions(), ec);
    std::filesystem::rename(temporary, path, ec);
    if (ec) throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": " + ec.message());
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw;
  }
}

}  // namespace vandrel
