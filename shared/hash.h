// SHA-256 digests and the content-derived identifiers built on them.
#pragma once

#include <string>
#include <string_view>

#include "shared/json.h"

namespace velquor {

// 64 lowercase hexadecimal digits of SHA-256 over `bytes`.
std::string sha256_hex(std::string_view bytes);

// SHA-256 (64 hex digits) of the canonical form of `value`.
std::string canonical_hash(const Json& value);

// First 16 hex digits of canonical_hash: the identifier of store records
// and advisory records. Equal content gives equal ids whatever the key order.
std::string content_hash(const Json& value);

}  // namespace velquor
