#include "concurrency/interruption.hpp"

namespace korvale {

Report interrupted_report() {
  return Report(kind::RuntimeError{"The call was interrupted", std::nullopt});
}

}  // namespace korvale
