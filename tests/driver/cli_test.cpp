// The real programs, run as a user would: exit status, "out", console lines exactly.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "quorvex/archive_writer.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

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
    dir_ = fs::temp_directory_path() /
           ("quorvex-cli-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Result run(const std::string& program, const std::string& arguments, const std::string& environment = "") {
    const std::string command = "cd '" + dir_.string() + "' && " + environment + " '" + program + "' " + arguments +
                                " > stdout.txt 2> stderr.txt";
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
    return run(QUORVEX_CLI_PATH, arguments, environment);
  }

  fs::path dir_;
};

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

TEST_F(Cli, DecodesAnArchiveToOut) {
  ArchiveWriter writer;
  writer.addStoredBwtBlock(bytesOf("hello, "));
  writer.addStoredBwtBlock(bytesOf("world\n"));
  writeFile(dir_ / "a.qvx", writer.bytes());
  const Result result = decode("a.qvx ignored extra arguments");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Decoding BWT block 7->0\nDecoding BWT block 6->0\ndone 13 bytes!\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(readFile(dir_ / "out"), bytesOf("hello, world\n"));
  // Only "out" is left behind: no temporary files.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(Cli, HeaderOnlyArchiveWritesAnEmptyOut) {
  writeFile(dir_ / "archive.qvx", ArchiveWriter().bytes());
  const Result result = decode("");  // the default archive path
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "done 0 bytes!\n");
  EXPECT_TRUE(fs::exists(dir_ / "out"));
  EXPECT_EQ(fs::file_size(dir_ / "out"), 0u);
}

TEST_F(Cli, MissingOrUnreadableArchive) {
  Result result = decode("missing.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "missing.qvx: file open error\n");
  fs::create_directory(dir_ / "folder");
  result = decode("folder");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "folder: error reading\n");
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(Cli, FailuresLeaveAnExistingOutUntouched) {
  writeFile(dir_ / "out", bytesOf("precious"));
  auto header = ArchiveWriter().bytes();
  header[3] = 'X';
  writeFile(dir_ / "bad.qvx", header);
  Result result = decode("bad.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "error!\n");

  ArchiveWriter writer;
  writer.addStoredBwtBlock(bytesOf("fine"));
  BlockFields broken;
  broken.codecKind = 0;
  broken.sizePresent = 0;
  broken.payload = bytesOf("abc");
  broken.bwtPrimaryIndex = 3;
  writer.addBlock(broken, {});
  writeFile(dir_ / "broken.qvx", writer.bytes());
  result = decode("broken.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "Decoding BWT block 4->0\nDecoding BWT block 3->0\nerror!\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(readFile(dir_ / "out"), bytesOf("precious"));

  result = decode("broken.qvx", "QUORVEX_EXPLAIN=1");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("block 1"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("primary index"), std::string::npos) << result.err;
}

TEST_F(Cli, OutThatCannotBeReplacedIsAFileError) {
  writeFile(dir_ / "a.qvx", ArchiveWriter().bytes());
  fs::create_directories(dir_ / "out" / "inside");
  const Result result = decode("a.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "out: file write error\n");
  EXPECT_TRUE(fs::is_directory(dir_ / "out" / "inside"));
}

TEST_F(Cli, AFullDiskIsAFileErrorAndLeavesOutUntouched) {
  // A file size limit stands in for a full disk: writes beyond it fail (EFBIG).
  writeFile(dir_ / "out", bytesOf("precious"));
  ArchiveWriter writer;
  const auto data = testing::skewedBytes(200000, 2);
  writer.addStoredBwtBlock(data);
  writeFile(dir_ / "a.qvx", writer.bytes());
  const Result result = decode("a.qvx", "trap '' XFSZ; ulimit -f 64;");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "Decoding BWT block 200000->0\n");
  EXPECT_EQ(result.err, "out: file write error\n");
  EXPECT_EQ(readFile(dir_ / "out"), bytesOf("precious"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);  // out, a.qvx
}

TEST_F(Cli, SigtermRemovesTheTemporaryFileAndLeavesOutUntouched) {
  writeFile(dir_ / "out", bytesOf("precious"));
  // A context-mixing block of 100 MB from an empty payload: seconds of decoding.
  ArchiveWriter writer(WriterOptions{.integrityChecks = false});
  writer.addCmParams(20, 18, 0);
  BlockFields slow;
  slow.codecKind = 3;
  slow.unpackedSize = 100'000'000;
  writer.addBlock(slow, {});
  writeFile(dir_ / "slow.qvx", writer.bytes());
  const std::string command = "cd '" + dir_.string() + "' && ('" QUORVEX_CLI_PATH "' slow.qvx > stdout.txt & " +
                              "pid=$!; i=0; while ! ls out.partial-* >/dev/null 2>&1 && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done; " +
                              "kill -TERM $pid; wait $pid; echo $? > status.txt) 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(readFile(dir_ / "status.txt"), bytesOf("143\n"));  // ended by SIGTERM
  EXPECT_EQ(readFile(dir_ / "out"), bytesOf("precious"));
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename().string().find("out.partial"), std::string::npos);
  }
}

TEST_F(Cli, PackThenDecodeRoundTrip) {
  const auto text = testing::skewedBytes(5000, 11);
  writeFile(dir_ / "input.bin", text);
  Result result = run(QUORVEX_PACK_PATH, "-b 2000 -o made.qvx stored:input.bin");
  ASSERT_EQ(result.status, 0) << result.err;
  result = decode("made.qvx");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Decoding BWT block 2000->0\nDecoding BWT block 2000->0\nDecoding BWT block 1000->0\n"
                        "done 5000 bytes!\n");
  EXPECT_EQ(readFile(dir_ / "out"), text);

  // The maker never replaces an existing file unless told to.
  const auto before = readFile(dir_ / "made.qvx");
  result = run(QUORVEX_PACK_PATH, "-o made.qvx stored:input.bin");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(readFile(dir_ / "made.qvx"), before);
  result = run(QUORVEX_PACK_PATH, "-f -o made.qvx stored:input.bin");
  EXPECT_EQ(result.status, 0);
}

}  // namespace
}  // namespace quorvex
