// Text operations of the mail-to-SMS path: turning a mail recipient into a phone
// number and composing the SMS text from a mail's subject, headers and body.
//
// All of them are pure functions of their arguments (plus debug log lines), so the
// message path and the SMS-to-mail side can share them and tests can drive them
// without a transport. Results are cut explicitly: a recipient at TEXT_MAX
// characters, an SMS text at `limit` - 1 characters (the caller passes 1000).
// Texts are UTF-8: every limit counts characters, and a cut never splits one.
//
//   std::string to = fix_phone(strip_email("sms0412345678@gw.example", "sms"), "+61");
//   // to == "+61412345678"
//   std::string text;
//   smart_body("spaces", text, "hello big world", 1000);   // text == "HelloBigWorld"
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// The size of the SMS text buffer of one message: texts hold at most 999 characters.
inline constexpr std::size_t SMS_TEXT_LIMIT = 1000;

// Removes `prefix` from the front of `address` when the address begins with it (letters
// compared without regard to case; a null or empty prefix removes nothing), then cuts the
// address at its last "@". The result holds at most TEXT_MAX characters.
std::string strip_email(std::string_view address, const char* prefix);

// A number beginning with "0" has that "0" replaced by `country` (simply removed when
// `country` is null or empty) and logs "Fixed number (%s) --> (%s)"; any other number is
// returned unchanged. The result holds at most TEXT_MAX characters.
std::string fix_phone(std::string_view number, const char* country);

// How strictly a recipient must be a number (the number_check setting): possible, a known
// country code and a length that country's numbers have; valid, also in a range the number
// library's data lists as allocated. The data ages: ranges opened since it was made fail
// valid, so possible is the default.
enum class number_check { possible, valid };
// "valid" (any case) gives valid; anything else, an unset value included, possible.
number_check number_check_of(const char* setting);

// The destination number of a mail recipient in E.164 form ("+" and digits), or nullopt
// when it is not a phone number by `check`. The local part is taken (cut at the last "@", its
// quotes removed), `prefix` removed from its front as strip_email does, then read as a
// number of the region whose calling code `country` holds ("+61": Australia; null or
// empty: only international forms are understood). Blanks, "-", ".", "/" and brackets
// between the digits are dropped; "+", "00" and the region's own international prefix
// start an international number. Letters, extensions and anything else make it invalid,
// so that no guessed number is ever charged.
std::optional<std::string> phone_destination(std::string_view recipient, const char* prefix,
                                             const char* country,
                                             number_check check = number_check::possible);

// Appends `add` to `text` under the compaction modes of `setting` (the sms_smart value:
// words separated by commas and blanks, at most 20 of them; "spaces" in any case drops
// white space and upper-cases the first letter of `add` and of every word after a run of
// white space). `text` never grows past `limit` - 1 characters; a null `add` appends
// nothing. Returns the new length of `text`.
std::size_t smart_body(const char* setting, std::string& text, const char* add, std::size_t limit);

// Looks up a mail header by name, letter case ignored; nullopt when the mail has none.
using HeaderLookup = std::function<std::optional<std::string_view>(std::string_view name)>;

// Appends the expansion of the sms_format template `tmpl` to `text`, never letting `text`
// exceed `limit` - 1 characters. "$(body)" is the mail body, "$(nl)" a line feed, any other
// "$(Name)" the raw value of that header (nothing when absent); a number written after the
// name ("$(body100)") keeps at most that many characters of the value. A "$(" without a
// closing ")" and everything after it is copied unchanged. Returns the new length.
std::size_t format_sms(std::string_view body, const HeaderLookup& header, std::string_view tmpl,
                       std::string& text, std::size_t limit);

}  // namespace tolvane
