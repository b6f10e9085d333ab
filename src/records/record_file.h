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
#include <string_view>

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

// An optional "-" and 1 to 18 decimal digits, nothing else.
std::optional<long long> parse_decimal(std::string_view s);

}  // namespace tolvane
