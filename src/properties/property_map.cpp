#include "properties/property_map.hpp"

#include <algorithm>
#include <cassert>
#include <exception>
#include <iterator>

#include <absl/base/thread_annotations.h>

#include "concurrency/parallel.hpp"
#include "concurrency/rwlock.hpp"

namespace korvale {

// One shared block per map: the lock, the poisoned flag and the entries (an
// empty vector allocates nothing), so a stored element with no properties
// stays small. The entries are a vector sorted by key rather than a tree:
// stored elements mostly hold a handful of properties, which then sit in one
// exactly sized array.
struct PropertyMap::Inner : RefCounted {
  CompactRwLock lock;
  bool poisoned ABSL_GUARDED_BY(lock) = false;  // never cleared
  Snapshot entries ABSL_GUARDED_BY(lock);       // in key order

  using Entries = Snapshot;

  // Tells the analysis that this thread may touch the data as if it held the
  // lock exclusively, where no other thread can reach the block yet: a map
  // being made, before its handle is handed out. Checks nothing at run time.
  void assume_unshared() ABSL_ASSERT_EXCLUSIVE_LOCK(lock) {}
  // Tells the analysis that the lock is held shared, where it cannot see so:
  // in a lambda that runs while its caller holds the read lock (holds are not
  // followed into lambdas). Checks nothing at run time.
  void assume_read_held() const ABSL_ASSERT_SHARED_LOCK(lock) {}

  Entries::const_iterator find(std::string_view key) const ABSL_SHARED_LOCKS_REQUIRED(lock) {
    const auto at = lower_bound(key);
    return at != entries.end() && at->first == key ? at : entries.end();
  }
  Entries::const_iterator lower_bound(std::string_view key) const ABSL_SHARED_LOCKS_REQUIRED(lock) {
    return std::lower_bound(entries.begin(), entries.end(), key,
                            [](const auto& entry, std::string_view k) { return entry.first < k; });
  }
};

namespace {

constexpr const char* kPoisoned = "poisoned lock: another task failed inside";
constexpr const char* kGetContext = "property map - get [src/properties:131]";
constexpr const char* kInsertContext = "property map - insert [src/properties:120]";
constexpr const char* kIterContext = "property map - iter [src/properties:173]";
constexpr const char* kCompareContext = "property map - try par compare [src/properties:144]";
constexpr const char* kClosureLine =
    "property map - try par compare - closure [src/properties:158]";
// The text form has no line of its own in the system's texts; its failure only
// has to say what happened.
constexpr const char* kTextContext = "property map - text form";

std::unexpected<Report> poisoned(const char* rw, const char* context) {
  return fail(kind::LockError{rw, kPoisoned, context});
}

// Sets the flag when the scope is left by an exception (an allocation failing
// in the middle of a tree insertion): the tree may then be half updated.
class PoisonOnUnwind {
 public:
  explicit PoisonOnUnwind(bool& flag) : flag_(flag), exceptions_(std::uncaught_exceptions()) {}
  ~PoisonOnUnwind() {
    if (std::uncaught_exceptions() > exceptions_) flag_ = true;
  }
  PoisonOnUnwind(const PoisonOnUnwind&) = delete;
  PoisonOnUnwind& operator=(const PoisonOnUnwind&) = delete;

 private:
  bool& flag_;
  int exceptions_;
};

}  // namespace

PropertyMap::PropertyMap() : inner_(CountedPtr<Inner>::make()) {
  // Every stored node and edge owns one of these blocks: keep it to the count,
  // the lock word, the flag and the vector (a 48-byte heap chunk).
  static_assert(sizeof(Inner) <= 40);
}

PropertyMap::PropertyMap(const PropertyMap& other) noexcept = default;
PropertyMap::PropertyMap(PropertyMap&& other) noexcept = default;
PropertyMap& PropertyMap::operator=(const PropertyMap& other) noexcept = default;
PropertyMap& PropertyMap::operator=(PropertyMap&& other) noexcept = default;
PropertyMap::~PropertyMap() = default;

PropertyMap PropertyMap::from_dict(Dynamic::Dict entries) {
  PropertyMap map;
  Inner* inner = map.inner_.get();
  inner->assume_unshared();  // the map is not handed out yet
  inner->entries.reserve(entries.size());
  // The tree gives the keys in ascending order already.
  for (auto& entry : entries) inner->entries.emplace_back(entry.first, std::move(entry.second));
  return map;
}

PropertyMap PropertyMap::own_copy() const {
  const ReadLock lock(inner_->lock);
  if (inner_->poisoned) return *this;
  PropertyMap copy;
  copy.inner_->assume_unshared();          // as in from_dict
  copy.inner_->entries = inner_->entries;  // exactly sized, in key order already
  return copy;
}

Result<std::optional<Dynamic>> PropertyMap::get(std::string_view key) const {
  const ReadLock lock(inner_->lock);
  if (inner_->poisoned) return poisoned("read", kGetContext);
  const auto found = inner_->find(key);
  if (found == inner_->entries.end()) return std::nullopt;
  return found->second;
}

Status PropertyMap::insert(std::string key, Dynamic value) const {
  const WriteLock lock(inner_->lock);
  if (inner_->poisoned) return poisoned("write", kInsertContext);
  PoisonOnUnwind poison(inner_->poisoned);
  auto& entries = inner_->entries;
  const auto at = entries.begin() + (inner_->lower_bound(key) - entries.cbegin());
  if (at != entries.end() && at->first == key) {
    at->second = std::move(value);
  } else {
    entries.emplace(at, std::move(key), std::move(value));
  }
  return {};
}

Result<PropertyMap::Snapshot> PropertyMap::iter() const {
  const ReadLock lock(inner_->lock);
  if (inner_->poisoned) return poisoned("read", kIterContext);
  Snapshot snapshot;
  snapshot.reserve(inner_->entries.size());
  for (const auto& [key, value] : inner_->entries) snapshot.emplace_back(key, value);
  return snapshot;
}

Result<bool> PropertyMap::try_par_compare(Predicate predicate) const {
  const ReadLock lock(inner_->lock);
  if (inner_->poisoned) return poisoned("read", kCompareContext);
  const auto decide = [&](const std::pair<std::string, Dynamic>& entry) -> Result<Flow> {
    Result<bool> passes = predicate(entry.first, entry.second);
    if (!passes) return fail(std::move(passes.error()).attach(kClosureLine));
    return *passes ? Flow::Continue : Flow::Break;
  };
  if (inner_->entries.size() <= kInlineItems) {
    // A filter of a key or two: no dispatch, not even the list of references.
    for (const auto& entry : inner_->entries) {
      const Flow flow = KORVALE_PASS(decide(entry));
      if (flow == Flow::Break) return false;
    }
    return true;
  }
  return try_par_until(inner_->entries.size(), [&](std::size_t i) {
    // On pool threads too, but always before try_par_until returns to this
    // thread, whose read lock keeps writers out meanwhile.
    inner_->assume_read_held();
    return decide(inner_->entries[i]);
  });
}

Result<bool> PropertyMap::match_entries(const Snapshot& wanted, EntryMatch match,
                                        const char* predicate_line) const {
  if (wanted.empty()) return true;
  const ReadLock lock(inner_->lock);
  if (inner_->poisoned) {
    return fail(Report(kind::LockError{"read", kPoisoned, kGetContext})
                    .attach(predicate_line)
                    .attach(kClosureLine));
  }
  for (const auto& [key, value] : wanted) {
    const auto found = inner_->find(key);
    if (!match(value, found == inner_->entries.end() ? nullptr : &found->second)) return false;
  }
  return true;
}

Status PropertyMap::merge_from(Snapshot snapshot) const {
  assert(std::adjacent_find(snapshot.begin(), snapshot.end(), [](const auto& a, const auto& b) {
           return !(a.first < b.first);
         }) == snapshot.end());
  if (snapshot.empty()) return {};
  const WriteLock lock(inner_->lock);
  if (inner_->poisoned) return poisoned("write", kInsertContext);
  PoisonOnUnwind poison(inner_->poisoned);
  // Both runs are sorted: one pass, the source's value winning on equal keys,
  // instead of an insertion (and a move of the tail) per entry.
  Inner::Entries& entries = inner_->entries;
  Inner::Entries merged;
  merged.reserve(entries.size() + snapshot.size());
  auto old = entries.begin();
  for (auto& entry : snapshot) {
    while (old != entries.end() && old->first < entry.first) merged.push_back(std::move(*old++));
    if (old != entries.end() && old->first == entry.first) ++old;
    merged.push_back(std::move(entry));
  }
  std::move(old, entries.end(), std::back_inserter(merged));
  entries = std::move(merged);
  return {};
}

Result<std::string> PropertyMap::to_string() const {
  const ReadLock lock(inner_->lock);
  if (inner_->poisoned) return poisoned("read", kTextContext);
  std::string out = "{";
  const char* separator = "";
  for (const auto& [key, value] : inner_->entries) {
    out += separator;
    out += key;
    out += ": ";
    value.append_text(out);
    separator = ", ";
  }
  out += '}';
  return out;
}

Status PropertyMap::visit_locked(absl::FunctionRef<Status(const Snapshot&)> visit,
                                 const char* lock_context) const {
  const ReadLock lock(inner_->lock);
  if (inner_->poisoned) return poisoned("read", lock_context);
  return visit(inner_->entries);
}

}  // namespace korvale
