#include "typing/type.hpp"

#include <utility>
#include <vector>

#include "typing/part_release.hpp"
#include "utils/validation.hpp"

namespace korvale {

Result<Variable> Variable::new_(std::string name) {
  KORVALE_CHECK(validate_variable_name(name), "variable - new [src/typing/types:48]");
  return Variable(std::move(name));
}

TypePtr Type::variable(Variable variable) {
  return std::make_shared<const Type>(Value(std::move(variable)));
}

TypePtr Type::arrow(TypePtr domain, TypePtr codomain) {
  return std::make_shared<const Type>(Value(Arrow{std::move(domain), std::move(codomain)}));
}

Type::~Type() {
  if (auto* arrow = std::get_if<Arrow>(&value_)) {
    PartRelease<Type>::release(arrow->domain, arrow->codomain);
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
