#pragma once
// Reversible scrambling of stored passwords: 200 hex digits and a trailing "3".

#include <string>
#include <string_view>

namespace tq {

// Empty text gives empty text; only the first 100 bytes are kept.
std::string ScrambleText(std::string_view text);
// Anything that is not 200 hex digits followed by "3" reads as empty.
std::string UnscrambleText(std::string_view text);

} // namespace tq
