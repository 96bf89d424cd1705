// Runs the built program, as a user would, on small files.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include "io/point_file.h"
#include "scratch_dir.h"

namespace vandrel {
namespace {

using testing::Outcome;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

// Runs the program in `dir`; `before` is a shell command run first in the same shell.
Outcome run(const ScratchDir& dir, const std::string& args, const std::string& before = "true") {
  return testing::run_program(dir, args, "/dev/null", before);
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

TEST(vandrel, WritesNormalsAndNoiseLevelsOnRequestOnly) {
  ScratchDir dir;
  const int n = 1500;
  const double sigma = 0.5 / std::sqrt(n / (4.0 * std::numbers::pi));
  write_file(dir / "in.csv", noisy_sphere_csv(n, sigma));
  const std::string given = "--quiet --sigma " + std::to_string(sigma) + " --density 119.366 in.csv ";
  ASSERT_EQ(run(dir, given + "plain.csv").code, 0);
  const Outcome outputs = run(dir, given + "out.csv --normals --write-noise sigma");
  ASSERT_EQ(outputs.code, 0) << outputs.err;
  const PointFile plain = read_point_file(dir / "plain.csv");
  const PointFile out = read_point_file(dir / "out.csv");
  const TextTable& table = std::get<TextTable>(out.layout);
  ASSERT_EQ(table.header, "x,y,z,id,nx,ny,nz,sigma");
  EXPECT_EQ(out.xyz, plain.xyz);  // the same points as without the outputs
  int outward = 0;
  double noise = 0.0;
  for (std::int64_t i = 0; i < n; ++i) {
    double along = 0.0;
    for (std::int32_t c = 0; c < 3; ++c)
      along += out.xyz[static_cast<std::size_t>(c * n + i)] * std::stod(std::string(table.extra(i, 1 + c)));
    outward += along > 0.9;
    noise += std::stod(std::string(table.extra(i, 4)));
  }
  EXPECT_EQ(outward, n);  // unit normals within 25 degrees of the sphere's, all facing out
  EXPECT_GT(noise / n, 0.0);
  EXPECT_LT(noise / n, sigma);
  // Outliers: classes are for LAS files, NaN coordinates for the others.
  const Outcome classify = run(dir, given + "classified.csv --classify-outliers");
  EXPECT_EQ(classify.code, 1);
  EXPECT_NE(classify.err.find("is not a LAS file: use --remove-outliers"), std::string::npos) << classify.err;
  const Outcome removed = run(dir, "--sigma " + std::to_string(sigma) + " --density 119.366 in.csv removed.csv --remove-outliers");
  ASSERT_EQ(removed.code, 0) << removed.err;
  EXPECT_NE(removed.err.find("Outliers: "), std::string::npos) << removed.err;
  // Under a memory limit, the same files.
  const Outcome limited = run(dir, given + "limited.csv --normals --write-noise sigma --memory-limit 64M");
  ASSERT_EQ(limited.code, 0) << limited.err;
  EXPECT_EQ(read_file(dir / "limited.csv"), read_file(dir / "out.csv"));
  const Outcome tiled = run(dir, given + "tiled.csv --remove-outliers --memory-limit 64M");
  ASSERT_EQ(tiled.code, 0) << tiled.err;
  EXPECT_EQ(read_file(dir / "tiled.csv"), read_file(dir / "removed.csv"));
  // Out of core, refused before reading (the file is not even an array), naming what to drop.
  write_file(dir / "in.npy", "not read");
  const Outcome out_of_core =
      run(dir, "--sigma " + std::to_string(sigma) + " --density 119.366 in.npy ooc.npy --normals --out-of-core");
  EXPECT_EQ(out_of_core.code, 1);
  EXPECT_NE(out_of_core.err.find("--normals is written for clouds held in memory, not out of core"), std::string::npos)
      << out_of_core.err;
}

TEST(vandrel, ShowsProgressInOrderOrTheFiltersOwnLines) {
  ScratchDir dir;
  const int n = 1500;
  const double sigma = 0.5 / std::sqrt(n / (4.0 * std::numbers::pi));
  write_file(dir / "in.csv", noisy_sphere_csv(n, sigma));
  const std::string given = "--sigma " + std::to_string(sigma) + " --density 119.366 in.csv out.csv ";
  // Not a terminal: plain lines, each stage from 0 % to 100 %, the stages in order.
  const Outcome plain = run(dir, given);
  ASSERT_EQ(plain.code, 0) << plain.err;
  const std::size_t first_start = plain.err.find("pass 1: 0% (");
  const std::size_t first_end = plain.err.find("pass 1: 100% (");
  const std::size_t second_start = plain.err.find("pass 2: 0% (");
  const std::size_t second_end = plain.err.find("pass 2: 100% (");
  ASSERT_NE(second_end, std::string::npos) << plain.err;
  EXPECT_LT(first_start, first_end);
  EXPECT_LT(first_end, second_start);
  EXPECT_LT(second_start, second_end);
  EXPECT_EQ(plain.err.find("itr ="), std::string::npos);
  // --verbose: the filter's own lines instead.
  const Outcome verbose = run(dir, "--verbose " + given);
  ASSERT_EQ(verbose.code, 0) << verbose.err;
  EXPECT_NE(verbose.err.find("////////////////////// itr = 2 done ////////////////////// \n"), std::string::npos);
  EXPECT_EQ(verbose.err.find("pass 1:"), std::string::npos);
}

TEST(vandrel, RejectsBadInputWithoutWritingAnything) {
  ScratchDir dir;
  const std::string input = noisy_sphere_csv(200, 0.01);
  write_file(dir / "in.csv", input);
  write_file(dir / "ragged.xyz", "1 2 3\n4 5\n");
  write_file(dir / "few.xyz", "0 0 0\n1 0 0\n0 1 0\n");
  write_file(dir / "inf.xyz", "0 0 0\n1 -inf 0\n");
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
      {"in.csv out.xyz --threads 1025", 2, "'1025' is not a thread count from 0 to 1024"},
      {"in.csv out.xyz --threads 99999999999999999999", 2, "is not a thread count from 0 to 1024"},
      {"inf.xyz out.xyz", 1, "vandrel: inf.xyz: line 2: field 2 ('-inf') is not a finite number\n"},
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
  EXPECT_EQ(dir.listing(),
            (std::vector<std::string>{"few.xyz", "folder.xyz", "in.csv", "inf.xyz", "mesh.ply", "ragged.xyz"}));
  EXPECT_EQ(read_file(dir / "in.csv"), input);
}

TEST(vandrel, PassesRowsWithNaNCoordinatesThroughAndCountsThem) {
  ScratchDir dir;
  const int n = 600;
  std::string csv = noisy_sphere_csv(n, 0.02);
  // Rows 10, 20 and 30 lose a coordinate, as the empty cells of a depth image do.
  std::vector<std::size_t> line_start{0};
  for (std::size_t at = csv.find('\n'); at != std::string::npos; at = csv.find('\n', at + 1))
    line_start.push_back(at + 1);
  for (const std::size_t row : {30, 20, 10}) {
    const std::size_t x = line_start[row + 1];  // after the header line
    csv.replace(x, csv.find(',', x) - x, "nan");
  }
  write_file(dir / "in.csv", csv);
  const PointFile in = read_point_file(dir / "in.csv");

  for (const std::string quiet : {"", "--quiet "}) {
    SCOPED_TRACE(quiet);
    const Outcome r = run(dir, quiet + "in.csv out.csv");
    ASSERT_EQ(r.code, 0) << r.err;
    const bool told =
        r.err.find("\n3 rows have a non-finite coordinate and pass through unchanged\n") != std::string::npos;
    EXPECT_EQ(told, quiet.empty()) << r.err;
    const PointFile out = read_point_file(dir / "out.csv");
    ASSERT_EQ(out.size, n);
    std::int64_t moved = 0;
    for (std::int64_t row = 0; row < n; ++row) {
      const auto x = static_cast<std::size_t>(row);
      const auto y = static_cast<std::size_t>(n + row);
      if (row % 10 == 0 && row > 0 && row <= 30) {
        EXPECT_TRUE(std::isnan(out.xyz[x])) << row;
        EXPECT_EQ(out.xyz[y], in.xyz[y]) << row;
      } else {
        EXPECT_FALSE(std::isnan(out.xyz[x])) << row;
        moved += out.xyz[x] != in.xyz[x];
      }
    }
    EXPECT_GT(moved, n / 2);
    EXPECT_EQ(std::get<TextTable>(out.layout).extra_text, std::get<TextTable>(in.layout).extra_text);
  }
}

TEST(vandrel, LeavesNoTemporaryFileBehind) {
  ScratchDir dir;
  write_file(dir / "in.csv", noisy_sphere_csv(400, 0.01));
  const std::string given = " --quiet --sigma 0.01 --density 30";

  // Past the file size limit the write fails (SIGXFSZ is ignored) and cleans up.
  const Outcome limited = run(dir, "in.csv out.xyz" + given, "ulimit -f 4");
  EXPECT_EQ(limited.code, 1);
  EXPECT_NE(limited.err.find("vandrel: cannot write 'out.xyz'"), std::string::npos) << limited.err;
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.csv"});

  // The temporary name of an output name at the length limit still fits.
  const std::string longest = std::string(251, 'a') + ".xyz";
  const Outcome long_name = run(dir, "in.csv " + longest + given);
  EXPECT_EQ(long_name.code, 0) << long_name.err;
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{longest, "in.csv"}));
}

// Starts the program in `dir` and sends it `signal_number` as soon as its temporary output
// appears. Returns the wait status, or nothing when the run ended before it was seen.
std::optional<int> signal_while_writing(const ScratchDir& dir, const std::vector<std::string>& args,
                                        int signal_number) {
  std::vector<char*> argv{const_cast<char*>(VANDREL_BINARY)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  pid_t child = 0;
  const int spawned = posix_spawn(&child, VANDREL_BINARY, nullptr, nullptr, argv.data(), environ);
  std::filesystem::current_path(here);
  if (spawned != 0) return std::nullopt;
  // The output being written: a hidden temporary file, or an unnamed one among the
  // program's open files (shown as "DIR/#inode (deleted)").
  const auto writing = [&] {
    for (const std::string& name : dir.listing())
      if (name.ends_with(".tmp")) return true;
    std::error_code ec;
    for (std::filesystem::directory_iterator fd("/proc/" + std::to_string(child) + "/fd", ec), end; !ec && fd != end;
         fd.increment(ec)) {
      std::error_code unread;
      const std::string target = std::filesystem::read_symlink(fd->path(), unread).string();
      if (!unread && target.starts_with(dir.path().string() + "/#")) return true;
    }
    return false;
  };
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (writing()) {
      kill(child, signal_number);
      waitpid(child, &status, 0);
      return status;
    }
  }
  return std::nullopt;
}

TEST(vandrel, RefusesAnOutputFolderItCannotWriteBeforeReading) {
  ScratchDir dir;
  write_file(dir / "in.csv", noisy_sphere_csv(400, 0.01));
  const Outcome missing = run(dir, "in.csv nowhere/out.xyz --sigma 0.01 --density 30");
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("vandrel: cannot write 'nowhere/out.xyz': the folder 'nowhere' does not exist"),
            std::string::npos) << missing.err;
  EXPECT_EQ(missing.err.find("Reading"), std::string::npos) << missing.err;
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.csv"});
}

TEST(vandrel, RemovesTheTemporaryOutputWhenStoppedBySignal) {
  ScratchDir dir;
  // Three points pass through the filter at once; their long extra fields make the write last.
  std::string content;
  for (const char* row : {"0 0 0 ", "1 0 0 ", "2 0 0 "}) content.append(row).append(8 << 20, 'a').append("\n");
  write_file(dir / "in.xyz", content);
  // SIGKILL cannot be caught: only an unnamed temporary file leaves nothing behind.
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
    SCOPED_TRACE(signal_number);
    std::optional<int> status;
    for (int attempt = 0; attempt < 5 && !status; ++attempt) {
      status = signal_while_writing(dir, {"in.xyz", "out.xyz", "--quiet", "--sigma", "1", "--density", "1"},
                                    signal_number);
      std::filesystem::remove(dir / "out.xyz");
    }
    if (!status) GTEST_SKIP() << "every run finished before its temporary file was seen";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == signal_number) << *status;
    EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.xyz"});
  }
}

TEST(vandrel, RunningOutOfMemoryIsAnErrorNotACrash) {
  // An address-space limit far below what 300000 points need: every allocation that fails,
  // in any thread, ends the run with "out of memory" and exit code 1, writing nothing.
  ScratchDir dir;
  const int n = 300000;
  write_file(dir / "in.csv", noisy_sphere_csv(n, 0.5 / std::sqrt(n / (4.0 * std::numbers::pi))));
  for (const char* threads : {"1", "2"}) {
    SCOPED_TRACE(threads);
    const Outcome r = run(dir, std::string("--quiet --sigma 0.01 --density 23873 --threads ") + threads + " in.csv out.csv",
                          "prlimit --as=41943040 --pid $$");
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("out of memory"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.csv"));
  }
}

TEST(vandrel, AnswersVersion) {
  ScratchDir dir;
  const Outcome version = run(dir, "--version");
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "vandrel 1.0.0\n");
}

}  // namespace
}  // namespace vandrel
