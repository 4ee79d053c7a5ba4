#pragma once
// Turning bytes received from servers into UTF-8 for names and display.

#include <string>
#include <string_view>

namespace tq {

bool IsValidUtf8(std::string_view bytes);
// Valid UTF-8 passes unchanged; anything else is read as GB18030, undecodable bytes
// becoming U+FFFD.
std::string ServerTextToUtf8(std::string_view bytes);

} // namespace tq
