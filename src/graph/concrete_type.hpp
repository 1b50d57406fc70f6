// Type schemas that name one type only. The node step of a match looks such
// a type up instead of testing every stored type, and the constants table
// indexes the constants whose schema is one by the type it names.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/uid.hpp"
#include "patterns/node.hpp"
#include "patterns/type_schema.hpp"

namespace korvale {

// A type schema that names exactly one type: only names and arrows, no
// wildcard and no capture. While the row binds none of `names`, the schema
// fits that one type and nothing else, so the node step can look its Uid up
// instead of testing every stored type.
struct ConcreteType {
  Uid uid{};
  std::vector<std::string> names;  // every name the schema mentions
};

// The concrete type of the node pattern's type schema, if it is one.
std::optional<ConcreteType> concrete_type(const NodePattern& pattern);

// The Uid of the one type a type pattern of names and arrows names; nullopt
// for a pattern with a wildcard or a capture anywhere.
std::optional<Uid> concrete_type_uid(const TypePattern& pattern);

}  // namespace korvale
