// Feeds the MIME reader a stored mail made from the fuzz input, through a real FILE
// stream as the listener does, with the reader's switches taken from the first byte.
// Checks that the reader ends, never hands out more than it was allowed, and that the
// stream overload sees the same lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "mail/mime.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tolvane;
    if (size == 0) return 0;
    const unsigned flags = data[0];
    std::string mail(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t limit = (flags & 0x10) ? 1 + (flags >> 5) * 40 : 1000;

    auto setup = [&](MIME* m) {
        m->loose_header = flags & 1;
        m->resync = (flags >> 1) & 1;
        m->return_all = (flags >> 2) & 1;
        m->append_lines = (flags >> 3) & 1;
    };

    std::unique_ptr<std::FILE, FileCloser> f(
        mail.empty() ? std::tmpfile() : fmemopen(mail.data(), mail.size(), "r"));
    if (!f) return 0;
    auto m = mime_new();
    auto m2 = mime_new();
    setup(m.get());
    setup(m2.get());
    std::istringstream in(mail);
    std::string raw, bin, raw2, bin2;
    std::size_t lines = 0;
    for (;;) {
        int kind = mime_line(m.get(), f.get(), raw, bin, limit);
        int kind2 = mime_line(m2.get(), in, raw2, bin2, limit);
        if (kind != kind2 || raw != raw2 || bin != bin2 || m->part != m2->part) std::abort();
        if (kind < MIME_END || kind > MIME_HEADER_END) std::abort();
        if (raw.size() >= limit || bin.size() >= limit) std::abort();
        if (kind != MIME_BODY && !bin.empty()) std::abort();
        if (m->part.size() > 100 || m->partlvl < 0 || m->partlvl >= MIME_MAXLEVEL) std::abort();
        if (kind == MIME_END) break;
        // Every line consumes input, apart from the handed-back continuation lines.
        if (++lines > 2 * mail.size() + 8) std::abort();
    }
    // The line decoders on their own, on the raw input.
    std::string out;
    if (mime_decode_base64(mail, out) != static_cast<int>(out.size())) std::abort();
    if (out.size() > mail.size()) std::abort();
    if (mime_decode_quoted(mail, out) != static_cast<int>(out.size())) std::abort();
    if (out.size() > 2000) std::abort();
    return 0;
}
