// Header values from mail peers are untrusted: address extraction must accept any
// bytes. Checks, beyond the sanitizers, the promises callers rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/lib.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tolvane;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // The first byte picks a small buffer size now and then, to exercise the cutting.
    const std::size_t bfsz = size > 0 && data[0] < 16 ? data[0] : TEXT_MAX + 1;
    std::string raw = "previous";
    const bool ok = rfc_raw_email(text, raw, bfsz);
    if (!ok && !raw.empty()) std::abort();
    if (ok) {
        if (bfsz > 0 && raw.size() > bfsz - 1) std::abort();
        // What was found is a piece of the text with an "@" (unless cut before it).
        if (text.find(raw) == std::string_view::npos) std::abort();
        if (raw.size() < bfsz - 1 && raw.find('@') == std::string::npos) std::abort();
    }

    const std::string fixed = lib_fix_email(text);
    if (fixed.size() > TEXT_MAX) std::abort();
    if (text.substr(0, TEXT_MAX).find('@') != std::string_view::npos) {
        // Some word holds the "@": the result is that word, lower-cased and cut.
        if (fixed.size() > 500) std::abort();
        for (char c : fixed)
            if (c >= 'A' && c <= 'Z') std::abort();
    }
    return 0;
}
