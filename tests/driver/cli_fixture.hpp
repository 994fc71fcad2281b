// The fixture of the tests that run the real program: a fresh working directory per
// test, shell command lines run in it, their exit status and streams captured.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "quorvex/archive_writer.hpp"
#include "support/test_support.hpp"

namespace quorvex {

namespace cli {
namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Each test gets a fresh working directory, removed afterwards.
class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::make_unique<testing::TemporaryFolder>(
        std::string("cli-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    dir_ = folder_->path();
  }
  void TearDown() override { folder_.reset(); }

  // Runs a shell command line in the test's directory.
  Result shell(const std::string& script) {
    const std::string command = "cd '" + dir_.string() + "' && (" + script + ") > stdout.txt 2> stderr.txt";
    const int raw = std::system(command.c_str());
    Result result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    const auto out = readFile(dir_ / "stdout.txt");
    const auto err = readFile(dir_ / "stderr.txt");
    result.out.assign(out.begin(), out.end());
    result.err.assign(err.begin(), err.end());
    fs::remove(dir_ / "stdout.txt");
    fs::remove(dir_ / "stderr.txt");
    return result;
  }
  Result decode(const std::string& arguments, const std::string& environment = "") {
    return shell(environment + " '" QUORVEX_CLI_PATH "' " + arguments);
  }

  std::unique_ptr<testing::TemporaryFolder> folder_;
  fs::path dir_;
};

inline std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// The archive of two stored blocks that decodes to "hello, world\n".
inline std::vector<std::uint8_t> helloArchive() {
  ArchiveWriter writer;
  writer.addStoredBwtBlock(bytesOf("hello, "));
  writer.addStoredBwtBlock(bytesOf("world\n"));
  return writer.bytes();
}

inline constexpr const char* kHelloLines = "Decoding BWT block 7->0\nDecoding BWT block 6->0\ndone 13 bytes!\n";

}  // namespace cli
}  // namespace quorvex
