// The page renderer: template files with "||" markers for variables, conditionals,
// includes and functions, written to an output callback.
//
// A template is cut at every "||"; "||name||" writes a variable, "||||" writes
// "||", and a name that is an internal function (ifdef, ifequal, iflower,
// ifinstr, iftrue, else, endif, define, undef, include, localtime, url_encode,
// java_url_encode, html_encode, inc, dec) or a row of the owner's function
// table takes its arguments from the markers that follow:
//
//   ||ifequal||mode||ip||Client counts||else||Other counts||endif||
//   ||begin_rows||<tr><td>||html_encode||row||</td></tr>||end_rows||
//
// An argument's value is the variable of that name when there is one, else the
// argument text itself.
//
// With an escape installed (tpl_setup_escape; the web pages install HTML escaping),
// every "||name||" is written through it, and "||raw||name||" writes the value as
// it is, for the few values a page builds as markup on purpose.
//
// Ownership: the renderer owns no variables; it reads and changes them through
// the callbacks its owner installs (tpl_setup_if), and writes through the owner's
// output callback (tpl_stream_setup). The function table is borrowed and must
// outlive the renderer. A renderer belongs to one thread; its conditional depth,
// mode bits and argument collection live as long as it does, so a collection may
// span several chunks of a file, and a rendering that ends inside a false section
// leaves output suppressed for the next one.
//
// Limits: files are read in line-aligned chunks of at most TPL_CHUNK characters
// (a line longer than that is cut where the chunk ends, and a marker split there is
// not recognised); formatted output is cut at 999 characters; encoded values at
// 999; includes nest at most TPL_INCLUDE_DEPTH deep (deeper ones, such as a file
// that includes itself, are refused with a log line), and an include name loses
// every "../" so that it stays inside the template directory.
//
//   auto t = tpl_init();
//   tpl_setup_path(t.get(), "/usr/local/tolvane/web");
//   tpl_setup_if(t.get(), &vars, my_get, nullptr, my_rmv, my_set);
//   tpl_stream_setup(t.get(), [&](const char* p, std::size_t n) { out.append(p, n); });
//   tpl_display_file(t.get(), "main.htm");
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/containers.h"

namespace tolvane {

enum TplMode : unsigned {
    TplEndif = 1,
    TplElse = 2,
    TplIfdef = 4,
    TplIfEqual = 8,
    TplIfLower = 16,
    TplIfInStr = 32,
    TplDefine = 64,
    TplUnDef = 128,
    TplInclude = 256,
    TplLocaltime = 512,
    TplUrlEncode = 1024,
    TplHtmlEncode = 2048,
    TplNoWrite = 4096,
    TplSkip = 8192,
    TplUserFn = 16384,
    TplInc = 65536,
    TplDec = 131072,
    TplJavaUrlEncode = 262144,
    TplIfTrue = 524288,
    TplRaw = 1048576,
    TplInternalFn = 987135 | TplRaw,
};

inline constexpr std::size_t TPL_CHUNK = 999;
inline constexpr int TPL_INCLUDE_DEPTH = 16;
inline constexpr std::string_view TPL_MARK = "||";

class tpl;
// Tokens of a template, in order; also the argument list handed to user functions.
using TplTokens = queue<std::string>;

// A user function: the renderer, its arguments (for a block, the tokens of the block
// body, the last of them the "||" before the end marker) and the table's data.
using tpl_fn = void (*)(tpl* t, TplTokens* args, void* data);

// One row of a function table; the table ends with a row whose name is null.
struct tpl_fns {
    const char* name;
    tpl_fn fn;
    const char* end;  // name of the marker that ends a block, or null
    int want;         // number of arguments (0 with end: a block)
};

using TplGet = std::function<std::optional<std::string>(void* data, const std::string& name)>;
using TplRmv = std::function<void(void* data, const std::string& name)>;
using TplSet = std::function<void(void* data, const std::string& name, const std::string& value)>;
using TplWrite = std::function<void(const char* bytes, std::size_t count)>;
using TplEscape = std::function<std::string(std::string_view value)>;

struct TplFileCloser {
    void operator()(std::FILE* f) const noexcept {
        if (f) std::fclose(f);
    }
};

class tpl {
  public:
    tpl() = default;
    ~tpl();  // stops being the current renderer
    tpl(const tpl&) = delete;
    tpl& operator=(const tpl&) = delete;

    TplGet get;
    TplGet getnxt;
    TplRmv rmv;
    TplSet set;
    void* if_data = nullptr;
    void* fn_data = nullptr;
    TplWrite write;
    TplEscape escape;  // applied to every variable written, unless "raw" asks otherwise
    int last = 0;
    int level = 0;
    int cur_fn = -1;
    std::unique_ptr<std::FILE, TplFileCloser> debug;
    std::string path;
    const tpl_fns* fn = nullptr;
    unsigned mode = 0;
    // Argument collection in progress: what has been taken, and how many are still
    // wanted (-1 for a block, which runs to its end marker).
    TplTokens args;
    int wanted = 0;
    // Depth of nested includes being rendered.
    int depth = 0;
};

// A renderer whose callbacks find nothing, writing to standard output. The first one
// made while none is current becomes the current renderer of tpl_print and friends.
std::unique_ptr<tpl> tpl_init();
void tpl_free(std::unique_ptr<tpl>& t);
// A non-null table replaces the functions (and ends any collection); data is always set.
void tpl_setup(tpl* t, const tpl_fns* table, void* fn_data);
void tpl_setup_path(tpl* t, std::string_view path);
// Sets the variable data; each non-null callback replaces the present one.
void tpl_setup_if(tpl* t, void* data, TplGet get, TplGet getnxt, TplRmv rmv, TplSet set);
void tpl_stream_setup(tpl* t, TplWrite write);
// Variables are written through escape from now on (null: as they are).
void tpl_setup_escape(tpl* t, TplEscape escape);
// Copies everything written from now on to file (appended); 1 when it could be opened.
int tpl_debug(tpl* t, const std::string& file);
// The template directory joined with name.
std::string tpl_file(const tpl* t, std::string_view name);

// Cuts text into tokens at every "||" (each marker a token of its own; no empty tokens).
TplTokens tpl_cut(std::string_view text);
// Renders a template file; 0 (with a log line, nothing written) when it cannot be opened.
int tpl_display_file(tpl* t, std::string_view name);
// Renders tokens; 0 when they ran out while a collection was still incomplete.
int tpl_display(tpl* t, const TplTokens* tokens);
// Renders a text as one chunk (a convenience over tpl_cut and tpl_display).
int tpl_display_text(tpl* t, std::string_view text);

// Output: formatted (cut at 999 characters) or raw, to the stream and the copy; or to
// the copy only.
void tpl_print_tpl(tpl* t, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void tpl_write_tpl(tpl* t, const char* bytes, std::size_t count);
void tpl_debug_print_tpl(tpl* t, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The same on the current renderer (standard output when there is none). Only the
// thread that owns the current renderer may use these.
tpl* tpl_current();
void tpl_print(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void tpl_write(const char* bytes, std::size_t count);
// A complete error page whose message is the formatted text.
void tpl_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tolvane
