// Decodes an archive into memory with the installed library and prints the size of
// the output and its first line.
//   decode_to_memory ARCHIVE
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <quorvex/decoder.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: decode_to_memory ARCHIVE\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "%s: cannot be opened\n", argv[1]);
    return 1;
  }
  const std::vector<std::uint8_t> archive{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};

  quorvex::OutputImage output;
  const quorvex::DecodeResult result = quorvex::decodeArchive(archive, output, quorvex::DecodeOptions{});
  if (!result.ok()) {
    std::fprintf(stderr, "%s: %s\n", argv[1], result.reason.c_str());
    return 1;
  }
  const std::string text(output.bytes().begin(), output.bytes().end());
  std::printf("%zu bytes; first line: %s\n", output.size(), text.substr(0, text.find('\n')).c_str());
  return 0;
}
