// expected.hpp: a value or an error, for operations that report failure by return.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace tessaray {

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& e) {
    return {std::forward<E>(e)};
}

// A minimal std::expected (C++23) for C++20: holds either a T or an E.
template <class T, class E>
class [[nodiscard]] Expected {
public:
    using value_type = T;

    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    Expected(Unexpected<G>&& u) : v_(std::in_place_index<1>, std::move(u.error)) {}

    bool has_value() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    T& operator*() & { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }
    const E& error() const& { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

// Expected<void, E>: success carries nothing, so E needs no default value.
template <class E>
class [[nodiscard]] Expected<void, E> {
public:
    using value_type = void;

    Expected() noexcept = default;
    template <class G>
    Expected(Unexpected<G>&& u) : err_(std::in_place, std::move(u.error)) {}

    bool has_value() const noexcept { return !err_.has_value(); }
    explicit operator bool() const noexcept { return has_value(); }
    void value() const noexcept {}
    E& error() & { return *err_; }
    E&& error() && { return *std::move(err_); }
    const E& error() const& { return *err_; }

private:
    std::optional<E> err_;
};

}  // namespace tessaray

// Error propagation inside a function that returns an Expected:
// TESSARAY_TRY(expr) returns the error of `expr` and otherwise drops its
// value; TESSARAY_TRY_ASSIGN(decl, expr) returns the error or declares (or
// assigns) `decl` from the value.  Each use has its own temporary.
#define TESSARAY_CONCAT_(a, b) a##b
#define TESSARAY_CONCAT(a, b) TESSARAY_CONCAT_(a, b)
#define TESSARAY_TRY_(tmp, expr)                                         \
    do {                                                                 \
        auto tmp = (expr);                                               \
        if (!tmp) return ::tessaray::unexpected(std::move(tmp).error()); \
    } while (0)
#define TESSARAY_TRY(expr) TESSARAY_TRY_(TESSARAY_CONCAT(tessaray_try_, __COUNTER__), expr)
#define TESSARAY_TRY_ASSIGN_(tmp, decl, expr)                        \
    auto tmp = (expr);                                               \
    if (!tmp) return ::tessaray::unexpected(std::move(tmp).error()); \
    decl = std::move(tmp).value()
#define TESSARAY_TRY_ASSIGN(decl, expr) TESSARAY_TRY_ASSIGN_(TESSARAY_CONCAT(tessaray_try_, __COUNTER__), decl, expr)
