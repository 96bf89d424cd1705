// --memory-limit: the sizes it takes and the limits it refuses.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>

#include "cli/memory_limit.h"
#include "vandrel/error.h"
#include "scratch_dir.h"

namespace vandrel {
namespace {

TEST(parse_memory_size, ReadsPowersOf1024AndRefusesTheRest) {
  struct Case {
    std::string text;
    std::int64_t bytes;
  };
  const Case cases[] = {
      {"1000000", 1000000},
      {"512M", 512LL << 20},
      {"512m", 512LL << 20},
      {"2G", 2LL << 30},
      {"2GiB", 2LL << 30},
      {"2gb", 2LL << 30},
      {"1.5G", 3LL << 29},
      {"64K", 64LL << 10},
      {"1T", 1LL << 40},
      {"100B", 100},
      {"", 0},
      {"G", 0},
      {"-1G", 0},
      {"0", 0},
      {"12Q", 0},
      {"2 G", 0},
      {"2GG", 0},
      {"1e30T", 0},
      {"nan", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_memory_size(c.text), c.bytes);
  }
}

TEST(tile_options_for_limit, LeavesTheTilesWhatTheProcessDoesNotHold) {
  const std::int64_t held = resident_bytes();
  ASSERT_GT(held, 0);
  const TileOptions options = tile_options_for_limit(held + (1LL << 30), 1LL << 20);
  EXPECT_LT(options.memory_bytes, 1LL << 30);
  EXPECT_GT(options.memory_bytes, (1LL << 30) - (64LL << 20));
  // A cloud that fits the limit as one block beside what is held is filtered as one.
  EXPECT_GT(tile_options_for_limit(held + (1LL << 30), 1LL << 20, 1000000, 24000000).block_memory_bytes, 0);
  EXPECT_EQ(tile_options_for_limit(held + (1LL << 30), 1LL << 20, 10000000, 240000000).block_memory_bytes, 0);
  try {
    tile_options_for_limit(held, 0);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.identifier(), "Vandrel:memoryLimit");
    EXPECT_NE(std::string(e.what()).find("give at least"), std::string::npos) << e.what();
  }
}

TEST(vandrel, RefusesAMemoryLimitItCannotKeep) {
  testing::ScratchDir dir;
  std::string cloud;
  for (int i = 0; i < 100; ++i) cloud += std::to_string(i % 10) + " " + std::to_string(i / 10) + " 0\n";
  testing::write_file(dir / "in.xyz", cloud);
  struct Case {
    std::string limit;
    int code;
    std::string message;
  };
  const Case cases[] = {{"1M", 1, "is too small for this cloud"}, {"12Q", 2, "is not a size such as 512M or 2G"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    const std::string command = "cd '" + dir.path().string() + "' && '" VANDREL_BINARY "' in.xyz out.xyz --sigma 0.1 --density 1 --memory-limit " +
                                c.limit + " 2>stderr.txt";
    const int status = std::system(command.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.code);
    const std::string err = testing::read_file(dir / "stderr.txt");
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    std::filesystem::remove(dir / "stderr.txt");
    EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.xyz"});
  }
}

TEST(vandrel, RefusesBeforeReadingAPcdFileTheLimitCannotHoldWhole) {
  // A million points: 12 MB of binary data, or as little compressed data as the header
  // says unpack to 12 MB. Either needs more than 128M read, filtered and written whole.
  testing::ScratchDir dir;
  const std::string header = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 1000000\nHEIGHT 1\n"
                             "POINTS 1000000\n";
  testing::write_file(dir / "binary.pcd", header + "DATA binary\n" + std::string(12000000, '\0'));
  std::string sizes(8, '\0');
  for (int i = 0; i < 4; ++i) {
    sizes[static_cast<std::size_t>(i)] = static_cast<char>((200000 >> (8 * i)) & 0xff);
    sizes[static_cast<std::size_t>(4 + i)] = static_cast<char>((12000000 >> (8 * i)) & 0xff);
  }
  testing::write_file(dir / "packed.pcd", header + "DATA binary_compressed\n" + sizes + std::string(200000, '\0'));
  for (const std::string name : {"binary.pcd", "packed.pcd"}) {
    SCOPED_TRACE(name);
    const std::string command = "cd '" + dir.path().string() + "' && '" VANDREL_BINARY "' " + name +
                                " out.pcd --sigma 0.1 --density 1 --memory-limit 128M 2>stderr.txt";
    const int status = std::system(command.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
    const std::string err = testing::read_file(dir / "stderr.txt");
    EXPECT_NE(err.find("vandrel: '" + name + "' is read whole"), std::string::npos) << err;
    EXPECT_NE(err.find("give at least"), std::string::npos) << err;
    EXPECT_EQ(err.find("Reading"), std::string::npos) << err;
  }
  std::filesystem::remove(dir / "stderr.txt");
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"binary.pcd", "packed.pcd"}));
}

TEST(vandrel, StopsATiledRunAtOnceOnCtrlC) {
  testing::ScratchDir dir;
  // 200000 points of a plane: a run of many seconds, stopped after one and a half.
  std::string cloud;
  for (int i = 0; i < 200000; ++i) {
    cloud += std::to_string(i % 150) + "." + std::to_string(i % 7) + " " + std::to_string(i / 150) + ".5 " +
             std::to_string(std::sin(i) * 0.3) + "\n";
  }
  testing::write_file(dir / "in.xyz", cloud);
  const testing::Interrupted run = testing::interrupt_program(
      {(dir / "in.xyz").string(), (dir / "out.xyz").string(), "--quiet", "--sigma", "0.3", "--density", "1",
       "--memory-limit", "1G"},
      std::chrono::milliseconds(1500));
  EXPECT_LT(run.seconds, 3.0);
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGINT) << run.status;
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.xyz"});
}

}  // namespace
}  // namespace vandrel
