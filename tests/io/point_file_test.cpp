#include "io/point_file.h"

#include <gtest/gtest.h>

#include "api/error.h"
#include "scratch_dir.h"

namespace vandrel {
namespace {

using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

TEST(format_of, GoesByTheExtensionInAnyCase) {
  EXPECT_EQ(format_of("dir.v2/B.PLY"), PointFormat::ply);
  EXPECT_EQ(format_of("c.xyz"), PointFormat::xyz);
  EXPECT_EQ(format_of("d.Txt"), PointFormat::xyz);
  EXPECT_EQ(format_of("e.CSV"), PointFormat::csv);
  for (const char* path : {"scan.las", "scan.ply.gz", "scan", "ply"}) {
    SCOPED_TRACE(path);
    try {
      format_of(path);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), "Vandrel:unknownFormat");
      EXPECT_EQ(std::string(e.what()).rfind("'" + std::string(path) + "': unknown file extension", 0), 0u);
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
