// The command-line decoder: quorvex [archive]
//
// Reads the archive whole, decodes it to "out" in the current directory and prints
// "done %d bytes!". The output streams to a temporary file beside "out" that is
// renamed into place only when every block decoded, so "out" is either complete or
// untouched, whatever happens: a damaged archive, a full disk, SIGINT or SIGTERM.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "driver/file_io.hpp"
#include "driver/output_file.hpp"
#include "quorvex/decoder.hpp"

namespace {

constexpr const char* kDefaultArchivePath = "archive.qvx";
constexpr const char* kOutputPath = "out";
// Set to any non-empty value to have a failure explained on standard error.
constexpr const char* kExplainVariable = "QUORVEX_EXPLAIN";

void printToStdout(std::string_view line) { std::fwrite(line.data(), 1, line.size(), stdout); }

int failRun(const quorvex::DecodeResult& result) {
  std::fputs("error!\n", stdout);
  std::fflush(stdout);
  const char* explain = std::getenv(kExplainVariable);
  if (explain && *explain) std::fprintf(stderr, "quorvex: %s\n", result.reason.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* archivePath = argc > 1 ? argv[1] : kDefaultArchivePath;
  const std::vector<std::uint8_t> archive = quorvex::driver::readWholeFile(archivePath);

  quorvex::driver::removeOutputOnSignals();
  quorvex::driver::OutputFile output;
  if (!output.open(kOutputPath)) quorvex::driver::fatalError("file write error", kOutputPath);
  quorvex::DecodeOptions options;
  options.console = printToStdout;
  const quorvex::DecodeResult result = quorvex::decodeArchive(archive, output, options);
  if (!result.ok()) output.discard();
  if (result.status == quorvex::DecodeStatus::outOfMemory) quorvex::driver::fatalError("out of memory", nullptr);
  if (result.status == quorvex::DecodeStatus::outputFailed) quorvex::driver::fatalError("file write error", kOutputPath);
  if (!result.ok()) return failRun(result);

  if (!output.commit()) quorvex::driver::fatalError("file write error", kOutputPath);
  std::printf("done %d bytes!\n", static_cast<std::int32_t>(static_cast<std::uint32_t>(result.outputSize)));
  return 0;
}
