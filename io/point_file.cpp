#include "point_file.h"

#include <cctype>
#include <cerrno>
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

// A name beside `path` that no other file is likely to have.
std::filesystem::path temporary_beside(const std::filesystem::path& path) {
  std::random_device device;
  const unsigned long long tag = (static_cast<unsigned long long>(device()) << 32) ^ device();
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", tag);
  std::filesystem::path temporary = path;
  temporary.replace_filename("." + path.filename().string() + suffix);
  return temporary;
}

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

void write_point_file(const std::filesystem::path& path, const PointFile& file, const float* xyz, PointFormat format) {
  const std::filesystem::path temporary = temporary_beside(path);
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
