#include "cli/point_file.h"

#include <gtest/gtest.h>

#include "runtime/error.h"
#include "scratch_dir.h"

namespace vandrel {
namespace {

using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

TEST(format_of, GoesByTheExtensionInAnyCase) {
  struct Case {
    const char* path;
    PointFormat format;
  };
  for (const Case& c : {Case{"a.ply", PointFormat::ply}, Case{"dir.v2/B.PLY", PointFormat::ply},
                        Case{"c.xyz", PointFormat::xyz}, Case{"d.Txt", PointFormat::xyz}, Case{"e.CSV", PointFormat::csv}}) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(format_of(c.path), c.format);
  }
  struct Bad {
    const char* path;
    const char* message;
  };
  for (const Bad& c : {Bad{"scan.las", "'scan.las': unknown file extension '.las' (use .ply, .xyz, .txt or .csv)"},
                       Bad{"scan.ply.gz", "'scan.ply.gz': unknown file extension '.gz' (use .ply, .xyz, .txt or .csv)"},
                       Bad{"scan", "'scan': unknown file extension (use .ply, .xyz, .txt or .csv)"}}) {
    SCOPED_TRACE(c.path);
    try {
      format_of(c.path);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), "Vandrel:unknownFormat");
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(read_point_file, NamesTheFileItCannotRead) {
  ScratchDir dir;
  std::filesystem::create_directory(dir / "folder.xyz");
  const std::string missing = (dir / "missing.ply").string();
  const std::string folder = (dir / "folder.xyz").string();
  for (const auto& [path, message] :
       {std::pair{missing, "cannot read '" + missing + "': No such file or directory"},
        std::pair{folder, "cannot read '" + folder + "': it is a directory"}}) {
    try {
      read_point_file(path);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), "Vandrel:cannotRead");
      EXPECT_EQ(e.what(), message);
    }
  }
}

TEST(write_point_file, ConvertsAcrossFormatsAndReplacesTheOutputOnlyWhenComplete) {
  ScratchDir dir;
  write_file(dir / "in.csv", "x,y,z,intensity\n1,2,3,10\n4,5,6,20\n");
  PointFile file = read_point_file(dir / "in.csv");
  ASSERT_EQ(file.size, 2);

  // CSV -> PLY -> XYZ keeps the extra column; an existing output's permissions carry over.
  write_file(dir / "mid.ply", "old");
  std::filesystem::permissions(dir / "mid.ply", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  convert_layout(file, PointFormat::ply, "in.csv", "mid.ply");
  write_point_file(dir / "mid.ply", file, file.xyz.data(), PointFormat::ply);
  EXPECT_EQ(std::filesystem::status(dir / "mid.ply").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  PointFile mid = read_point_file(dir / "mid.ply");
  convert_layout(mid, PointFormat::xyz, "mid.ply", "out.xyz");
  write_point_file(dir / "out.xyz", mid, mid.xyz.data(), PointFormat::xyz);
  EXPECT_EQ(read_file(dir / "out.xyz"), "1 2 3 10\n4 5 6 20\n");

  // A write that fails part-way leaves the old output and no temporary file behind.
  write_file(dir / "keep.ply", "previous");
  EXPECT_ANY_THROW(write_point_file(dir / "keep.ply", mid, mid.xyz.data(), PointFormat::ply));
  EXPECT_EQ(read_file(dir / "keep.ply"), "previous");
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"in.csv", "keep.ply", "mid.ply", "out.xyz"}));

  const std::string nowhere = (dir / "no such dir" / "out.xyz").string();
  try {
    write_point_file(nowhere, mid, mid.xyz.data(), PointFormat::xyz);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:cannotWrite");
    EXPECT_EQ(e.what(), "cannot write '" + nowhere + "': No such file or directory");
  }
}

}  // namespace
}  // namespace vandrel
