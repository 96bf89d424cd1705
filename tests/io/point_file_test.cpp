#include "io/point_file.h"

#include <gtest/gtest.h>

#include "vandrel/error.h"
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
  EXPECT_EQ(format_of("f.pcd"), PointFormat::pcd);
  EXPECT_EQ(format_of("g.LAS"), PointFormat::las);
  EXPECT_EQ(format_of("h.npy"), PointFormat::npy);
  for (const char* path : {"scan.e57", "scan.ply.gz", "scan", "ply"}) {
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

TEST(format_of, AsksToDecompressLaz) {
  try {
    format_of("tile.LAZ");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:unknownFormat");
    EXPECT_NE(std::string(e.what()).find("decompress the input to LAS first"), std::string::npos) << e.what();
  }
}

TEST(format_for, TakesTheGivenFormatForStandardStreamsAndUnknownExtensions) {
  EXPECT_EQ(format_for("-", PointFormat::npy), PointFormat::npy);
  EXPECT_EQ(format_for("cloud.dat", PointFormat::xyz), PointFormat::xyz);
  EXPECT_EQ(format_for("cloud.pcd", PointFormat::xyz), PointFormat::pcd);
  EXPECT_EQ(format_for("cloud.pcd", std::nullopt), PointFormat::pcd);
  EXPECT_ANY_THROW(format_for("-", std::nullopt));
  EXPECT_ANY_THROW(format_for("cloud.dat", std::nullopt));
  EXPECT_EQ(format_named("txt"), PointFormat::xyz);
  EXPECT_EQ(format_named("PLY"), std::nullopt);
}

TEST(convert_layout, WritesPcdLasAndNpyOnlyInTheirOwnFormat) {
  ScratchDir dir;
  write_file(dir / "in.xyz", "1 2 3\n4 5 6\n");
  PointFile text = read_point_file(dir / "in.xyz");
  PointFile npy = read_point_data(testing::read_file(std::filesystem::path(VANDREL_TEST_DATA_DIR) / "formats" /
                                                     "numpy_f4_c.npy"),
                                  PointFormat::npy, "in.npy");
  EXPECT_NO_THROW(convert_layout(npy, PointFormat::npy, "in.npy", "out.npy"));
  const struct {
    PointFile* file;
    PointFormat target;
    const char* message;
  } cases[] = {
      {&npy, PointFormat::ply, "cannot write 'in' (NPY) as PLY to 'out': PCD, LAS and NPY files are written back only"},
      {&npy, PointFormat::las, "cannot write 'in' (NPY) as LAS"},
      {&text, PointFormat::pcd, "cannot write 'in' (XYZ/TXT) as PCD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      convert_layout(*c.file, c.target, "in", "out");
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), "Vandrel:cannotConvert");
      EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
    }
  }
}

TEST(read_point_data, RefusesEveryTruncationOfABinaryFileCleanly) {
  const struct {
    const char* name;
    PointFormat format;
  } files[] = {
      {"pcl_organised_binary.pcd", PointFormat::pcd}, {"pcl_organised_compressed.pcd", PointFormat::pcd},
      {"open3d_ascii.pcd", PointFormat::pcd},         {"las14_format10.las", PointFormat::las},
      {"las12_format1.las", PointFormat::las},        {"numpy_f8_fortran.npy", PointFormat::npy},
  };
  for (const auto& file : files) {
    SCOPED_TRACE(file.name);
    const std::string bytes = read_file(std::filesystem::path(VANDREL_TEST_DATA_DIR) / "formats" / file.name);
    // PCL pads its binary files with zeros: only cuts into the points must fail.
    const std::size_t needed = bytes.find_last_not_of('\0') + 1;
    // An ascii file cut inside its last value still holds every point.
    const bool is_ascii = bytes.find("DATA ascii") != std::string::npos;
    const std::size_t last_line = bytes.rfind('\n', needed - 2);
    for (std::size_t size = 0; size < needed; ++size) {
      try {
        read_point_data(bytes.substr(0, size), file.format, "cut");
        EXPECT_TRUE(is_ascii && size > last_line) << "no error at " << size << " bytes";
      } catch (const Error& e) {
        EXPECT_TRUE(e.identifier() == "Vandrel:badPcdFile" || e.identifier() == "Vandrel:badLasFile" ||
                    e.identifier() == "Vandrel:badNpyFile")
            << e.identifier();
      }
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

TEST(write_point_file, WritesThroughASymbolicLink) {
  ScratchDir dir;
  write_file(dir / "in.xyz", "1 2 3\n4 5 6\n");
  const PointFile file = read_point_file(dir / "in.xyz");
  std::filesystem::create_directory(dir / "real");
  write_file(dir / "real" / "target.xyz", "old");
  std::filesystem::permissions(dir / "real" / "target.xyz",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::filesystem::create_symlink("real/target.xyz", dir / "link.xyz");
  // A link to a link, and one to a file not there yet (made, as cp makes it).
  std::filesystem::create_symlink("link.xyz", dir / "link2.xyz");
  std::filesystem::create_symlink("real/new.xyz", dir / "dangling.xyz");

  write_point_file(dir / "link2.xyz", file, file.xyz.data(), PointFormat::xyz);
  write_point_file(dir / "dangling.xyz", file, file.xyz.data(), PointFormat::xyz);
  for (const char* link : {"link.xyz", "link2.xyz", "dangling.xyz"}) EXPECT_TRUE(std::filesystem::is_symlink(dir / link)) << link;
  EXPECT_EQ(read_file(dir / "real" / "target.xyz"), "1 2 3\n4 5 6\n");
  EXPECT_EQ(read_file(dir / "real" / "new.xyz"), "1 2 3\n4 5 6\n");
  EXPECT_EQ(std::filesystem::status(dir / "real" / "target.xyz").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"dangling.xyz", "in.xyz", "link.xyz", "link2.xyz", "real"}));
}

TEST(check_output_folder, NamesWhatCannotTakeTheOutput) {
  ScratchDir dir;
  write_file(dir / "file", "");
  std::filesystem::create_directory(dir / "out.xyz");
  std::filesystem::create_symlink("missing/out.xyz", dir / "lost.xyz");
  const std::string d = dir.path().string();
  const struct {
    std::string output;
    std::string message;
  } cases[] = {
      {d + "/missing/out.xyz", "cannot write '" + d + "/missing/out.xyz': the folder '" + d + "/missing' does not exist"},
      {d + "/lost.xyz", "the folder '" + d + "/missing' does not exist"},
      {d + "/file/out.xyz", "'" + d + "/file' is not a folder"},
      {d + "/out.xyz", "it is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    try {
      check_output_folder(c.output);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.identifier(), "Vandrel:cannotWrite");
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_NO_THROW(check_output_folder(d + "/new.xyz"));
  // Permissions do not bind the superuser.
  if (::geteuid() != 0) {
    std::filesystem::create_directory(dir / "locked");
    std::filesystem::permissions(dir / "locked", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_THROW(check_output_folder(d + "/locked/out.xyz"), Error);
    std::filesystem::permissions(dir / "locked", std::filesystem::perms::owner_all);
  }
}

}  // namespace
}  // namespace vandrel
