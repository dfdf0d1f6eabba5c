#include "shared/hash.h"

#include <openssl/evp.h>

#include "shared/errors.h"

namespace velquor {

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
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
