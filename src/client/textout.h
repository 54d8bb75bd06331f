// Safe text for the terminal and for JSON: labels and type names come from a
// token and may hold any byte.
#ifndef VARDEK_CLIENT_TEXTOUT_H
#define VARDEK_CLIENT_TEXTOUT_H

#include <string>
#include <string_view>

namespace vardek::client {

// `s` with control characters, backslashes and bytes that are not UTF-8
// written as \xNN, so one label stays on one line.
std::string printable(std::string_view s);
// `s` as a JSON string literal, quotes included; bytes that are not UTF-8
// become U+FFFD.
std::string json_string(std::string_view s);

}  // namespace vardek::client

#endif
