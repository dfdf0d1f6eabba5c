// Clean-up of a language model's answer before it is vetted.
#pragma once

#include <string>
#include <string_view>

namespace velquor::dornath {

// `text` without white space at both ends; white space is every character
// Unicode counts as such (ASCII controls \t..\r and \x1c..\x1f, space, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
std::string_view trim_space(std::string_view text);

// `answer` without a leading preface such as "Here's a description of the
// pattern:" or "Description:" and the white space after it: the first match,
// at the very start only and ignoring letter case, of
//   ^(?:(?:Here(?:'s| is) (?:a |the )?(?:description|sentence)[^:]*:|Description:)\s*\n?)
std::string_view strip_preface(std::string_view answer);

// Number of non-empty pieces when `text` is split at every "." and each
// piece trimmed.
size_t count_sentences(std::string_view text);

}  // namespace velquor::dornath
