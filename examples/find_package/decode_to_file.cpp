// Decodes an archive into a file with the installed library: a quorvex::FileSink makes
// the output appear whole, or leaves the destination as it was.
//   decode_to_file ARCHIVE OUTPUT
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include <quorvex/decoder.hpp>
#include <quorvex/file_sink.hpp>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: decode_to_file ARCHIVE OUTPUT\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "%s: cannot be opened\n", argv[1]);
    return 1;
  }
  const std::vector<std::uint8_t> archive{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};

  quorvex::FileSink output;
  if (!output.open(argv[2])) {
    std::fprintf(stderr, "%s: cannot be written\n", argv[2]);
    return 1;
  }
  const quorvex::DecodeResult result = quorvex::decodeArchive(archive, output, quorvex::DecodeOptions{});
  // On failure the sink, going out of scope, removes its temporary file.
  if (!result.ok()) {
    std::fprintf(stderr, "%s: %s\n", argv[1], result.reason.c_str());
    return 1;
  }
  if (!output.commit()) {
    std::fprintf(stderr, "%s: cannot be written\n", argv[2]);
    return 1;
  }
  std::printf("%llu bytes written to %s\n", static_cast<unsigned long long>(result.outputSize), argv[2]);
  return 0;
}
