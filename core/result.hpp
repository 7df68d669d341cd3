// Result<T>: a value or an ArchiveError, returned by every fallible routine.
//
// Propagate with ZARV_TRY (statement form) or ZARV_ASSIGN (binds a value):
//   ZARV_TRY(read_exact(src, buf));
//   ZARV_ASSIGN(auto header, read_header(src));
#pragma once

#include <cassert>
#include <utility>
#include <variant>

#include "core/error.hpp"

namespace zarv {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(ArchiveError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }

  const ArchiveError& error() const& { assert(!ok()); return std::get<1>(v_); }
  ArchiveError&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, ArchiveError> v_;
};

// Result<void>: success or an error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(ArchiveError error) : err_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const ArchiveError& error() const& { assert(failed_); return err_; }
  ArchiveError&& error() && { assert(failed_); return std::move(err_); }

 private:
  ArchiveError err_{};
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace zarv

#define ZARV_CONCAT_INNER(a, b) a##b
#define ZARV_CONCAT(a, b) ZARV_CONCAT_INNER(a, b)

// Evaluates a Result-returning expression and returns its error from the caller.
#define ZARV_TRY(expr)                                      \
  do {                                                      \
    auto&& zarv_try_r_ = (expr);                            \
    if (!zarv_try_r_.ok()) return std::move(zarv_try_r_).error(); \
  } while (0)

#define ZARV_ASSIGN_IMPL(tmp, decl, expr)          \
  auto tmp = (expr);                               \
  if (!tmp.ok()) return std::move(tmp).error();    \
  decl = std::move(tmp).value()

// Declares (or assigns) `decl` from a Result-returning expression, returning
// its error from the caller.
#define ZARV_ASSIGN(decl, expr) ZARV_ASSIGN_IMPL(ZARV_CONCAT(zarv_r_, __LINE__), decl, expr)
