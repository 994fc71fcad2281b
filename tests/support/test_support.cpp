#include "support/test_support.hpp"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace quorvex::testing {

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

bool corpusAvailable() { return std::filesystem::is_directory(QUORVEX_CORPUS_DIR); }

std::vector<std::uint8_t> corpusFile(const std::string& relativePath) {
  return readFile(std::filesystem::path(QUORVEX_CORPUS_DIR) / relativePath);
}

std::vector<std::string> corpusFiles() {
  std::vector<std::string> files;
  const std::filesystem::path root(QUORVEX_CORPUS_DIR);
  if (!corpusAvailable()) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.push_back(std::filesystem::relative(entry.path(), root).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::uint8_t> repositoryText(std::size_t size) {
  std::vector<std::filesystem::path> sources;
  for (const char* folder : {"src", "include"}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(std::filesystem::path(QUORVEX_SOURCE_DIR) / folder)) {
      if (entry.is_regular_file()) sources.push_back(entry.path());
    }
  }
  std::sort(sources.begin(), sources.end());
  std::vector<std::uint8_t> text;
  for (const auto& path : sources) {
    if (text.size() >= size) break;
    const std::vector<std::uint8_t> file = readFile(path);
    text.insert(text.end(), file.begin(), file.end());
  }
  text.resize(std::min(text.size(), size));
  return text;
}

namespace {

std::uint64_t littleEndianAt(const std::vector<std::uint8_t>& bytes, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes.at(at + static_cast<std::size_t>(i));
  return value;
}

// Where the machine code of an ELF64 file stands: its ".text" section. Other sections
// (relocations, symbols) come first and can be megabytes long in instrumented builds.
std::pair<std::size_t, std::size_t> textSection(const std::vector<std::uint8_t>& elf) {
  const std::size_t table = littleEndianAt(elf, 0x28, 8);
  const std::size_t entrySize = littleEndianAt(elf, 0x3A, 2);
  const std::size_t entries = littleEndianAt(elf, 0x3C, 2);
  const std::size_t names = littleEndianAt(elf, table + entrySize * littleEndianAt(elf, 0x3E, 2) + 0x18, 8);
  for (std::size_t i = 0; i < entries; ++i) {
    const std::size_t entry = table + entrySize * i;
    const std::size_t name = names + littleEndianAt(elf, entry, 4);
    if (elf.size() > name + 6 && std::equal(elf.begin() + static_cast<std::ptrdiff_t>(name),
                                            elf.begin() + static_cast<std::ptrdiff_t>(name + 6), ".text")) {
      return {littleEndianAt(elf, entry + 0x18, 8), littleEndianAt(elf, entry + 0x20, 8)};
    }
  }
  throw std::runtime_error("no .text section in the test program");
}

}  // namespace

std::vector<std::uint8_t> ownProgram(std::size_t size) {
  const std::vector<std::uint8_t> program = readFile("/proc/self/exe");
  const auto [start, length] = textSection(program);
  if (start > program.size() || length > program.size() - start) throw std::runtime_error("cut .text section");
  const auto first = program.begin() + static_cast<std::ptrdiff_t>(start);
  return {first, first + static_cast<std::ptrdiff_t>(std::min(length, size))};
}

TemporaryFolder::TemporaryFolder(const std::string& name)
    : path_(std::filesystem::temp_directory_path() / ("quorvex-" + name + "-" + std::to_string(::getpid()))) {
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::uint8_t> skewedBytes(std::size_t size, std::uint64_t seed) {
  TestRandom random(seed);
  std::vector<std::uint8_t> bytes;
  bytes.reserve(size);
  while (bytes.size() < size) {
    const std::uint32_t r = random.next();
    const auto value = static_cast<std::uint8_t>((r & 3) == 0 ? r >> 24 : 'a' + (r >> 8) % 6);
    const std::size_t run = (r >> 20) % 7 == 0 ? 1 + (r >> 4) % 12 : 1;
    for (std::size_t i = 0; i < run && bytes.size() < size; ++i) bytes.push_back(value);
  }
  return bytes;
}

}  // namespace quorvex::testing
