// Lets clang 14 (whose builtins lack __builtin_source_location) compile the code base
// against libstdc++ 12, whose <source_location> then declares nothing. Force-included
// into fuzz builds with -include; a no-op for every compiler that has the builtin.
#pragma once

#if defined(__clang__) && !__has_builtin(__builtin_source_location)
#include <cstdint>

namespace std {
struct source_location {
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             const char* fn = __builtin_FUNCTION(),
                                             uint_least32_t line = __builtin_LINE()) noexcept {
        source_location s;
        s.file_ = file;
        s.fn_ = fn;
        s.line_ = line;
        return s;
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return fn_; }
    constexpr uint_least32_t line() const noexcept { return line_; }
    constexpr uint_least32_t column() const noexcept { return 0; }

private:
    const char* file_ = "";
    const char* fn_ = "";
    uint_least32_t line_ = 0;
};
}  // namespace std
#endif
