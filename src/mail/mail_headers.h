// Mail headers as a list: name and value in order of arrival.
//
// A received mail stores each name once (names compared exactly), the latest value
// winning; a mail to send lists the headers it carries in the order they go out.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvane {

using mail_headers = std::vector<std::pair<std::string, std::string>>;

// The value of a header, null when absent; names compared exactly or without case.
const std::string* mail_header_find(const mail_headers& h, std::string_view name,
                                    bool nocase = false);
// Sets (replaces) or adds a header.
void mail_header_set(mail_headers& h, std::string_view name, std::string_view value);

}  // namespace tolvane
