// A shared handle to one key-ordered map of property values behind its own
// reader-writer lock. Copies of a PropertyMap share the map.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <absl/functional/function_ref.h>

#include "errors/report.hpp"
#include "memory/counted_ptr.hpp"
#include "properties/dynamic.hpp"

namespace korvale {

class PropertyMap {
 public:
  using Snapshot = std::vector<std::pair<std::string, Dynamic>>;
  using Predicate = absl::FunctionRef<Result<bool>(const std::string&, const Dynamic&)>;

  // A new empty map (also the default value).
  PropertyMap();
  // Defined where Inner is complete.
  PropertyMap(const PropertyMap& other) noexcept;
  PropertyMap(PropertyMap&& other) noexcept;
  PropertyMap& operator=(const PropertyMap& other) noexcept;
  PropertyMap& operator=(PropertyMap&& other) noexcept;
  ~PropertyMap();
  static PropertyMap empty() { return PropertyMap(); }
  // A new map holding the given entries.
  static PropertyMap from_dict(Dynamic::Dict entries);
  // A new map with this map's entries, which no other handle shares: what the
  // store keeps of a map it is given, so that a later change to one element's
  // properties reaches no other element and no pattern. A poisoned map refuses
  // every write, so it cannot change and is returned as it is.
  PropertyMap own_copy() const;

  // A copy of the key's value, or nothing. LockError on a poisoned map.
  Result<std::optional<Dynamic>> get(std::string_view key) const;
  // Puts the value under the key, replacing an old value. LockError on a poisoned map.
  Status insert(std::string key, Dynamic value) const;
  // Copies of every entry in key order, taken under the read lock.
  Result<Snapshot> iter() const;
  // Runs the predicate over every entry in parallel while holding the read
  // lock; false at the first mismatch, or the first report (with a line added).
  Result<bool> try_par_compare(Predicate predicate) const;
  // try_par_compare's counterpart for a filter whose entries were taken
  // beforehand (iter), tested against this map: for each wanted entry in
  // order, match(wanted value, this map's value under its key or null), all
  // under one read lock; false at the first mismatch. On a poisoned map it
  // reports what try_par_compare reports for a predicate whose get() on this
  // map failed and attached `predicate_line`.
  using EntryMatch = absl::FunctionRef<bool(const Dynamic& wanted, const Dynamic* stored)>;
  Result<bool> match_entries(const Snapshot& wanted, EntryMatch match,
                             const char* predicate_line) const;
  // Merges entries taken from another map (iter) into this one, all under one
  // write lock, as insert would put each entry: readers see the map before or
  // after, never between. `source` is in key order without repeated keys, as
  // iter gives it. A poisoned target fails as insert does, unless `source` is
  // empty.
  Status merge_from(Snapshot source) const;

  // "{k: v, ...}" with top-level keys plain; fails on a poisoned map.
  Result<std::string> to_string() const;

  // Calls visit(entries) with the entries under the read lock (for building
  // a Python dict on the calling thread). LockError with `lock_context` as its
  // context on a poisoned map.
  Status visit_locked(absl::FunctionRef<Status(const Snapshot&)> visit,
                      const char* lock_context) const;

 private:
  // A CountedPtr rather than a std::shared_ptr: every stored node and edge
  // holds one, and the count inside the block keeps the handle one pointer.
  struct Inner;
  CountedPtr<Inner> inner_;  // null only once moved from
};

}  // namespace korvale
