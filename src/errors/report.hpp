// Error reports: one error kind plus the context lines that the layers it
// passed through attached on its way out. Every fallible operation of the
// core returns Result<T>; nothing throws.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors/kinds.hpp"

namespace korvale {

// A report is one value with one owner, moved outward layer by layer (also from
// pool threads to the calling thread). It is boxed so that Result<T> stays small
// on the success path.
class Report {
 public:
  explicit Report(KorvaleError error);
  Report(Report&&) noexcept = default;
  Report& operator=(Report&&) noexcept = default;
  Report(const Report& other);
  Report& operator=(const Report& other);

  // Appends a context line; lines render newest first.
  Report& attach(std::string line) &;
  Report&& attach(std::string line) &&;

  // Replaces the current kind; the lines attached so far stay.
  Report& change_kind(KorvaleError error) &;
  Report&& change_kind(KorvaleError error) &&;

  const KorvaleError& kind() const { return data_->kind; }
  const std::vector<std::string>& context_lines() const { return data_->lines; }

 private:
  struct Data {
    KorvaleError kind;
    std::vector<std::string> lines;
  };
  std::unique_ptr<Data> data_;
};

// The kind's message, then for each context line from the newest to the first a
// line break, a blank, U+2192, a blank and the line.
std::string format_report(const Report& report);

template <class T>
using Result = std::expected<T, Report>;
using Status = Result<void>;

// The failing result of a kind, without context lines.
inline std::unexpected<Report> fail(KorvaleError error) {
  return std::unexpected<Report>(Report(std::move(error)));
}
inline std::unexpected<Report> fail(Report report) {
  return std::unexpected<Report>(std::move(report));
}

}  // namespace korvale

// KORVALE_TRY(expr, line): evaluates a Result; on failure returns its report
// from the enclosing function with `line` attached, otherwise yields the value.
// KORVALE_CHECK(expr, line) does the same for Result<void>.
// KORVALE_PASS(expr) passes a failure on unchanged, otherwise yields the value;
// KORVALE_PASS_STATUS(expr) does the same for a Status.
#define KORVALE_TRY(expr, line)                                                    \
  ({                                                                               \
    auto&& korvale_try_result_ = (expr);                                           \
    if (!korvale_try_result_)                                                      \
      return ::korvale::fail(std::move(korvale_try_result_.error()).attach(line)); \
    std::move(*korvale_try_result_);                                               \
  })

#define KORVALE_CHECK(expr, line)                                                    \
  do {                                                                               \
    auto&& korvale_check_result_ = (expr);                                           \
    if (!korvale_check_result_)                                                      \
      return ::korvale::fail(std::move(korvale_check_result_.error()).attach(line)); \
  } while (0)

#define KORVALE_PASS(expr)                                                                      \
  ({                                                                                            \
    auto&& korvale_pass_result_ = (expr);                                                       \
    if (!korvale_pass_result_) return ::korvale::fail(std::move(korvale_pass_result_.error())); \
    std::move(*korvale_pass_result_);                                                           \
  })

#define KORVALE_PASS_STATUS(expr)                                      \
  do {                                                                 \
    if (auto korvale_pass_status_ = (expr); !korvale_pass_status_)     \
      return ::korvale::fail(std::move(korvale_pass_status_.error())); \
  } while (0)
