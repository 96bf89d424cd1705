#pragma once
// A fresh directory for one test's files, removed with everything in it afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

extern char** environ;

namespace vandrel::testing {

class ScratchDir {
 public:
  ScratchDir() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            ("vandrel-" + std::string(test->test_suite_name()) + "-" + test->name() + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }

  /// Names of the files in the directory, sorted.
  std::vector<std::string> listing() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path path_;
};

inline void write_file(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}


#ifdef VANDREL_BINARY
struct Outcome {
  int code;  // the exit code, -1 for a run ended by a signal
  std::string err;
  std::string out;
};

/// Runs the program with `args` (shell words) in `dir`, standard input from `input`;
/// `before` is a shell command run first in the same shell (a ulimit, say).
inline Outcome run_program(const ScratchDir& dir, const std::string& args, const std::string& input = "/dev/null",
                           const std::string& before = "true") {
  const std::string command = "cd '" + dir.path().string() + "' && " + before + " && '" VANDREL_BINARY "' " + args +
                              " <" + input +
                              " >stdout.bin 2>stderr.txt";
  const int status = std::system(command.c_str());
  Outcome result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(dir / "stderr.txt"), read_file(dir / "stdout.bin")};
  std::filesystem::remove(dir / "stderr.txt");
  std::filesystem::remove(dir / "stdout.bin");
  return result;
}

struct Interrupted {
  int status;      // of waitpid
  double seconds;  // from the signal to the end of the run
};

/// Starts the program with `args` and sends it SIGINT after `delay`.
inline Interrupted interrupt_program(const std::vector<std::string>& args, std::chrono::milliseconds delay) {
  std::vector<char*> argv{const_cast<char*>(VANDREL_BINARY)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, VANDREL_BINARY, nullptr, nullptr, argv.data(), environ) != 0) return {-1, 0.0};
  std::this_thread::sleep_for(delay);
  const auto signalled = std::chrono::steady_clock::now();
  kill(child, SIGINT);
  int status = 0;
  waitpid(child, &status, 0);
  return {status, std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count()};
}
#endif

}  // namespace vandrel::testing
