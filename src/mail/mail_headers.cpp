// Mail header lists (see mail_headers.h).
#include "mail/mail_headers.h"

#include "foundation/lib.h"

namespace tolvane {

const std::string* mail_header_find(const mail_headers& h, std::string_view name, bool nocase) {
    for (const auto& [n, v] : h)
        if (nocase ? iequals(n, name) : n == name) return &v;
    return nullptr;
}

void mail_header_set(mail_headers& h, std::string_view name, std::string_view value) {
    for (auto& [n, v] : h)
        if (n == name) {
            v.assign(value);
            return;
        }
    h.emplace_back(std::string(name), std::string(value));
}

}  // namespace tolvane
