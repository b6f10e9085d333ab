// Byte texts for the SMS tests: octets written as upper-case hex and read back, and a
// text repeated, for the expected units and user data the tests compare.
#pragma once

#include <string>
#include <string_view>

namespace tolvane::test {

inline std::string hex(std::string_view bytes) {
    static constexpr char H[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += H[b >> 4];
        out += H[b & 15];
    }
    return out;
}

// Pairs of hex digits back to octets; a last lone digit is dropped.
inline std::string unhex(std::string_view text) {
    std::string out;
    for (std::size_t k = 0; k + 1 < text.size(); k += 2)
        out += static_cast<char>(std::stoi(std::string(text.substr(k, 2)), nullptr, 16));
    return out;
}

inline std::string repeat(std::string_view s, int n) {
    std::string out;
    for (int k = 0; k < n; ++k) out += s;
    return out;
}

}  // namespace tolvane::test
