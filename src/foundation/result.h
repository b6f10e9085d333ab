// One result type for the library edges: a value, or an error with its reason.
//
// Result<T> holds either a T or an Error. Result<void> holds nothing or an Error. A
// library may carry a richer error of its own (Result<T, SendError>); the error type
// must have a `reason` text that says what went wrong, for people.
//
//   Result<int> parse_port(std::string_view s) {
//       if (s.empty()) return Error{EINVAL, "port missing"};
//       return 25;
//   }
//   if (auto r = parse_port(v); !r) log("%s", r.error().reason.c_str());
//   else use(*r);
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace tolvane {

// A failure: a code in the reporting library's own space (0 when it has none) and a text
// for people.
struct Error {
    int code = 0;
    std::string reason;
};

template <class T, class E = Error>
class [[nodiscard]] Result {
  public:
    Result(const T& v) : v_(std::in_place_index<0>, v) {}
    Result(T&& v) : v_(std::in_place_index<0>, std::move(v)) {}
    Result(const E& e) : v_(std::in_place_index<1>, e) {}
    Result(E&& e) : v_(std::in_place_index<1>, std::move(e)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { return std::get<1>(v_); }
    const E& error() const& { return std::get<1>(v_); }
    // The error's reason, or "" on success.
    std::string reason() const { return ok() ? std::string() : error().reason; }

  private:
    std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
  public:
    Result() = default;
    Result(const E& e) : e_(e), failed_(true) {}
    Result(E&& e) : e_(std::move(e)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    E& error() & { return e_; }
    const E& error() const& { return e_; }
    std::string reason() const { return ok() ? std::string() : e_.reason; }

  private:
    E e_{};
    bool failed_ = false;
};

using Status = Result<void>;

}  // namespace tolvane
