// The bindings one schema test has made so far, kept inside the test (on the
// stack) until the whole candidate is known to fit. A candidate that does not
// fit therefore costs no layer and no allocation: scans test every stored
// type or term once per row, and nearly all of them are misfits.
//
// Committing stacks the bindings over the given layer exactly as a test that
// made its layers on the way would have: one new layer per binding, in the
// order they were made, and a bare layer wherever the test opened one.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include <absl/container/inlined_vector.h>

#include "errors/report.hpp"
#include "matches/match.hpp"
#include "matches/match_element.hpp"

namespace korvale {

class TentativeBindings {
 public:
  // Over the chain of `base`; none: over an empty root, which is never made.
  explicit TentativeBindings(const Match* base) : base_(base) {}
  TentativeBindings(const TentativeBindings&) = delete;
  TentativeBindings& operator=(const TentativeBindings&) = delete;

  // As Match::get over the base chain followed by the bindings made so far.
  std::optional<MatchElement> get(std::string_view name) const;
  bool contains(std::string_view name) const;

  // Binds `name`; fails as Match::insert does (VariableAlreadyExists, own
  // context "match insert [src/matches:163]") when the name is bound in the
  // base chain or here already. `name` must outlive this object (it points
  // into a pattern). `line` is attached should the binding fail on commit,
  // which only a concurrent insertion into the base chain can cause.
  Status bind(std::string_view name, MatchElement element, const char* line);

  // A layer of its own with nothing bound in it.
  void open_layer();

  // The layer to go on with: `base` itself when the test opened no layer,
  // otherwise the new layers over it, the last one returned. `base` is the
  // layer the bindings were made over (that of the constructor).
  Result<MatchPtr> commit(MatchPtr base) const;

 private:
  struct Entry {
    std::string_view name;                // empty for a bare layer
    std::optional<MatchElement> element;  // absent for a bare layer
    const char* line;
  };
  // Captures per schema are few; more than this spill to the heap.
  static constexpr std::size_t kInline = 4;

  const Match* base_;
  absl::InlinedVector<Entry, kInline> entries_;
};

}  // namespace korvale
