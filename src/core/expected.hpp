// expected.hpp: a value or an error, for operations that report failure by return.
#pragma once

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

// Expected<void, E>: success carries nothing.
template <class E>
class [[nodiscard]] Expected<void, E> {
public:
    Expected() = default;
    template <class G>
    Expected(Unexpected<G>&& u) : err_(std::move(u.error)), failed_(true) {}

    bool has_value() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return !failed_; }
    E& error() & { return err_; }
    E&& error() && { return std::move(err_); }
    const E& error() const& { return err_; }

private:
    E err_{};
    bool failed_ = false;
};

}  // namespace tessaray

// Propagates the error of an Expected expression, otherwise yields its value.
#define TRY_CAT2(a, b) a##b
#define TRY_CAT(a, b) TRY_CAT2(a, b)
#define TRY_ASSIGN_IMPL(tmp, decl, expr)                              \
    auto tmp = (expr);                                                \
    if (!tmp) return ::tessaray::unexpected(std::move(tmp).error()); \
    decl = std::move(tmp).value()
#define TRY_ASSIGN(decl, expr) TRY_ASSIGN_IMPL(TRY_CAT(try_tmp_, __LINE__), decl, expr)
#define TRY_VOID(expr)                                                          \
    do {                                                                        \
        auto try_tmp_ = (expr);                                                 \
        if (!try_tmp_) return ::tessaray::unexpected(std::move(try_tmp_).error()); \
    } while (0)
