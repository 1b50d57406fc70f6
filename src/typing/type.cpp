#include "typing/type.hpp"

#include <cassert>
#include <cstring>
#include <utility>
#include <vector>

#include "base/sha256.hpp"
#include "memory/chain_release.hpp"
#include "text/validation.hpp"
#include "typing/post_order.hpp"

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
  // Explicit stack of what is still to be written: a type, or a fixed piece.
  struct Item {
    const Type* type;
    const char* text;
  };
  std::string out;
  std::vector<Item> stack{{this, nullptr}};
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    if (item.type == nullptr) {
      out += item.text;
    } else if (const Variable* variable = item.type->as_variable()) {
      out += variable->name();
    } else {
      const Arrow& arrow = *item.type->as_arrow();
      stack.push_back({nullptr, ")"});
      stack.push_back({arrow.codomain.get(), nullptr});
      stack.push_back({nullptr, " -> "});
      stack.push_back({arrow.domain.get(), nullptr});
      stack.push_back({nullptr, "("});
    }
  }
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
  std::vector<std::pair<const Type*, const Type*>> stack{{&a, &b}};
  while (!stack.empty()) {
    const auto [x, y] = stack.back();
    stack.pop_back();
    if (x == y) continue;  // shared parts are equal without looking inside
    if (const Variable* vx = x->as_variable()) {
      const Variable* vy = y->as_variable();
      if (vy == nullptr || vx->name() != vy->name()) return false;
      continue;
    }
    const Arrow* ay = y->as_arrow();
    if (ay == nullptr) return false;
    const Arrow* ax = x->as_arrow();
    stack.emplace_back(ax->domain.get(), ay->domain.get());
    stack.emplace_back(ax->codomain.get(), ay->codomain.get());
  }
  return true;
}

}  // namespace korvale
