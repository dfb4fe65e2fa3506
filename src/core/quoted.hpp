// quoted.hpp: bytes read from a file, quoted for an error message as plain ASCII.
#pragma once

#include <string>
#include <string_view>

namespace tessaray::core {

// `text` in single quotes.  The bytes come from a file and may be anything:
// every byte that is not printable ASCII, and the quote and backslash
// themselves, are written as backslash escapes (\xNN), so that a message is
// always plain ASCII text.  Only the first 80 bytes are shown; a longer text
// is followed by "... (N bytes)".
std::string quoted(std::string_view text);

}  // namespace tessaray::core
