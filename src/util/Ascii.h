#pragma once

#include <string>

namespace corvane::util {

/// The text with its ASCII letters in upper case (MAC addresses, device tails).
std::string upperAscii(std::string text);

} // namespace corvane::util
