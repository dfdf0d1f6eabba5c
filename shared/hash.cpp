#include "shared/hash.h"

#include <openssl/evp.h>

#include <memory>

#include "shared/errors.h"

namespace velquor {

std::string sha256_hex(std::string_view bytes) {
  // The digest is fetched once and each thread keeps one context: looking
  // them up anew costs more than hashing a short text, and stage 3 hashes
  // one record per signal.
  static EVP_MD* const kSha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  thread_local const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(),
                                                                               EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!kSha256 || !context || EVP_DigestInit_ex(context.get(), kSha256, nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
    throw Error("SHA-256 computation failed");
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0xF];
  }
  return out;
}

std::string canonical_hash(const Json& value) { return sha256_hex(dump_canonical(value)); }

std::string content_hash(const Json& value) { return canonical_hash(value).substr(0, 16); }

}  // namespace velquor
