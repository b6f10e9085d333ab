// Text, matching, path and process utilities used by every part of the gateway.
//
// All work on 8-bit text; case folding is ASCII only. Texts that the gateway
// keeps (addresses, SMS texts, subjects, paths, file lines) are cut at
// TEXT_MAX characters, explicitly, by the callers that the limit applies to.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

inline constexpr std::size_t TEXT_MAX = 999;

// ---- matching ----
// Rules A: "*" any run (also empty), "?" one character, everything else itself;
// the whole subject must match; case-sensitive. Null on either side gives 0.
// Never backtracks exponentially: cost is at most subject length times pattern length.
int wild_match(const char* text, const char* wild);
int wild_match(std::string_view text, std::string_view wild);
// Both lists are words separated by blanks, tabs or commas; 1 when any word of the
// first matches any pattern of the second.
int wild_list(const char* list, const char* wilds);
int wild_list(std::string_view list, std::string_view wilds);
// Rules B: rules A plus [set], [^set], ranges and "\" escapes. Pattern first.
int match_wild(const char* wild, const char* text);

// "true", "yes", "y", "on", "checked", "selected" in any case.
int istrue(const char* text);
// "false", "no", "n", "off" in any case.
int isfalse(const char* text);

// ---- C texts that may be null (settings values, transport answers) ----
// True for a text with at least one character.
inline bool has_text(const char* s) {
    return s != nullptr && *s != '\0';
}
// The text, or "" for null.
inline const char* or_empty(const char* s) {
    return s != nullptr ? s : "";
}

// ---- cutting text ----
// Words of text separated by any of delims (runs count as one); empty delims gives the
// whole text as one word.
std::vector<std::string> s_split_words(std::string_view text, std::string_view delims);
// Fields cut at every delimiter (a,,b gives a, "", b); with skip_trail a run of delimiters
// counts as one. At most max fields; the last runs to the end of the text.
std::vector<std::string> ssplit(std::string_view text, std::string_view delims, std::size_t max,
                                bool skip_trail);
// Words cut at runs of sep; at most tmax - 1 words, text after the last is dropped.
std::vector<std::string> token_split(std::string_view text, std::string_view sep, std::size_t tmax);

// ---- the bounded formatter ----
// The program's own formatter: like the C one for the conversions c C d i o u x X
// e E f g G s S p n with flags, width and precision ("*" too); a null text prints "(NULL)".
// Returns the number of characters written, or -1 when the output filled the buffer (then
// the buffer is not terminated).
int lib_vsnprintf(char* buf, std::size_t size, const char* fmt, va_list ap);
// Format into buf; on overflow cut to size - 1 characters; returns the length written.
int lprintf(char* buf, std::size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Format into a new text of at most limit characters.
std::string vstrprintf(std::size_t limit, const char* fmt, va_list ap);
// Appends at most `limit` characters of the formatted text to out (no allocation beyond
// out's own growth).
void vstrcat(std::string& out, std::size_t limit, const char* fmt, va_list ap);
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));  // TEXT_MAX
std::string strnprintf(std::size_t limit, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
// Append to out so that out holds at most size - 1 characters.
void lpcat(std::string& out, std::size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// ---- e-mail and dates ----
// The bare address from a header value; false (raw empty) without a usable "@".
bool rfc_raw_email(std::string_view email, std::string& raw, std::size_t bfsz = TEXT_MAX + 1);
// The first word holding "@", lower-cased ("<>" for a null sender); see the log of mail.
std::string lib_fix_email(std::string_view text);
// "Sun, 06 Dec 2026 23:05:21 +1000"; "Bad Time    " when the time cannot be converted.
std::string lib_mail_time(std::time_t when);

// ---- paths, files, process ----
// Joins with exactly one "/"; "\" becomes "/"; an empty path gives the file alone.
std::string attach_path(std::string_view path, std::string_view file,
                        std::size_t bfsz = TEXT_MAX + 1);
std::string file_filename(std::string_view path);
std::string currentdir();
// Creates dir (and with make_all its parents); an existing directory is success.
// Failure logs "Error creating directory '%s', <system text>" and returns 0.
int file_mkdir(const std::string& dir, bool make_all);
// Entries of dir (not . and ..) whose names match wild (rules A) and can be stat'ed, as
// full paths, in the order the system lists them. Logs "Error opening dir '%s', ..." and
// returns an empty list when the directory cannot be opened.
std::vector<std::string> file_list(const std::string& dir, const char* wild = "*");
std::string system_error(int err);
// Forks into the background: the parent exits 0, the child calls setsid and points
// stdin/stdout/stderr at /dev/null. -1 on failure.
int lib_detach();
void lib_msleep(long ms);
bool safe_localtime(std::time_t t, std::tm& out);
bool safe_gmtime(std::time_t t, std::tm& out);

// ---- strings ----
int s_stricmp(std::string_view a, std::string_view b);
int s_strnicmp(std::string_view a, std::string_view b, std::size_t n);
bool iequals(std::string_view a, std::string_view b);
bool istarts_with(std::string_view text, std::string_view prefix);
std::size_t strstrnc(std::string_view hay, std::string_view needle);  // npos when absent
std::string strlwr(std::string_view text);
std::string strupr(std::string_view text);
// Trailing and leading white space (blank, tab, CR, LF, FF, VT) removed.
std::string_view strtrm(std::string_view text);
std::string_view strtrm_right(std::string_view text);
// Cut at the first CR or LF.
std::string_view strip_eol_r(std::string_view text);
// Cut to at most n characters.
std::string cut(std::string_view text, std::size_t n = TEXT_MAX);
// Decimal conversion as atoi: leading blanks, optional sign, digits; 0 for anything else.
int s_atoi(const char* text);

}  // namespace tolvane
