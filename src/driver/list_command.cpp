// Listing: one line per record, from the descriptors alone (no payload is decoded).
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/commands.hpp"
#include "driver/file_io.hpp"
#include "quorvex/archive_listing.hpp"

namespace quorvex::driver {
namespace {

constexpr const char* kDefaultArchivePath = "archive.qvx";

std::string recordName(const ListedRecord& record) {
  switch (record.kind) {
    case ListedRecordKind::signature:
      return "signature";
    case ListedRecordKind::version:
      return "version";
    case ListedRecordKind::block:
      return std::string("block ") + std::to_string(record.blockIndex);
    case ListedRecordKind::codecParams:
      return "codec params";
    case ListedRecordKind::integrity: {
      static constexpr const char* kKinds[] = {"check (open)", "check", "check (close)"};
      return record.integrityKind < 3 ? kKinds[record.integrityKind] : "check (?)";
    }
    case ListedRecordKind::member:
      return std::string("member ") + std::to_string(record.member + 1);
    case ListedRecordKind::barrier:
      return "barrier";
    case ListedRecordKind::other:
      break;
  }
  return std::string("type ") + std::to_string(record.type);
}

std::string hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", value);
  return text;
}

// The codec parameters and post-stages of a block, or what another record holds.
std::string details(const ListedRecord& record) {
  std::string text;
  const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
  switch (record.kind) {
    case ListedRecordKind::block: {
      if (record.codec == ListedCodec::bwt || record.codec == ListedCodec::bwtStored) {
        add(std::string("primary index ") + std::to_string(record.bwtPrimaryIndex));
      }
      if (record.codec == ListedCodec::audio && record.audioReset) add("reset");
      if (record.codec == ListedCodec::unsupported) add(std::string("codec kind ") + std::to_string(record.codecKind));
      std::string stages;
      for (const ListedStage& stage : record.stages) {
        stages += (stages.empty() ? "" : ", ") + std::string(stage.name);
        if (stage.name == "text") stages.append(" ").append(hex(record.textTransformBits));
        stages += std::string(" (") + std::to_string(stage.sideDataSize) + " B)";
      }
      if (!stages.empty()) add("stages " + stages);
      if (!record.payloadComplete) add("payload cut off by the end of the archive");
      break;
    }
    case ListedRecordKind::codecParams:
      add(std::string("codec id ") + std::to_string(record.codecId));
      if (record.codecId == 7) {
        add(std::string("history ") + std::to_string(record.historySize) + " B, tables 2^" + std::to_string(record.tableBitsA) +
            " and 2^" + std::to_string(record.tableBitsB));
      }
      break;
    case ListedRecordKind::integrity:
      add(std::string("output ") + std::to_string(record.recordedOutputSize) + " B so far");
      break;
    case ListedRecordKind::member:
      add("a fresh window and models from here on");
      break;
    case ListedRecordKind::barrier:
      add("stops decoders that do not know members");
      break;
    default:
      break;
  }
  return text;
}

void printSegments(const ListedRecord& record) {
  for (const ListedSegment& segment : record.segments) {
    std::printf("%10s    segment %3u: %u coded bytes -> %u bytes", "", segment.index, segment.codedLength,
                segment.length);
    if (segment.runStartCoded) std::printf(", run-start coded");
    if (segment.runBytesSaved != 0) std::printf(", byte runs save %u bytes", segment.runBytesSaved);
    std::printf("\n");
  }
}

struct Totals {
  std::uint64_t members = 1;
  std::uint64_t blocks = 0;
  std::uint64_t packed = 0;
  std::uint64_t codecOutput = 0;
  bool recordedOutput = false;  // closing integrity record seen
  std::uint64_t output = 0;
  bool checked = false;         // integrity records seen
  std::vector<std::string> codecs;  // in the order first met

  // The output's size: vouched for by the closing integrity record, or else the
  // codecs' output (the post-stages may change it).
  std::uint64_t unpacked() const { return recordedOutput ? output : codecOutput; }
};

std::string percent(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

// One line per archive, in the manner of xz -l: blocks, packed and unpacked bytes,
// ratio, the codecs used, the check, the name.
void printSummaryHeading() {
  std::printf("%8s %14s %14s %7s  %-20s %-7s %s\n", "Blocks", "Archive", "Unpacked", "Ratio", "Codecs", "Check",
              "Filename");
}

void printSummary(const Totals& totals, std::uint64_t archiveSize, const std::string& name) {
  std::string codecs;
  for (const std::string& codec : totals.codecs) codecs += (codecs.empty() ? "" : ",") + codec;
  // "~": no closing integrity record vouches for the size; it is the codecs' output.
  std::string unpacked = std::to_string(totals.unpacked());
  if (!totals.recordedOutput) unpacked.insert(0, 1, '~');
  std::printf("%8" PRIu64 " %14" PRIu64 " %14s %7s  %-20s %-7s %s\n", totals.blocks, archiveSize, unpacked.c_str(),
              percent(archiveSize, totals.unpacked()).c_str(), codecs.empty() ? "-" : codecs.c_str(),
              totals.checked ? "XXH3-64" : "none", name.c_str());
}

void printTotals(const Totals& totals, std::uint64_t archiveSize) {
  const std::uint64_t output = totals.recordedOutput ? totals.output : totals.codecOutput;
  if (totals.members > 1) std::printf("%" PRIu64 " members, ", totals.members);
  std::printf("%" PRIu64 " blocks: %" PRIu64 " bytes packed, %" PRIu64 " bytes from their codecs", totals.blocks,
              totals.packed, totals.codecOutput);
  if (totals.recordedOutput) {
    std::printf(", %" PRIu64 " bytes of output (integrity records)", totals.output);
  } else {
    std::printf(" (the post-stages may change the output's size)");
  }
  std::printf("\narchive %" PRIu64 " bytes", archiveSize);
  if (output != 0) std::printf(", ratio %.2f%%", 100.0 * static_cast<double>(archiveSize) / static_cast<double>(output));
  std::printf("\n");
}

// Lists one archive: a summary line (verbosity 0), or its records (1; 2 adds the BWT
// segments). Adds its figures to grand. False when it cannot be listed.
bool listOne(const std::string& path, int verbosity, Totals& grand, std::uint64_t& grandArchive) {
  const bool segmentDetail = verbosity >= 2;
  ArchiveInput input;
  if (!openArchiveOrReport(input, path.c_str())) return false;
  const std::span<const std::uint8_t> archive = input.bytes();
  const ArchiveListing listing = listArchive(archive, segmentDetail);
  if (!listing.headerValid) {
    std::fprintf(stderr, "quorvex: %s: not a Quorvex archive (no signature and version records)\n", path.c_str());
    return false;
  }
  if (verbosity >= 1) {
    std::printf("%s:\n%10s  %-14s %-11s %10s %10s  %s\n", path.c_str(), "offset", "record", "codec", "packed",
                "unpacked", "details");
  }
  Totals totals;
  for (const ListedRecord& record : listing.records) {
    if (record.kind == ListedRecordKind::integrity) totals.checked = true;
    if (record.kind == ListedRecordKind::block) {
      const std::string codec(codecName(record.codec));
      if (std::find(totals.codecs.begin(), totals.codecs.end(), codec) == totals.codecs.end()) totals.codecs.push_back(codec);
    }
    if (verbosity == 0) {
      if (record.kind == ListedRecordKind::block) {
        ++totals.blocks;
        totals.packed += record.packedSize;
        totals.codecOutput += record.codecOutputSize;
      }
      if (record.kind == ListedRecordKind::integrity && record.integrityKind == 2) {
        totals.recordedOutput = true;
        totals.output = record.recordedOutputSize;
      }
      continue;
    }
    const bool block = record.kind == ListedRecordKind::block;
    const std::string packed = std::to_string(block ? record.packedSize : record.count);
    const std::string unpacked = block ? std::to_string(record.codecOutputSize) : "";
    const std::string codec = block ? std::string(codecName(record.codec)) : "";
    char line[160];
    std::snprintf(line, sizeof line, "%10" PRIu64 "  %-14s %-11s %10s %10s  ", record.offset, recordName(record).c_str(),
                  codec.c_str(), packed.c_str(), unpacked.c_str());
    std::string text = line + details(record);
    text.erase(text.find_last_not_of(' ') + 1);
    std::printf("%s\n", text.c_str());
    if (segmentDetail) printSegments(record);
    if (block) {
      ++totals.blocks;
      totals.packed += record.packedSize;
      totals.codecOutput += record.codecOutputSize;
    }
    if (record.kind == ListedRecordKind::member) ++totals.members;
    if (record.kind == ListedRecordKind::integrity && record.integrityKind == 2) {
      totals.recordedOutput = true;
      totals.output = record.recordedOutputSize;
    }
  }
  if (verbosity == 0) {
    printSummary(totals, archive.size(), path);
  } else {
    printTotals(totals, archive.size());
  }
  grand.blocks += totals.blocks;
  grand.packed += totals.packed;
  grand.codecOutput += totals.codecOutput;
  grand.output += totals.unpacked();
  grand.recordedOutput = grand.recordedOutput && totals.recordedOutput;
  grand.checked = grand.checked && totals.checked;
  for (const std::string& codec : totals.codecs) {
    if (std::find(grand.codecs.begin(), grand.codecs.end(), codec) == grand.codecs.end()) grand.codecs.push_back(codec);
  }
  grandArchive += archive.size();
  return true;
}

}  // namespace

int runList(const Options& options) {
  std::vector<std::string> paths = options.archives;
  if (paths.empty()) paths.push_back(kDefaultArchivePath);
  int status = 0;
  const int verbosity = options.verbosity;
  if (verbosity == 0) printSummaryHeading();
  Totals grand;
  grand.recordedOutput = true;
  grand.checked = true;
  std::uint64_t grandArchive = 0;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (i > 0 && verbosity > 0) std::printf("\n");
    // An archive that cannot be listed is reported, and the others are still listed.
    if (listOne(paths[i], verbosity, grand, grandArchive)) {
      ++listed;
    } else {
      status = 1;
    }
  }
  if (listed > 1) {
    grand.codecOutput = grand.output;  // each archive's best figure, summed
    if (verbosity == 0) {
      printSummary(grand, grandArchive, "total (" + std::to_string(listed) + " archives)");
    } else {
      std::printf("\ntotal of %zu archives: ", listed);
      printTotals(grand, grandArchive);
    }
  }
  return status;
}

}  // namespace quorvex::driver
