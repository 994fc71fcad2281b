// The program decodes an archive of several members alike on one thread and on more:
// the same block lines, final lines, exit status and output file, whole or damaged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/cli_fixture.hpp"
#include "quorvex/archive_listing.hpp"
#include "quorvex/archive_writer.hpp"
#include "support/test_support.hpp"

namespace quorvex::cli {
namespace {

// LZ blocks in four members, so that members are the one thing that runs side by side.
std::vector<std::uint8_t> membersArchive(const std::vector<std::uint8_t>& text) {
  ArchiveWriter writer;
  const std::span<const std::uint8_t> all(text);
  for (std::size_t block = 0; block < 12; ++block) {
    if (block != 0 && block % 3 == 0) writer.startMember();
    writer.addLzBlock(all.subspan(block * 5000, 5000));
  }
  return writer.bytes();
}

TEST_F(Cli, MembersDecodeAlikeOnEveryThreadCount) {
  const std::vector<std::uint8_t> text = testing::repositoryText(60000);
  const std::vector<std::uint8_t> archive = membersArchive(text);
  std::vector<std::uint8_t> damaged = archive;
  std::uint64_t lastBlock = 0;
  std::uint64_t lastSize = 0;
  for (const ListedRecord& record : listArchive(archive).records) {
    if (record.kind == ListedRecordKind::block) {
      lastBlock = record.offset;
      lastSize = record.size;
    }
  }
  damaged[lastBlock + lastSize / 2] ^= 0x5A;
  writeFile(dir_ / "whole.qvx", archive);
  writeFile(dir_ / "damaged.qvx", damaged);
  for (const std::string name : {"whole", "damaged"}) {
    SCOPED_TRACE(name);
    const Result one = decode("-d -v -T 1 -o " + name + ".1 " + name + ".qvx");
    EXPECT_EQ(one.status, name == "whole" ? 0 : 1) << one.err;
    EXPECT_NE((one.out + one.err).find("Decoding LZ block"), std::string::npos);
    for (const std::string threads : {"2", "4"}) {
      const Result many = decode("-d -v -T " + threads + " -o " + name + "." + threads + " " + name + ".qvx");
      EXPECT_EQ(many.status, one.status);
      EXPECT_EQ(many.out, one.out);
      EXPECT_EQ(many.err, one.err);
      EXPECT_EQ(fs::exists(dir_ / (name + "." + threads)), fs::exists(dir_ / (name + ".1")));
    }
  }
  EXPECT_TRUE(readFile(dir_ / "whole.1") == text);
  EXPECT_TRUE(readFile(dir_ / "whole.2") == text);
  EXPECT_FALSE(fs::exists(dir_ / "damaged.1"));
}

}  // namespace
}  // namespace quorvex::cli
