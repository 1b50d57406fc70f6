#include "base/sha256.hpp"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdlib>

namespace korvale {

namespace {

// The one-shot SHA256() looks the algorithm up again on every call, which
// costs more than hashing a 69-byte arrow. The algorithm is fetched once per
// process and each thread keeps one digest context for reuse.
const EVP_MD* sha256_algorithm() {
  static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return algorithm;
}

struct Context {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(ctx); }
};

}  // namespace

Uid sha256(std::string_view bytes) {
  thread_local Context context;
  Uid digest;
  unsigned int length = 0;
  const EVP_MD* algorithm = sha256_algorithm();
  if (algorithm != nullptr && context.ctx != nullptr &&
      EVP_DigestInit_ex2(context.ctx, algorithm, nullptr) == 1 &&
      EVP_DigestUpdate(context.ctx, bytes.data(), bytes.size()) == 1 &&
      EVP_DigestFinal_ex(context.ctx, digest.data(), &length) == 1 && length == digest.size()) {
    return digest;
  }
  // The reusable context could not be had (out of memory): the one-shot call.
  // Should that fail too, no identifier can be made, and going on would give
  // types wrong ones.
  if (SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data()) ==
      nullptr) {
    std::abort();
  }
  return digest;
}

}  // namespace korvale
