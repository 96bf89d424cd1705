#include "point_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <system_error>

#include "vandrel/error.h"

namespace vandrel {
namespace {

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

std::string read_standard_input() {
  std::string content;
  char chunk[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) content.append(chunk, got);
  if (std::ferror(stdin) != 0)
    throw Error("Vandrel:cannotRead", std::string("cannot read standard input: ") + std::strerror(errno));
  return content;
}

const char* format_name(PointFormat format) {
  switch (format) {
    case PointFormat::ply:
      return "PLY";
    case PointFormat::xyz:
      return "XYZ/TXT";
    case PointFormat::csv:
      return "CSV";
    case PointFormat::pcd:
      return "PCD";
    case PointFormat::las:
      return "LAS";
    case PointFormat::npy:
      return "NPY";
  }
  return "";
}

// The format a layout was read from, where only that format can hold it.
std::optional<PointFormat> own_format(const PointFile& file) {
  if (std::holds_alternative<PcdDocument>(file.layout)) return PointFormat::pcd;
  if (std::holds_alternative<LasDocument>(file.layout)) return PointFormat::las;
  if (std::holds_alternative<NpyDocument>(file.layout)) return PointFormat::npy;
  return std::nullopt;
}

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

// The file a write to `path` replaces: `path` itself, or the file its symbolic links lead
// to (written through, as cp does; the file a dangling link names is made).
std::filesystem::path written_file(const std::filesystem::path& path) {
  std::filesystem::path target = path;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(target, ec)) return target;
    const std::filesystem::path link = std::filesystem::read_symlink(target, ec);
    if (ec) throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": " + ec.message());
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
  throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": too many levels of symbolic links");
}

std::filesystem::path folder_of(const std::filesystem::path& file) {
  return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

// A file descriptor closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Passes the permissions of the file `target` replaces, if any, on to the new one.
void keep_permissions(const std::filesystem::path& target, const std::function<void(std::filesystem::perms)>& set) {
  std::error_code ec;
  const auto existing = std::filesystem::status(target, ec);
  if (!ec && std::filesystem::is_regular_file(existing)) set(existing.permissions());
}

// Writes `target` through an unnamed file in its folder (O_TMPFILE), linked in under a
// temporary name and renamed over `target` only once complete: a process killed while
// writing leaves nothing behind. Returns false, having done nothing, where the file system
// or the system has no unnamed files.
bool replace_through_unnamed_file(const std::filesystem::path& path, const std::filesystem::path& target,
                                  const std::function<void(std::ostream&)>& write) {
#ifdef O_TMPFILE
  const Descriptor file(::open(folder_of(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (file.get() < 0) return false;
  const std::string reopened = "/proc/self/fd/" + std::to_string(file.get());
  std::ofstream out(reopened, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  write(out);
  out.close();
  if (!out) throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": " + std::strerror(errno));
  keep_permissions(target, [&](std::filesystem::perms perms) {
    ::fchmod(file.get(), static_cast<mode_t>(perms) & 07777);
  });
  const std::filesystem::path temporary = temporary_beside(target);
  // Named only from the link to the rename: a signal in between unlinks it.
  const UnfinishedOutput unfinished(temporary);
  if (::linkat(AT_FDCWD, reopened.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) != 0)
    throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": " + std::strerror(errno));
  std::error_code ec;
  std::filesystem::rename(temporary, target, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": " + ec.message());
  }
  return true;
#else
  (void)path;
  (void)target;
  (void)write;
  return false;
#endif
}

}  // namespace

void check_output_folder(const std::filesystem::path& path) {
  const std::filesystem::path target = written_file(path);
  std::error_code ec;
  if (std::filesystem::is_directory(target, ec))
    throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": it is a directory");
  const std::filesystem::path folder = folder_of(target);
  const auto status = std::filesystem::status(folder, ec);
  if (!std::filesystem::exists(status))
    throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": the folder " + quoted(folder) + " does not exist");
  if (!std::filesystem::is_directory(status))
    throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": " + quoted(folder) + " is not a folder");
  // The output is written to a new file in the folder and renamed into place.
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": the folder " + quoted(folder) +
                                           " is not writable (" + std::strerror(errno) + ")");
}

PointFormat format_of(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension.size() > 1) {
    if (const auto format = format_named(std::string_view(extension).substr(1))) return *format;
  }
  if (extension == ".laz")
    throw Error("Vandrel:unknownFormat",
                quoted(path) + ": LAZ (compressed LAS) is not supported; decompress the input to LAS first, e.g. with "
                "'laszip -i in.laz -o in.las' or 'pdal translate in.laz in.las', and write a .las file");
  throw Error("Vandrel:unknownFormat",
              quoted(path) + ": unknown file extension" + (extension.empty() ? "" : " '" + extension + "'") +
                  " (use .ply, .xyz, .txt, .csv, .pcd, .las or .npy)");
}

std::optional<PointFormat> format_named(std::string_view name) {
  if (name == "ply") return PointFormat::ply;
  if (name == "xyz" || name == "txt") return PointFormat::xyz;
  if (name == "csv") return PointFormat::csv;
  if (name == "pcd") return PointFormat::pcd;
  if (name == "las") return PointFormat::las;
  if (name == "npy") return PointFormat::npy;
  return std::nullopt;
}

PointFormat format_for(const std::string& name, std::optional<PointFormat> given) {
  if (name == "-") {
    if (!given) throw Error("Vandrel:unknownFormat", "'-' (standard input or output) needs --format");
    return *given;
  }
  if (!given) return format_of(name);
  try {
    return format_of(name);
  } catch (const Error&) {
    return *given;
  }
}

PointFile read_point_file(const std::filesystem::path& path) { return read_point_data(read_bytes(path), format_of(path), path.string()); }

PointFile read_point_input(const std::string& name, PointFormat format) {
  if (name == "-") return read_point_data(read_standard_input(), format, "<standard input>");
  return read_point_data(read_bytes(name), format, name);
}

PointFile read_point_data(std::string content, PointFormat format, const std::string& name) {
  PointFile file;
  switch (format) {
    case PointFormat::ply:
      file.layout = read_ply(std::move(content), name, file.xyz);
      break;
    case PointFormat::xyz:
    case PointFormat::csv:
      file.layout = read_text_table(content, dialect_of(format), name, file.xyz);
      break;
    case PointFormat::pcd:
      file.layout = read_pcd(std::move(content), name, file.xyz);
      break;
    case PointFormat::las:
      file.layout = read_las(std::move(content), name, file.xyz);
      break;
    case PointFormat::npy:
      file.layout = read_npy(std::move(content), name, file.xyz);
      break;
  }
  file.size = static_cast<std::int64_t>(file.xyz.size() / 3);
  return file;
}

std::vector<std::uint8_t> point_classes(const PointFile& file) {
  if (const auto* las = std::get_if<LasDocument>(&file.layout)) return las_classes(*las);
  return {};
}

std::vector<LasReturn> point_returns(const PointFile& file) {
  if (const auto* las = std::get_if<LasDocument>(&file.layout)) return las_returns(*las);
  return {};
}

void convert_layout(PointFile& file, PointFormat format, const std::string& source, const std::string& target) {
  const std::optional<PointFormat> own = own_format(file);
  const bool needs_own = format == PointFormat::pcd || format == PointFormat::las || format == PointFormat::npy;
  if ((own || needs_own) && own != format)
    throw Error("Vandrel:cannotConvert", "cannot write '" + source + "' (" +
                                             format_name(own.value_or(std::holds_alternative<PlyDocument>(file.layout)
                                                                          ? PointFormat::ply
                                                                          : PointFormat::xyz)) +
                                             ") as " + format_name(format) + " to '" + target +
                                             "': PCD, LAS and NPY files are written back only in their own format");
  if (own) return;
  const bool is_ply = std::holds_alternative<PlyDocument>(file.layout);
  if (format == PointFormat::ply && !is_ply) {
    file.layout = ply_from_table(std::get<TextTable>(file.layout), file.size, source, target);
  } else if (format != PointFormat::ply && is_ply) {
    file.layout = table_from_ply(std::get<PlyDocument>(file.layout), source, target);
  }
}

void remove_unfinished_output() noexcept {
  if (unfinished_state.load() == 2) ::unlink(unfinished_path);
}

void replace_file(const std::filesystem::path& path, const std::function<void(std::ostream&)>& write) {
  const std::filesystem::path target = written_file(path);
  if (replace_through_unnamed_file(path, target, write)) return;
  const std::filesystem::path temporary = temporary_beside(target);
  // Cleared only after the rename: a signal in between unlinks a name no longer there.
  const UnfinishedOutput unfinished(temporary);
  try {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": " + std::strerror(errno));
    write(out);
    out.close();
    if (!out) throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": " + std::strerror(errno));
    keep_permissions(target, [&](std::filesystem::perms perms) {
      std::error_code ignored;
      std::filesystem::permissions(temporary, perms, ignored);
    });
    std::error_code ec;
    std::filesystem::rename(temporary, target, ec);
    if (ec) throw Error("Vandrel:cannotWrite", "cannot write " + quoted(path) + ": " + ec.message());
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw;
  }
}

void write_point_file(const std::filesystem::path& path, const PointFile& file, const float* xyz, PointFormat format) {
  replace_file(path, [&](std::ostream& out) { write_point_data(out, file, xyz, format, path.string()); });
}

void write_point_output(const std::string& name, const PointFile& file, const float* xyz, PointFormat format) {
  if (name != "-") {
    write_point_file(name, file, xyz, format);
    return;
  }
  write_point_data(std::cout, file, xyz, format, "<standard output>");
  std::cout.flush();
  if (!std::cout) throw Error("Vandrel:cannotWrite", "cannot write standard output");
}

void write_point_data(std::ostream& out, const PointFile& file, const float* xyz, PointFormat format,
                      const std::string& name) {
  switch (format) {
    case PointFormat::ply:
      write_ply(out, std::get<PlyDocument>(file.layout), xyz);
      break;
    case PointFormat::xyz:
    case PointFormat::csv:
      write_text_table(out, std::get<TextTable>(file.layout), dialect_of(format), xyz, file.size);
      break;
    case PointFormat::pcd:
      write_pcd(out, std::get<PcdDocument>(file.layout), xyz, name);
      break;
    case PointFormat::las:
      write_las(out, std::get<LasDocument>(file.layout), xyz, name);
      break;
    case PointFormat::npy:
      write_npy(out, std::get<NpyDocument>(file.layout), xyz);
      break;
  }
}

}  // namespace vandrel
