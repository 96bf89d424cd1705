// Runs the built program, as a user would, on small files.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <random>
#include <sstream>
#include <string>

#include "io/point_file.h"
#include "scratch_dir.h"

namespace vandrel {
namespace {

using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

struct Outcome {
  int code;
  std::string err;
  std::string out;
};

Outcome run(const ScratchDir& dir, const std::string& args) {
  const std::string command = "cd '" + dir.path().string() + "' && '" VANDREL_BINARY "' " + args +
                              " >stdout.txt 2>stderr.txt";
  const int status = std::system(command.c_str());
  Outcome result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(dir / "stderr.txt"), read_file(dir / "stdout.txt")};
  std::filesystem::remove(dir / "stderr.txt");
  std::filesystem::remove(dir / "stdout.txt");
  return result;
}

// A noisy unit sphere as CSV with a header and an id column; density 1500 / (4 pi).
std::string noisy_sphere_csv(int n, double sigma) {
  std::mt19937_64 rng(21);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::ostringstream csv;
  csv.precision(9);
  csv << "x,y,z,id\n";
  for (int i = 0; i < n; ++i) {
    double p[3] = {normal(rng), normal(rng), normal(rng)};
    const double length = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    for (double& c : p) c = c / length + sigma * normal(rng);
    csv << p[0] << ',' << p[1] << ',' << p[2] << ',' << i << '\n';
  }
  return csv.str();
}

double mean_distance_to_unit_sphere(const PointFile& file) {
  double sum = 0.0;
  for (std::int64_t i = 0; i < file.size; ++i) {
    double r2 = 0.0;
    for (std::int64_t axis = 0; axis < 3; ++axis) {
      const double v = file.xyz[static_cast<std::size_t>(axis * file.size + i)];
      r2 += v * v;
    }
    sum += std::abs(std::sqrt(r2) - 1.0);
  }
  return sum / static_cast<double>(file.size);
}

TEST(vandrel, FiltersAFileKeepingRowOrderAndExtraData) {
  ScratchDir dir;
  const int n = 1500;
  const double sigma = 0.5 / std::sqrt(n / (4.0 * std::numbers::pi));
  write_file(dir / "in.csv", noisy_sphere_csv(n, sigma));

  const Outcome estimated = run(dir, "in.csv out.csv --threads 2");
  ASSERT_EQ(estimated.code, 0) << estimated.err;
  for (const char* line : {"Reading in.csv\n", "Read 1500 points\n", "Estimated density: ", "Estimated sigma: ",
                           "Writing out.csv\n", "Denoised 1500 points into out.csv\n"})
    EXPECT_NE(estimated.err.find(line), std::string::npos) << line << " missing from\n" << estimated.err;
  const PointFile in = read_point_file(dir / "in.csv");
  const PointFile out = read_point_file(dir / "out.csv");
  ASSERT_EQ(out.size, n);
  const TextTable& table = std::get<TextTable>(out.layout);
  EXPECT_EQ(table.header, "x,y,z,id");
  EXPECT_EQ(table.extra_text, std::get<TextTable>(in.layout).extra_text);  // ids in input order
  EXPECT_LT(mean_distance_to_unit_sphere(out), 0.8 * mean_distance_to_unit_sphere(in));

  // Given parameters, quietly, into another format: the same filtered points.
  const Outcome quiet = run(dir, "--quiet --sigma " + std::to_string(sigma) + " --density 119.366 in.csv out.ply");
  ASSERT_EQ(quiet.code, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");
  const PointFile ply = read_point_file(dir / "out.ply");
  ASSERT_EQ(ply.size, n);
  EXPECT_NE(std::get<PlyDocument>(ply.layout).content.find("property int id\n"), std::string::npos);
  EXPECT_LT(mean_distance_to_unit_sphere(ply), 0.8 * mean_distance_to_unit_sphere(in));
}

TEST(vandrel, RejectsBadInputWithoutWritingAnything) {
  ScratchDir dir;
  const std::string input = noisy_sphere_csv(200, 0.01);
  write_file(dir / "in.csv", input);
  write_file(dir / "ragged.xyz", "1 2 3\n4 5\n");
  write_file(dir / "few.xyz", "0 0 0\n1 0 0\n0 1 0\n");
  std::filesystem::copy_file(VANDREL_TEST_DATA_DIR "/tetrahedron.ply", dir / "mesh.ply");
  std::filesystem::create_directory(dir / "folder.xyz");
  struct Case {
    std::string args;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {"", 2, "INPUT is required"},
      {"in.csv", 2, "OUTPUT is required"},
      {"in.csv out.xyz --sigma -1", 2, "--sigma"},
      {"in.csv out.xyz --sigma abc", 2, "'abc' is not a finite number"},
      {"in.csv out.xyz --density 0", 2, "--density"},
      {"in.csv out.xyz --density 1e39", 2, "'1e39' is not a finite number"},
      {"in.csv out.xyz --threads -2", 2, "--threads"},
      {"in.csv out.xyz --bogus", 2, "--bogus"},
      {"missing.xyz out.xyz", 1, "vandrel: cannot read 'missing.xyz': No such file or directory\n"},
      {"folder.xyz out.xyz", 1, "vandrel: cannot read 'folder.xyz': it is a directory\n"},
      {"in.csv out.e57", 1, "vandrel: 'out.e57': unknown file extension '.e57' (use .ply, .xyz, .txt, .csv, .pcd, .las or .npy)\n"},
      {"in.csv in.csv", 1, "vandrel: the output 'in.csv' is the input file; name another file\n"},
      {"in.csv ./in.csv --sigma 0.01", 1, "is the input file"},
      {"ragged.xyz out.xyz", 1, "vandrel: ragged.xyz: line 2: expected 3 fields as on line 1, found 2\n"},
      {"mesh.ply out.xyz", 1, "no place for the 4 'face' records of mesh.ply"},
      {"few.xyz out.xyz --sigma 0.1", 1, "needs at least 50 points"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome r = run(dir, c.args);
    EXPECT_EQ(r.code, c.code);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"few.xyz", "folder.xyz", "in.csv", "mesh.ply", "ragged.xyz"}));
  EXPECT_EQ(read_file(dir / "in.csv"), input);
}

TEST(vandrel, AnswersVersion) {
  ScratchDir dir;
  const Outcome version = run(dir, "--version");
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "vandrel 1.0.0\n");
}

}  // namespace
}  // namespace vandrel
