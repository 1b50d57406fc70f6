#include "typing/type.hpp"

#include <cassert>
#include <cstring>
#include <optional>
#include <utility>

#include "base/sha256.hpp"
#include "base/tree_walks.hpp"
#include "memory/chain_release.hpp"
#include "text/validation.hpp"
#include "typing/same_trees.hpp"

namespace korvale {

Result<Variable> Variable::new_(std::string name) {
  KORVALE_CHECK(validate_variable_name(name), "variable - new [src/typing/types:48]");
  return Variable(std::move(name));
}

TypePtr Type::variable(Variable variable) {
  return std::make_shared<const Type>(Value(std::move(variable)));
}

TypePtr Type::arrow(TypePtr domain, TypePtr codomain) {
  assert(domain != nullptr && codomain != nullptr);
  return std::make_shared<const Type>(Value(Arrow{std::move(domain), std::move(codomain)}));
}

Type::~Type() {
  if (auto* arrow = std::get_if<Arrow>(&value_)) {
    ChainRelease<TypePtr>::release(arrow->domain, arrow->codomain);
  }
}

std::string Type::to_string() const {
  using Open = Parenthesised<const Type*>;
  std::string out;
  in_order<Open>(
      this,
      [&](const Type* type) -> std::optional<Open> {
        if (const Arrow* arrow = type->as_arrow()) {
          return Open(arrow->domain.get(), arrow->codomain.get());
        }
        out += type->as_variable()->name();
        return std::nullopt;
      },
      [&](Open& arrow) { return arrow.next(out, " -> "); });
  return out;
}

Uid variable_uid(std::string_view name) {
  std::string bytes = "var:";
  bytes.append(name);
  return sha256(bytes);
}

Uid arrow_uid(const Uid& domain, const Uid& codomain) {
  char bytes[4 + 32 + 1 + 32];
  std::memcpy(bytes, "arr:", 4);
  std::memcpy(bytes + 4, domain.data(), 32);
  bytes[36] = ':';
  std::memcpy(bytes + 37, codomain.data(), 32);
  return sha256(std::string_view(bytes, sizeof bytes));
}

bool Type::cached_uid(Uid& out) const {
  if (uid_state_.load(std::memory_order_acquire) != kUidReady) return false;
  out = uid_;
  return true;
}

void Type::publish_uid(const Uid& uid) const {
  std::uint8_t expected = kUidEmpty;
  if (!uid_state_.compare_exchange_strong(expected, kUidFilling, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
    return;  // another thread fills (or filled) the cache with the same digest
  }
  uid_ = uid;
  uid_state_.store(kUidReady, std::memory_order_release);
}

Uid Type::uid() const {
  Uid out;
  if (cached_uid(out)) return out;
  // A part whose digest is cached gives it at once; its parts are not walked.
  return post_order<Uid>(
      this,
      [](const Type* type, PostOrderStep<const Type*, Uid>& step) {
        Uid known;
        if (type->cached_uid(known)) {
          step.value(known);
        } else if (const Arrow* arrow = type->as_arrow()) {
          step.parts(arrow->domain.get(), arrow->codomain.get());
        } else {
          known = variable_uid(type->as_variable()->name());
          type->publish_uid(known);
          step.value(known);
        }
      },
      [](const Type* type, const Uid& domain, const Uid& codomain) {
        const Uid uid = arrow_uid(domain, codomain);
        type->publish_uid(uid);
        return uid;
      });
}

bool operator==(const Type& a, const Type& b) {
  return same_trees(
      a, b,
      [](const Type& type) -> std::optional<std::pair<const Type*, const Type*>> {
        const Arrow* arrow = type.as_arrow();
        if (arrow == nullptr) return std::nullopt;
        return std::pair(arrow->domain.get(), arrow->codomain.get());
      },
      [](const Type& x, const Type& y) {
        return x.as_variable()->name() == y.as_variable()->name();
      });
}

}  // namespace korvale
