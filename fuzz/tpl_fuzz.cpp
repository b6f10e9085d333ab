// Renders arbitrary text as a page template, with variables a page really has and
// an include directory of its own (a file that includes itself among them), twice
// over the same renderer, since a rendering may leave state for the next. Checks
// that rendering ends and that the output stays within a bound of the input. The
// include directory is left in the temporary directory, one per fuzzing process.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "foundation/tpl.h"

namespace {

std::string include_dir() {
    static std::string dir = [] {
        namespace fs = std::filesystem;
        fs::path d = fs::temp_directory_path() / ("tpl_fuzz." + std::to_string(getpid()));
        fs::create_directories(d);
        std::ofstream(d / "head.inc") << "<h1>||title||</h1>||include||head.inc||\n";
        std::ofstream(d / "row.inc") << "||ifequal||mode||ip||Client||else||Other||endif||\n";
        return d.string();
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tolvane;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> vars = {
        {"title", "tolvane"}, {"mode", "ip"}, {"row", "<b>&\"x\"</b>"}, {"n", "41"}};

    auto t = tpl_init();
    tpl_setup_path(t.get(), include_dir());
    tpl_setup_if(
        t.get(), &vars,
        [](void* d, const std::string& name) -> std::optional<std::string> {
            auto* m = static_cast<std::map<std::string, std::string>*>(d);
            auto it = m->find(name);
            if (it == m->end()) return std::nullopt;
            return it->second;
        },
        nullptr,
        [](void* d, const std::string& name) {
            static_cast<std::map<std::string, std::string>*>(d)->erase(name);
        },
        [](void* d, const std::string& name, const std::string& value) {
            auto* m = static_cast<std::map<std::string, std::string>*>(d);
            if (m->size() < 64) (*m)[name] = value.substr(0, 999);
        });
    std::size_t written = 0;
    tpl_stream_setup(t.get(), [&](const char*, std::size_t n) { written += n; });
    tpl_display_text(t.get(), text);
    tpl_display_text(t.get(), text);
    // Each marker can at most write one value of 999 characters (or an include's
    // whole depth of files, which are short here).
    const std::size_t bound = 2 * (size + 1) * (999 + 16 * 64);
    if (written > bound) std::abort();
    tpl_free(t);
    return 0;
}
