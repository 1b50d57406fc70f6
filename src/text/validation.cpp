#include "text/validation.hpp"

#include "text/unicode.hpp"

namespace korvale {
namespace {

std::unexpected<Report> refuse(std::string_view name, std::string reason) {
  return fail(kind::InvalidIdentifier{std::string(name), std::move(reason)});
}

}  // namespace

Status validate_variable_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameBytes) {
    return refuse(name,
                  "Name must be between 1 and " + std::to_string(kMaxNameBytes) + " characters");
  }
  bool has_white_space = false;
  bool all_allowed = true;
  for (std::size_t i = 0; i < name.size();) {
    const char32_t c = unicode::next(name, i);
    if (unicode::is_white_space(c)) has_white_space = true;
    if (c != '_' && !unicode::is_alphabetic(c) && !unicode::is_numeric(c)) all_allowed = false;
  }
  if (has_white_space) return refuse(name, "Name cannot contain whitespace");
  if (!all_allowed) {
    return refuse(name, "Name can only contain alphanumeric characters and underscores");
  }
  std::size_t first = 0;
  const char32_t c = unicode::next(name, first);
  if (c != '_' && !unicode::is_alphabetic(c)) {
    return refuse(name, "Name must start with a letter or underscore");
  }
  if (name == "None" || name == "True" || name == "False") {
    return refuse(name, "'" + std::string(name) + "' is a reserved name");
  }
  return {};
}

}  // namespace korvale
