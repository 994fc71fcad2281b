#include "support/test_support.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

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

std::vector<std::uint8_t> ownProgram(std::size_t size) {
  std::vector<std::uint8_t> program = readFile("/proc/self/exe");
  // Past the ELF and program headers, where the code starts.
  const std::size_t start = std::min<std::size_t>(program.size(), 4096);
  program.erase(program.begin(), program.begin() + static_cast<std::ptrdiff_t>(start));
  program.resize(std::min(program.size(), size));
  return program;
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
