#include "typing/term.hpp"

#include <cassert>
#include <optional>
#include <utility>

#include "base/tree_walks.hpp"
#include "memory/chain_release.hpp"
#include "text/validation.hpp"
#include "typing/same_trees.hpp"

namespace korvale {

Result<BasicTerm> BasicTerm::new_(std::string name, TypePtr type) {
  assert(type != nullptr);
  KORVALE_CHECK(validate_variable_name(name), "basic term - new [src/typing/term:64]");
  return BasicTerm(std::move(name), std::move(type));
}

Result<Application> Application::new_(TermPtr function, TermPtr argument) {
  assert(function != nullptr && argument != nullptr);
  const Arrow* arrow = function->type()->as_arrow();
  if (arrow == nullptr) {
    return fail(kind::TypeMismatch{"Application Type", "Variable Type", "application creation"});
  }
  if (!(*arrow->domain == *argument->type())) {
    return fail(kind::TypeMismatch{arrow->domain->to_string(), argument->type()->to_string(),
                                   "application creation"});
  }
  TypePtr codomain = arrow->codomain;
  return Application(std::move(function), std::move(argument), std::move(codomain));
}

TermPtr Term::basic(BasicTerm term) {
  return std::make_shared<const Term>(Value(std::move(term)));
}

TermPtr Term::application(Application term) {
  return std::make_shared<const Term>(Value(std::move(term)));
}

Result<TermPtr> Term::apply(const TermPtr& function, const TermPtr& argument) {
  Application application =
      KORVALE_TRY(Application::new_(function, argument), "term - apply [src/typing/term:42]");
  return Term::application(std::move(application));
}

Term::~Term() {
  if (auto* application = std::get_if<Application>(&value_)) {
    ChainRelease<TermPtr>::release(application->function_, application->argument_);
  }
}

const TypePtr& Term::type() const {
  return std::visit([](const auto& term) -> const TypePtr& { return term.type(); }, value_);
}

std::string Term::to_string() const {
  using Open = Parenthesised<const Term*>;
  std::string out;
  in_order<Open>(
      this,
      [&](const Term* term) -> std::optional<Open> {
        if (const Application* application = term->as_application()) {
          return Open(application->function().get(), application->argument().get());
        }
        out += term->as_basic()->name();
        return std::nullopt;
      },
      [&](Open& application) { return application.next(out, " "); });
  return out;
}

bool operator==(const Term& a, const Term& b) {
  return same_trees(
      a, b,
      [](const Term& term) -> std::optional<std::pair<const Term*, const Term*>> {
        const Application* application = term.as_application();
        if (application == nullptr) return std::nullopt;
        return std::pair(application->function().get(), application->argument().get());
      },
      [](const Term& x, const Term& y) {
        const BasicTerm& bx = *x.as_basic();
        const BasicTerm& by = *y.as_basic();
        return bx.name() == by.name() && *bx.type() == *by.type();
      });
}

}  // namespace korvale
