// The settings file: a caller-declared key table and the parsed file.
//
// SIni holds the table of typed keys the program declares, the settings read
// from the file (global part and named sections), and the rules by which a
// value, a key's default and its fallback key are resolved. rini is the small
// locked reader that each worker thread uses over the shared table; its
// enumeration of a multi-valued key is private to the walking thread.
//
// Texts returned by lookups point into the table's storage: valid until that key
// is set again in that section, or the table is freed. Never freed by callers.
// Any number of threads may look up at once; stores (sini_set, sini_add_domain and
// their rini forms) belong to start-up, before the readers' threads run.
//
//   auto ini = sini_init(Keys);
//   sini_load(ini.get(), "/etc/tolvane.ini", nullptr);
//   const char* port = sini_getx(ini.get(), SMTP_INPORT, nullptr, nullptr, 0);
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/result.h"

namespace tolvane {
class SIni;
class rini;
}  // namespace tolvane

// The handles are opaque; their deleters live in sini.cpp and rini.cpp so that callers can
// own them through std::unique_ptr without seeing the types.
template <>
struct std::default_delete<tolvane::SIni> {
    void operator()(tolvane::SIni* ini) const noexcept;
};
template <>
struct std::default_delete<tolvane::rini> {
    void operator()(tolvane::rini* r) const noexcept;
};

namespace tolvane {

// Key modes of the table.
enum SIniKeyMode : int { SM_NONE = 0, SM_MULTI = 1 };
// Modes of a stored setting.
enum SIniMode : int { SM_NORMAL = 0, SM_MULTIPART = 1 };

// What a key's value must look like. A value the file gives that does not fit is a
// problem of the file (sini_problems), found when the file is read, so that a typo
// stops the start instead of quietly becoming 0, false or the first mode.
enum class sini_type : unsigned char {
    text,     // anything (also every key with attributes)
    integer,  // a whole number from min to max
    seconds,  // a duration in whole seconds from min to max
    hours,    // a duration in whole hours from min to max
    boolean,  // true, yes, y, on / false, no, n, off (any case)
    choice,   // one of the words of `choices`, separated by "|" (any case); "#": a number
    exact,    // one of the words of `choices`, in exactly that case
    list,     // words separated by blanks and commas, none checked
};
struct sini_kind {
    sini_type type = sini_type::text;
    long min = 0;
    long max = 0;
    const char* choices = nullptr;  // choice: "pair|transceiver"
};

struct sini_table {
    int Id;
    const char* Name;     // null ends the table
    int Mode;             // SM_NONE or SM_MULTI
    const char* Default;  // null: no default
    int Fallback;         // Id of the fallback key, -1 for none
    const char* Format;   // null or "" means "VALUE"
    sini_kind Kind = {};  // left out: text
};

// Whether value (blanks around it aside) fits the key's kind; the reason says how it does
// not ("is none of ..."). An empty value always fits: it reads as the key being unset.
Status sini_value_fits(const sini_table& key, std::string_view value);
// Typed reads of a key in the global part, for the snapshots start-up builds. The
// file's values were checked against their kinds when it was read, so these fall back
// only for a key that is unset or empty (or a value the program set that does not fit).
// Blanks around the value are ignored, as they are by the check. With a section, its
// value comes first and the global part's stands in for a key the section leaves out.
long sini_number(const SIni* ini, int id, long fallback = 0, const char* section = nullptr);
bool sini_truth(const SIni* ini, int id, const char* section = nullptr);  // false when unset
std::string sini_text(const SIni* ini, int id, const char* section = nullptr);  // "" when unset
// A choice's word: blanks around it dropped, its case kept; "" when unset.
std::string sini_word(const SIni* ini, int id, const char* section = nullptr);

// The values of the loaded files that do not fit their keys, one text each naming the
// file, line, key and value: "FILE line N: smpp_port (abc) is not a whole number".
std::vector<std::string> sini_problems(const SIni* ini);

std::unique_ptr<SIni> sini_init(const sini_table* table);
void sini_free(std::unique_ptr<SIni>& ini);
// 1 when the file was read (whatever its lines held); 0 for a null table or an unreadable file.
int sini_load(SIni* ini, const std::string& path, const char* section_keyword = nullptr);
int sini_set(SIni* ini, int id, const char* section, const char* value);
int sini_set_l(SIni* ini, const char* name, const char* section, const char* value);
const char* sini_getx(const SIni* ini, int id, const char* section, const char* part, int count);
const char* sini_getx_l(const SIni* ini, const char* name, const char* section, const char* part,
                        int count);
// The attributes (name, value) of the setting that sini_getx would take the value from,
// in stored order; empty for a plain value, a default, or nothing found.
std::vector<std::pair<std::string, std::string>> sini_attributes(const SIni* ini, int id,
                                                                 const char* section, int count);
int sini_id(const SIni* ini, const char* name);
int sini_domains(const SIni* ini);
const char* sini_domain_name(const SIni* ini, int index);
int sini_add_domain(SIni* ini, const char* name);
const sini_table* sini_keys(const SIni* ini);

std::unique_ptr<rini> rini_init(SIni* ini);
void rini_free(std::unique_ptr<rini>& r);
const char* rini_get(rini* r, int id, const char* section, const char* part);
const char* rini_get_l(rini* r, const char* name, const char* section, const char* part);
const char* rini_get_first(rini* r, int id, const char* section, const char* part);
const char* rini_get_first_l(rini* r, const char* name, const char* section, const char* part);
const char* rini_get_cur(rini* r, const char* part);
const char* rini_get_next(rini* r, const char* part);
int rini_set(rini* r, int id, const char* section, const char* value);
int rini_add_domain(rini* r, const char* name);
SIni* rini_table(rini* r);

}  // namespace tolvane
