// The program at the edges a user reaches: devices and FIFOs as outputs, inputs that
// never end, outputs that are their own inputs, full standard output, odd levels.
// Device nodes are made in the test's own folder (c 1 3 behaves as a null device,
// c 1 7 as a full one, c 1 5 as an endless source of zeros): a test never points the
// program at the system's nodes, since a fault under test could replace them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/cli_fixture.hpp"
#include "quorvex/archive_writer.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using namespace cli;

class CliEdges : public Cli {
 protected:
  // Makes a character device node of the memory driver (major 1) in the test's folder.
  bool makeDevice(const std::string& name, unsigned minor) {
    return ::mknod((dir_ / name).c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0;
  }
  bool isCharacterDevice(const std::string& name) {
    struct stat status {};
    return ::lstat((dir_ / name).c_str(), &status) == 0 && S_ISCHR(status.st_mode);
  }
  // Only the named entries (and nothing else: no temporary files) stand in the folder.
  std::size_t entries() { return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator())); }
};

TEST_F(CliEdges, DevicesAndFifosAreWrittenToNeverReplaced) {
  if (!makeDevice("null", 3) || !makeDevice("full", 7)) GTEST_SKIP() << "mknod needs privileges";
  writeFile(dir_ / "a.qvx", helloArchive());
  writeFile(dir_ / "in", testing::skewedBytes(3000, 11));

  // A null device takes the output without -f (how a decoder is timed), and with it.
  for (const char* arguments : {"-o null a.qvx", "-f -o null a.qvx", "-q -z -o null in", "-z -f -o null in"}) {
    const Result result = decode(arguments);
    EXPECT_EQ(result.status, 0) << arguments << ": " << result.err;
    EXPECT_TRUE(isCharacterDevice("null")) << arguments;
  }
  // A full device fails the run, which says so, and stays a device.
  Result result = decode("-f -o full a.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "full: file write error\n");
  EXPECT_TRUE(isCharacterDevice("full"));
  result = decode("-z -o full in");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "full: file write error\n");
  EXPECT_TRUE(isCharacterDevice("full"));

  // A FIFO's reader gets the output, and the FIFO stays a FIFO.
  result = shell("mkfifo pipe && { timeout 10 cat pipe > got & '" QUORVEX_CLI_PATH "' -q -o pipe a.qvx; wait; }");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "done 13 bytes!\n");
  EXPECT_EQ(readFile(dir_ / "got"), bytesOf("hello, world\n"));
  EXPECT_TRUE(fs::is_fifo(dir_ / "pipe"));

  // A regular file still needs -f.
  writeFile(dir_ / "kept", bytesOf("precious"));
  result = decode("-o kept a.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(readFile(dir_ / "kept"), bytesOf("precious"));
  EXPECT_EQ(entries(), 7u);  // null, full, a.qvx, in, pipe, got, kept
}

TEST_F(CliEdges, WhatIsNotAnArchiveIsTurnedAwayAtItsFirstBytes) {
  if (!makeDevice("zero", 5)) GTEST_SKIP() << "mknod needs privileges";
  // Read whole, an endless source would never let the run end; the timeout ends a
  // program that reads on, with status 124.
  for (const char* command : {"zero", "- < zero", "-c zero", "-T 1 -q zero"}) {
    const Result result = decode(command, "timeout 20");
    EXPECT_EQ(result.status, 1) << command;
    EXPECT_TRUE(result.out == "error!\n" || result.err.starts_with("error!\n")) << command << ": " << result.out << result.err;
  }
  Result result = decode("-t zero", "timeout 20");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "error!\n");
  result = decode("-l zero", "timeout 20");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("not a Quorvex archive"), std::string::npos) << result.err;
  // A FIFO whose writer never stops.
  result = shell("mkfifo pipe && { yes > pipe & timeout 20 '" QUORVEX_CLI_PATH "' pipe; echo $?; kill $!; }");
  EXPECT_EQ(result.out, "error!\n1\n");
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(CliEdges, AnOutputThatIsItsOwnInputIsRefused) {
  writeFile(dir_ / "a.qvx", helloArchive());
  const auto text = testing::skewedBytes(5000, 12);
  writeFile(dir_ / "in", text);
  fs::create_hard_link(dir_ / "in", dir_ / "link");
  for (const char* arguments : {"-f -o a.qvx a.qvx", "-z -f -o in in", "-z -f -o link a.qvx in"}) {
    const Result result = decode(arguments);
    EXPECT_EQ(result.status, 1) << arguments;
    EXPECT_NE(result.err.find("name another"), std::string::npos) << arguments << ": " << result.err;
  }
  EXPECT_EQ(readFile(dir_ / "a.qvx"), helloArchive());
  EXPECT_EQ(readFile(dir_ / "in"), text);
}

TEST_F(CliEdges, WriteErrorsOnStandardOutputFailTheRun) {
  if (!makeDevice("full", 7)) GTEST_SKIP() << "mknod needs privileges";
  writeFile(dir_ / "a.qvx", helloArchive());
  for (const char* arguments : {"-l a.qvx", "-t a.qvx", "--help", "-V", "-c a.qvx"}) {
    const Result result = decode(std::string(arguments) + " > full");
    EXPECT_EQ(result.status, 1) << arguments;
    EXPECT_NE(result.err.find("write error"), std::string::npos) << arguments << ": " << result.err;
  }
  // The bare form's lines are the format's console: its exit status stays the format's.
  const Result result = decode("a.qvx > full");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(readFile(dir_ / "out"), bytesOf("hello, world\n"));
}

TEST_F(CliEdges, LevelsOutOfRangeAreUsageErrors) {
  writeFile(dir_ / "in", testing::skewedBytes(100, 13));
  for (const char* arguments : {"-z -0 in", "-z -10 in", "-z -19 in", "-0", "-z -99 in"}) {
    const Result result = decode(arguments);
    EXPECT_EQ(result.status, 2) << arguments;
    EXPECT_NE(result.err.find("-1"), std::string::npos) << arguments << ": " << result.err;
    EXPECT_NE(result.err.find("-9"), std::string::npos) << arguments << ": " << result.err;
  }
  EXPECT_EQ(entries(), 1u);
  // After "--" such a name is a file.
  EXPECT_EQ(decode("-z -q -o a.qvx -- in").status, 0);
}

}  // namespace
}  // namespace quorvex
