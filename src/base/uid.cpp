#include "base/uid.hpp"

namespace korvale {

std::string uid_to_hex(const Uid& uid) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(uid.size() * 2, '0');
  for (std::size_t i = 0; i < uid.size(); ++i) {
    out[2 * i] = kDigits[uid[i] >> 4];
    out[2 * i + 1] = kDigits[uid[i] & 0x0f];
  }
  return out;
}

}  // namespace korvale
