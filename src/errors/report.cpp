#include "errors/report.hpp"

namespace korvale {

Report::Report(KorvaleError error) : data_(std::make_unique<Data>(Data{std::move(error), {}})) {}

Report::Report(const Report& other) : data_(std::make_unique<Data>(*other.data_)) {}

Report& Report::operator=(const Report& other) {
  if (this != &other) data_ = std::make_unique<Data>(*other.data_);
  return *this;
}

Report& Report::attach(std::string line) & {
  data_->lines.push_back(std::move(line));
  return *this;
}

Report&& Report::attach(std::string line) && {
  return std::move(attach(std::move(line)));
}

Report& Report::change_kind(KorvaleError error) & {
  data_->kind = std::move(error);
  return *this;
}

Report&& Report::change_kind(KorvaleError error) && {
  return std::move(change_kind(std::move(error)));
}

std::string format_report(const Report& report) {
  std::string out = error_message(report.kind());
  const auto& lines = report.context_lines();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    out += "\n \u2192 ";
    out += *it;
  }
  return out;
}

}  // namespace korvale
