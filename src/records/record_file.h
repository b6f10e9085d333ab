// What every record file reader shares: whole lines, control bytes, decimal numbers.
//
// The message log, the counter files and the phone pool files are line files written
// by this system; a line cut short by a crash, a stray control byte or a number that
// is not one is the same fault in each, found the same way here. Pure functions over
// text the caller owns.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// One whole line of a record file.
struct record_line {
    std::string_view text;  // without its "\n" and trailing "\r"s
    std::size_t start = 0;  // offset of the line in the file
    int number = 0;         // 1 for the first line
    bool had_cr = false;    // "\r"s were cut from its end
};

// Calls fn for each whole line of data, in order. A last line without its "\n" (an
// append cut short) is not handed out: its offset is returned, else npos.
std::size_t for_each_record_line(std::string_view data,
                                 const std::function<void(const record_line&)>& fn);

// A control byte (tab excepted) or DEL: never part of a record.
bool is_binary(unsigned char c);
// True when text holds a control byte other than allowed (a record delimiter may be one).
bool holds_control_bytes(std::string_view text, char allowed);

// Field values in record lines. A value may hold anything (a "|" in a quoted local part,
// a tab, a line end), so each writer escapes it and each reader undoes that:
// "\\" for a backslash, "\n", "\r", "\t", "\0" for those bytes, and a backslash
// before the delimiter when the delimiter is not a tab. A backslash before anything
// else stays as written, so lines written before values were escaped read as they did.
std::string record_escape(std::string_view value, char delim);
std::string record_unescape(std::string_view field, char delim);
// Offset of the first delimiter at or after from that ends a field (one not escaped),
// npos when there is none.
std::size_t record_find_delim(std::string_view line, char delim, std::size_t from = 0);
// The fields of a line, unescaped: cut at every delimiter that ends a field; a line
// that ends with its delimiter (as every field is written) gives no empty last field.
std::vector<std::string> record_fields(std::string_view line, char delim);

// An optional "-" and 1 to 18 decimal digits, nothing else.
std::optional<long long> parse_decimal(std::string_view s);

}  // namespace tolvane
