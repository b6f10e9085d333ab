// std::source_location for compilers whose standard library lacks it.
//
// libstdc++ 12 only provides it when the compiler has __builtin_source_location,
// which clang gained in version 15; the fuzzing build uses clang 14. The stand-in
// records the caller's file and line through the older builtins, which clang and
// gcc evaluate at the outermost call site when used in default arguments.
#pragma once

#include <source_location>

#if !__has_builtin(__builtin_source_location)
#include <cstdint>

namespace std {
struct source_location {
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             const char* function = __builtin_FUNCTION(),
                                             std::uint_least32_t line = __builtin_LINE()) noexcept {
        source_location l;
        l.file_ = file;
        l.function_ = function;
        l.line_ = line;
        return l;
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }
    constexpr std::uint_least32_t column() const noexcept { return 0; }

  private:
    const char* file_ = "";
    const char* function_ = "";
    std::uint_least32_t line_ = 0;
};
}  // namespace std
#endif
