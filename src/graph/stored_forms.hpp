// The store's flat forms of types and terms. A stored arrow names its parts by
// their identifiers; a stored application names its function and argument only
// through their types, so it always shows the terms the store holds now.
#pragma once

#include <string>
#include <variant>

#include "utils/uid.hpp"

namespace korvale {

struct TypeRep {
  struct Variable {
    std::string name;
  };
  struct Arrow {
    Uid domain;
    Uid codomain;
  };
  std::variant<Variable, Arrow> value;

  // SHA-256 of "var:" + name, or of "arr:" + domain + ":" + codomain (69 bytes).
  Uid uid() const;
};

struct TermRep {
  struct Basic {
    std::string name;
  };
  struct Application {
    Uid function;  // the function term's type
    Uid argument;  // the argument term's type
  };
  std::variant<Basic, Application> value;
};

}  // namespace korvale
