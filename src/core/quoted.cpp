// quoted.cpp: bytes read from a file, quoted for an error message as plain ASCII.
#include "core/quoted.hpp"

#include <cstddef>

namespace tessaray::core {

std::string quoted(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    constexpr std::size_t kShown = 80;
    std::string q(1, '\'');
    for (const char c : text.substr(0, kShown)) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && c != '\\' && c != '\'') {
            q.push_back(c);
        } else {
            q += "\\x";
            q.push_back(kHex[b >> 4]);
            q.push_back(kHex[b & 0xF]);
        }
    }
    q += '\'';
    if (text.size() > kShown) q += "... (" + std::to_string(text.size()) + " bytes)";
    return q;
}

}  // namespace tessaray::core
