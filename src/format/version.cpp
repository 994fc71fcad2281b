#include "quorvex/version.hpp"

#include "format/record_stream.hpp"

namespace quorvex {

static_assert(kArchiveFormatVersion == kFormatVersion);

std::string_view version() { return QUORVEX_VERSION; }

}  // namespace quorvex
