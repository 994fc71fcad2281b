#include "driver/file_io.hpp"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace quorvex::driver {
void fatalError(const char* message, const char* path) {
  std::fflush(stdout);
  if (path) std::fprintf(stderr, "%s: ", path);
  std::fprintf(stderr, "%s\n", message);
  std::exit(1);
}

std::vector<std::uint8_t> readWholeFile(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) fatalError("file open error", path);
  std::vector<std::uint8_t> bytes;
  bool complete = false;
  if (std::fseek(file, 0, SEEK_END) == 0) {
    const long size = std::ftell(file);
    // A directory or a pipe reports no usable size; a size beyond a signed 32-bit
    // count is beyond what an archive may hold.
    if (size >= 0 && size <= std::numeric_limits<std::int32_t>::max() && std::fseek(file, 0, SEEK_SET) == 0) {
      bytes.resize(static_cast<std::size_t>(size));
      complete = std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
    }
  }
  std::fclose(file);
  if (!complete) fatalError("error reading", path);
  return bytes;
}

void writeFileAtomically(const char* path, const std::vector<std::uint8_t>& bytes) {
  std::string temporary = std::string(path) + ".partial-XXXXXX";
  const int descriptor = ::mkstemp(temporary.data());
  if (descriptor < 0) fatalError("file write error", path);
  std::FILE* file = ::fdopen(descriptor, "wb");
  bool written = file != nullptr;
  if (written) {
    written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = std::fclose(file) == 0 && written;
  } else {
    ::close(descriptor);
  }
  // mkstemp creates the file private to its owner; give it the usual permissions.
  if (written) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    written = ::chmod(temporary.c_str(), 0666 & ~mask) == 0;
  }
  if (!written || std::rename(temporary.c_str(), path) != 0) {
    std::remove(temporary.c_str());
    fatalError("file write error", path);
  }
}

}  // namespace quorvex::driver
