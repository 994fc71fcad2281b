// The real programs, run as a user would: exit status, "out", console lines exactly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "quorvex/archive_listing.hpp"
#include "quorvex/archive_writer.hpp"
#include "quorvex/version.hpp"
#include "driver/cli_fixture.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using namespace cli;

// A context-mixing block of 100 MB from an empty payload: many seconds of decoding.
std::vector<std::uint8_t> slowArchive() {
  ArchiveWriter writer(WriterOptions{.integrityChecks = false});
  writer.addCmParams(20, 18, 0);
  BlockFields slow;
  slow.codecKind = 3;
  slow.unpackedSize = 100'000'000;
  writer.addBlock(slow, {});
  return writer.bytes();
}

TEST_F(Cli, DecodesAnArchiveToOut) {
  ArchiveWriter writer;
  writer.addStoredBwtBlock(bytesOf("hello, "));
  writer.addStoredBwtBlock(bytesOf("world\n"));
  writeFile(dir_ / "a.qvx", writer.bytes());
  const Result result = decode("a.qvx ignored extra arguments");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Decoding BWT block 7->0\nDecoding BWT block 6->0\ndone 13 bytes!\n");
  EXPECT_EQ(result.err, "quorvex: warning: only the first archive, a.qvx, is decoded; -d decodes each of them\n");
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
  EXPECT_EQ(readFile(dir_ / "out"), bytesOf("precious"));
  // The reason goes to standard error; -q silences it, and the variable brings it back.
  EXPECT_TRUE(result.err.starts_with("quorvex: broken.qvx: block 1 (archive offset ")) << result.err;
  result = decode("-q broken.qvx");
  EXPECT_EQ(result.out, "error!\n");
  EXPECT_EQ(result.err, "");

  result = decode("-q broken.qvx", "QUORVEX_EXPLAIN=1");
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
  writeFile(dir_ / "slow.qvx", slowArchive());
  const std::string command = "cd '" + dir_.string() + "' && ('" QUORVEX_CLI_PATH "' slow.qvx > stdout.txt & " +
                              "pid=$!; i=0; while set -- out.partial-*; [ ! -e \"$1\" ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done; " +
                              "kill -TERM $pid; wait $pid; echo $? > status.txt) 2>shell.err";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(readFile(dir_ / "status.txt"), bytesOf("143\n"));  // ended by SIGTERM
  EXPECT_EQ(readFile(dir_ / "out"), bytesOf("precious"));
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename().string().find("out.partial"), std::string::npos);
  }
}


TEST_F(Cli, OutputGoesWhereAskedAndOnlyOutIsReplacedUnasked) {
  writeFile(dir_ / "a.qvx", helloArchive());
  writeFile(dir_ / "out", bytesOf("old"));
  writeFile(dir_ / "dest", bytesOf("precious"));
  Result result = decode("-o dest a.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "quorvex: dest exists; use -f to replace it\n");
  EXPECT_EQ(readFile(dir_ / "dest"), bytesOf("precious"));

  result = decode("-f -o dest a.qvx");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kHelloLines);
  EXPECT_EQ(readFile(dir_ / "dest"), bytesOf("hello, world\n"));
  EXPECT_EQ(readFile(dir_ / "out"), bytesOf("old"));

  result = decode("-q --output=new a.qvx");  // a new file needs no -f; -q keeps only the last line
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "done 13 bytes!\n");
  EXPECT_EQ(readFile(dir_ / "new"), bytesOf("hello, world\n"));

  result = decode("a.qvx");  // the format's "out" is replaced as it always was
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(readFile(dir_ / "out"), bytesOf("hello, world\n"));
}

TEST_F(Cli, StandardOutputCarriesOnlyTheDataThroughAPipe) {
  writeFile(dir_ / "a.qvx", helloArchive());
  Result result = shell("'" QUORVEX_CLI_PATH "' -c a.qvx | cat > piped");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, kHelloLines);  // the console lines moved to standard error
  EXPECT_EQ(readFile(dir_ / "piped"), bytesOf("hello, world\n"));
  EXPECT_FALSE(fs::exists(dir_ / "out"));
  // An archive read from standard input, through a pipe, named "-".
  result = shell("cat a.qvx | '" QUORVEX_CLI_PATH "' -q -c - > piped");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "done 13 bytes!\n");
  EXPECT_EQ(readFile(dir_ / "piped"), bytesOf("hello, world\n"));
}

TEST_F(Cli, TestModeWritesNothingAndFailsOnDamage) {
  ArchiveWriter writer;
  const auto data = testing::skewedBytes(6000, 5);
  writer.addBwtBlock(data);
  writer.addLzBlock(data);
  auto archive = writer.bytes();
  writeFile(dir_ / "good.qvx", archive);
  archive[archive.size() / 2] ^= 0x10;  // inside a payload
  writeFile(dir_ / "bad.qvx", archive);

  Result result = decode("-t good.qvx");
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.out.ends_with("done 12000 bytes!\n")) << result.out;
  result = decode("-t -v good.qvx bad.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("good.qvx:\n"), std::string::npos);
  EXPECT_TRUE(result.out.ends_with("error!\n")) << result.out;
  EXPECT_NE(result.err.find("quorvex: bad.qvx: "), std::string::npos) << result.err;
  // Nothing but the captured streams and the two archives.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(Cli, ListingShowsTheSampleBlockByBlock) {
  const Result result = decode("-l -v '" QUORVEX_SOURCE_DIR "/samples/sample.qvx'");
  ASSERT_EQ(result.status, 0) << result.err;
  // The sample holds one block per codec (scripts/make-sample.sh), the audio last.
  std::vector<std::string> codecs;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string offset, record, index, codec;
    if (fields >> offset >> record >> index >> codec && record == "block") codecs.push_back(codec);
  }
  EXPECT_EQ(codecs, (std::vector<std::string>{"stored", "BWT", "LZ", "LZ", "CM", "audio"}));
  const auto expected = readFile(QUORVEX_SOURCE_DIR "/samples/sample.out");
  EXPECT_NE(result.out.find("6 blocks: 9736 bytes packed, " + std::to_string(expected.size()) + " bytes from their codecs"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.out.find("segment   0: "), std::string::npos);
  EXPECT_NE(decode("-l -vv '" QUORVEX_SOURCE_DIR "/samples/sample.qvx'").out.find("segment   0: "), std::string::npos);

  writeFile(dir_ / "not.qvx", bytesOf("plain text"));
  const Result refused = decode("-l not.qvx");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("not a Quorvex archive"), std::string::npos);
}

TEST_F(Cli, SalvageKeepsTheWholeBlocksBeforeAFailure) {
  ArchiveWriter writer(WriterOptions{.integrityChecks = false});
  const auto first = testing::skewedBytes(1000, 6);
  const auto second = testing::skewedBytes(500, 7);
  writer.addStoredBwtBlock(first);
  writer.addStoredBwtBlock(second);
  const std::size_t brokenAt = writer.bytes().size();
  BlockFields broken;
  broken.sizePresent = 0;
  broken.payload = bytesOf("abc");
  broken.bwtPrimaryIndex = 3;
  writer.addBlock(broken, {});
  writeFile(dir_ / "a.qvx", writer.bytes());
  const std::string where = "block 2 (archive offset " + std::to_string(brokenAt) + ")";

  Result result = decode("-v a.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.out.ends_with("error!\n"));
  EXPECT_NE(result.err.find(where + ": BWT primary index 3"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(dir_ / "out"));

  result = decode("--salvage a.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.out.ends_with("Decoding BWT block 3->0\nerror!\n"));
  EXPECT_NE(result.err.find("stopped at " + where), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("1500 bytes"), std::string::npos) << result.err;
  auto kept = first;
  kept.insert(kept.end(), second.begin(), second.end());
  EXPECT_EQ(readFile(dir_ / "out"), kept);

  // A damaged byte that still decodes: the check after its block fails, and only the
  // blocks that checks vouched for are kept.
  ArchiveWriter checked;
  checked.addStoredBwtBlock(first);
  checked.addStoredBwtBlock(second);
  checked.addStoredBwtBlock(first);
  auto damaged = checked.bytes();
  const ArchiveListing listing = listArchive(damaged);
  const ListedRecord& third = listing.records[7];  // header, opening check, block, check, block, check
  ASSERT_EQ(third.blockIndex, 2u);
  damaged[third.offset + 1 + 4 + 100] ^= 0x01;  // head byte, packed size, then the payload
  writeFile(dir_ / "checked.qvx", damaged);
  result = decode("-q --salvage checked.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("stopped at a failed integrity check"), std::string::npos) << result.err;
  EXPECT_EQ(readFile(dir_ / "out"), kept);
}

TEST_F(Cli, NumbersAreStrictAndUsageErrorsTouchNothing) {
  writeFile(dir_ / "in", testing::skewedBytes(3000, 8));
  writeFile(dir_ / "a.qvx", helloArchive());
  for (const char* arguments :
       {"-z -b 12abc in", "-z -b -3 in", "-z -b 0 in", "-z -b ' 12' in", "-z -b 99999999999999999999999 in",
        "-z -b 101048577 in", "-z -S delta=sometimes in", "-z --codec zip in", "-T 2x a.qvx", "-T -1 a.qvx",
        "--memlimit 5Q a.qvx", "-b 100 a.qvx", "--bogus a.qvx", "-t -z in", "-c -o x a.qvx", "-d -o x a.qvx a.qvx"}) {
    const Result result = decode(arguments);
    EXPECT_EQ(result.status, 2) << arguments;
    EXPECT_TRUE(result.err.starts_with("quorvex: ")) << arguments << ": " << result.err;
    EXPECT_EQ(result.out, "") << arguments;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);  // in, a.qvx

  // 1K is 1024 bytes: three stored blocks of 1024, 1024 and 952.
  Result result = decode("-z -b 1K --codec stored -o k.qvx in");
  ASSERT_EQ(result.status, 0) << result.err;
  result = decode("-T 1 --memlimit 1GiB k.qvx");
  EXPECT_EQ(result.out, "Decoding BWT block 1024->0\nDecoding BWT block 1024->0\nDecoding BWT block 952->0\n"
                        "done 3000 bytes!\n");
}

TEST_F(Cli, CreateNamesTheArchiveAndReadsEveryInputToItsEnd) {
  const auto data = testing::skewedBytes(4000, 9);
  writeFile(dir_ / "in.bin", data);
  Result result = decode("-z in.bin");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  const auto made = readFile(dir_ / "in.bin.qvx");
  result = decode("-z -9 in.bin");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "quorvex: in.bin.qvx exists; use -f to replace it\n");
  EXPECT_EQ(readFile(dir_ / "in.bin.qvx"), made);
  EXPECT_EQ(decode("-z -f --codec stored in.bin").status, 0);
  EXPECT_NE(readFile(dir_ / "in.bin.qvx"), made);

  // An archive named while its input was still being read is kept, not replaced: the
  // input is a pipe that gets its data only after "mine" stands at the archive's name.
  result = shell("mkfifo pipe && { '" QUORVEX_CLI_PATH "' -z -o late.qvx pipe & sleep 0.3; echo mine > late.qvx;"
                 " cat in.bin > pipe; wait $!; }");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(readFile(dir_ / "late.qvx"), std::vector<std::uint8_t>({'m', 'i', 'n', 'e', '\n'}));

  result = decode("-z in.bin in.bin");  // two files and no name for their archive
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("-o"), std::string::npos);

  // /proc reports a size of 0 for its files; standard input has no size at all.
  result = shell("cat in.bin | '" QUORVEX_CLI_PATH "' -z -o s.qvx /proc/self/status - && '" QUORVEX_CLI_PATH
                 "' -q -c s.qvx > back");
  ASSERT_EQ(result.status, 0) << result.err;
  const auto back = readFile(dir_ / "back");
  ASSERT_GT(back.size(), data.size() + 5);
  EXPECT_EQ(std::string(back.begin(), back.begin() + 5), "Name:");
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.end() - static_cast<std::ptrdiff_t>(data.size())));

  // After --, names that start with '-' are files.
  result = decode("-z -o -dash.qvx -- in.bin");
  ASSERT_EQ(result.status, 0) << result.err;
  result = decode("-q -- -dash.qvx");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(readFile(dir_ / "out"), data);
}

// The archive is written out as it is made: the same bytes from a file, from standard
// input and through a FIFO, to a file or to standard output; a device that takes
// nothing fails the run.
TEST_F(Cli, ArchivesAreTheSameFromFilesAndPipes) {
  auto data = testing::repositoryText(40000);
  const auto binary = testing::skewedBytes(30000, 3);
  data.insert(data.end(), binary.begin(), binary.end());
  writeFile(dir_ / "in", data);
  writeFile(dir_ / "empty", {});
  for (const std::string level : {"-1", "-3", "-6"}) {
    for (const std::string name : {"in", "empty"}) {
      SCOPED_TRACE(level + " " + name);
      Result result = decode("-z -f " + level + " -o file.qvx " + name);
      ASSERT_EQ(result.status, 0) << result.err;
      result = shell("'" QUORVEX_CLI_PATH "' -z " + level + " -c - < " + name + " > stdin.qvx");
      ASSERT_EQ(result.status, 0) << result.err;
      result = shell("rm -f fifo && mkfifo fifo && { cat " + name + " > fifo & '" QUORVEX_CLI_PATH "' -z -f " + level +
                     " -o fifo.qvx fifo; }");
      ASSERT_EQ(result.status, 0) << result.err;
      const auto made = readFile(dir_ / "file.qvx");
      EXPECT_EQ(readFile(dir_ / "stdin.qvx"), made);
      EXPECT_EQ(readFile(dir_ / "fifo.qvx"), made);
      result = decode("-q -c file.qvx > back");
      ASSERT_EQ(result.status, 0) << result.err;
      EXPECT_EQ(readFile(dir_ / "back"), name == "in" ? data : std::vector<std::uint8_t>{});
    }
  }
  const Result result = shell("mknod full c 1 7 && '" QUORVEX_CLI_PATH "' -z -c in > full");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("file write error"), std::string::npos) << result.err;
}

// The largest resident size among the children this test process has waited for, in
// KiB (each test runs in a process of its own).
long childrenPeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_maxrss;
}

// The maker reads its input into a buffer of 64 MiB; a file of some kilobytes must not
// touch all of it (zeroing it first took 73 MB of memory for a 137 KB file; the
// program needs some 10 MB, about 55 under the address sanitizer).
TEST_F(Cli, ASmallFileIsMadeInLittleMemory) {
  writeFile(dir_ / "in", testing::repositoryText(100000));
  const Result result = decode("-z -1 -T 1 -c in > in.qvx");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_LT(childrenPeakKiB(), 64 * 1024);
}

TEST_F(Cli, CreatedArchivesDecodeWithEveryCodecAndLevel) {
  const auto text = testing::repositoryText(30000);
  const auto binary = testing::skewedBytes(20000, 10);
  writeFile(dir_ / "text", text);
  writeFile(dir_ / "binary", binary);
  fs::copy_file(QUORVEX_SOURCE_DIR "/samples/sample.wav", dir_ / "tone.wav");
  auto both = text;
  both.insert(both.end(), binary.begin(), binary.end());
  for (const std::string arguments :
       {"--codec stored", "--codec bwt -S text=always", "--codec lz -S delta=always", "--codec cm", "-1", "-9",
        "-b 7000 --codec auto"}) {
    Result result = decode("-z -f -o made.qvx " + arguments + " text binary");
    ASSERT_EQ(result.status, 0) << arguments << ": " << result.err;
    result = decode("-q made.qvx");
    EXPECT_EQ(result.status, 0) << arguments << ": " << result.err;
    EXPECT_EQ(readFile(dir_ / "out"), both) << arguments;
  }
  Result result = decode("-z -o audio.qvx --codec audio tone.wav --codec lz text");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(decode("-q audio.qvx").status, 0);
  auto expected = readFile(dir_ / "tone.wav");
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(readFile(dir_ / "out"), expected);
  result = decode("-z -o no.qvx --codec audio text");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("text: refused as audio: not a PCM WAV file"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(dir_ / "no.qvx"));
}

TEST_F(Cli, HelpAndVersion) {
  Result result = decode("--help");
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.out.starts_with("Usage: quorvex [OPTION]... [ARCHIVE]\n"));
  EXPECT_NE(result.out.find("concatenation"), std::string::npos);
  result = decode("-V");
  EXPECT_EQ(result.status, 0);
  // The program reports the library's version, the project's as CMake gives it.
  EXPECT_EQ(version(), QUORVEX_PROJECT_VERSION);
  EXPECT_EQ(result.out, "quorvex " + std::string(version()) + " (archive format version 9)\n");
}

// Runs the program with standard error on a pseudo-terminal and standard output into
// a file; ends it with SIGTERM once the terminal shows `until`, or `grace` seconds after
// its temporary output file appeared, or after `limit` seconds. status, when given,
// receives the wait status.
std::string runOnTerminal(const fs::path& dir, const std::vector<std::string>& arguments, const std::string& until,
                          double grace, int* status = nullptr, int limit = 120) {
  int terminal = -1;
  const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  if (child == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    const int file = ::open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(file, STDOUT_FILENO);
    std::vector<char*> argv{const_cast<char*>(QUORVEX_CLI_PATH)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(QUORVEX_CLI_PATH, argv.data());
    ::_exit(127);
  }
  std::string shown;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(limit);
  std::optional<Clock::time_point> started;
  bool stopped = false;
  for (;;) {
    pollfd poll{terminal, POLLIN, 0};
    if (::poll(&poll, 1, 50) > 0) {
      char buffer[4096];
      const ssize_t got = ::read(terminal, buffer, sizeof buffer);
      if (got <= 0) break;  // the child is gone
      shown.append(buffer, static_cast<std::size_t>(got));
    }
    if (!started) {
      for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().starts_with("out.partial")) started = Clock::now();
      }
    }
    const bool seen = !until.empty() && shown.find(until) != std::string::npos;
    const bool waited = started && Clock::now() - *started > std::chrono::duration<double>(grace);
    if (!stopped && (seen || waited || Clock::now() > deadline)) {
      ::kill(child, SIGTERM);
      stopped = true;
    }
  }
  int waited = 0;
  ::waitpid(child, &waited, 0);
  ::close(terminal);
  if (status) *status = waited;
  return shown;
}

TEST_F(Cli, ProgressBarOnATerminalOnly) {
  writeFile(dir_ / "slow.qvx", slowArchive());
  // Standard error is a terminal: the bar appears there after a second, with the
  // bytes, the speed and the time left; standard output keeps only the format's line.
  // One thread: it prints a block's line before decoding it (more threads print the
  // lines of a block when it is committed, and the run is stopped before that).
  const std::string shown = runOnTerminal(dir_, {"-T", "1", "slow.qvx"}, " left", 60);
  EXPECT_NE(shown.find("\r0%  "), std::string::npos) << shown;
  EXPECT_NE(shown.find("/s  "), std::string::npos) << shown;
  EXPECT_NE(shown.find(" left"), std::string::npos) << shown;
  EXPECT_EQ(readFile(dir_ / "stdout.txt"), bytesOf("Decoding CM block 0->100000000\n"));
  // -q: no bar, however long the work.
  const std::string quiet = runOnTerminal(dir_, {"-q", "slow.qvx"}, "", 1.6);
  EXPECT_EQ(quiet, "");
  // Not a terminal (the other tests): standard error stays empty on success.
}

// -d with no archive reads standard input, but not from a terminal: a usage error, at
// once, instead of waiting for a person to type an archive.
TEST_F(Cli, DecompressWithoutAnArchiveRefusesATerminalAsItsInput) {
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"-d"}, {"--decompress", "-c"}}) {
    int status = -1;
    const std::string shown = runOnTerminal(dir_, arguments, "", 0, &status, 10);
    ASSERT_TRUE(WIFEXITED(status)) << arguments.back() << ": " << shown;
    EXPECT_EQ(WEXITSTATUS(status), 2) << arguments.back();
    EXPECT_NE(shown.find("quorvex: -d reads an archive from standard input only when it is not a terminal; name an ARCHIVE"),
              std::string::npos)
        << shown;
    EXPECT_EQ(readFile(dir_ / "stdout.txt"), std::vector<std::uint8_t>{});
  }
}

TEST_F(Cli, MakingAnArchiveShowsItsProgressAndAnInterruptLeavesNothing) {
  writeFile(dir_ / "big", testing::skewedBytes(std::size_t{6} << 20, 3));
  // Context mixing at level 9 codes well under 6 MiB a second: the bar shows the input
  // taken so far against the file's size; SIGTERM then leaves neither archive nor temporary.
  const std::string shown = runOnTerminal(dir_, {"-z", "-9", "--codec", "cm", "-b", "256K", "big"}, " left", 60);
  EXPECT_NE(shown.find(" / 6.0 MiB in, "), std::string::npos) << shown;
  EXPECT_NE(shown.find("/s  "), std::string::npos) << shown;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);  // big, stdout.txt
}


// A WAV file longer than the piece the program reads at a time (made small here) is
// made into audio blocks piece by piece, from a file and from a pipe alike.
TEST_F(Cli, AWavFileLongerThanAPieceStaysAudio) {
  fs::copy_file(QUORVEX_SOURCE_DIR "/samples/sample.wav", dir_ / "tone.wav");
  const std::string pieces = "QUORVEX_TEST_PIECE_SIZE=5001";
  for (const std::string arguments : {"-1 -o file.qvx tone.wav", "-6 -c - < tone.wav > file.qvx",
                                      "--codec audio -o file.qvx tone.wav"}) {
    SCOPED_TRACE(arguments);
    Result result = decode("-z -f " + arguments, pieces);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<std::uint8_t> archive = readFile(dir_ / "file.qvx");
    std::size_t audioBlocks = 0;
    for (const ListedRecord& record : listArchive(archive).records) {
      if (record.kind == ListedRecordKind::block) audioBlocks += record.codec == ListedCodec::audio;
    }
    EXPECT_EQ(audioBlocks, (fs::file_size(dir_ / "tone.wav") + 5000) / 5001);
    result = decode("-q -f -o back file.qvx");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(dir_ / "back"), readFile(dir_ / "tone.wav"));
  }
}

// A WAV file whose header a piece's end would cut (and one whose first samples it would
// cut too soon to tell) still becomes audio: the reader carries its start into the next piece.
TEST_F(Cli, AWavFileStartingAtAPieceEndStaysAudio) {
  const std::vector<std::uint8_t> tone = readFile(QUORVEX_SOURCE_DIR "/samples/sample.wav");
  for (const std::size_t before : {5001 - 20, 5001 - 44 - 100}) {
    SCOPED_TRACE(before);
    std::vector<std::uint8_t> input = testing::repositoryText(before);
    input.insert(input.end(), tone.begin(), tone.end());
    writeFile(dir_ / "joined", input);
    Result result = decode("-z -f -1 -c - < joined > joined.qvx", "QUORVEX_TEST_PIECE_SIZE=5001");
    ASSERT_EQ(result.status, 0) << result.err;
    std::size_t audioBytes = 0;
    for (const ListedRecord& record : listArchive(readFile(dir_ / "joined.qvx")).records) {
      if (record.kind == ListedRecordKind::block && record.codec == ListedCodec::audio) audioBytes += record.codecOutputSize;
    }
    EXPECT_GT(audioBytes, tone.size() - 5001);  // every piece of the file's samples, the first too
    result = decode("-q -f -o back joined.qvx");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(dir_ / "back"), input);
  }
}

}  // namespace
}  // namespace quorvex
