// Strict parsing of file request arguments, shared by the file and directory
// commands of veskd.  Every argument comes from a client or the far end: a
// malformed one fails that request only.
#pragma once

#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "file_status.h"
#include "files.h"

namespace vesk::files::args {

constexpr const char kBadArgument[] = "Bad argument";

inline Reply fail(const char *reason) {
    return Reply{false, reason};
}
inline Reply fail_errno(int err) {
    return Reply{false, std::strerror(err)};
}

// Whole text as a decimal (or octal) number; no sign other than a leading '-'
// for signed types, no blanks, no overflow.
template <typename T>
bool parse_number(std::string_view text, T *out, int base = 10) {
    if (text.empty()) return false;
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *out, base);
    return ec == std::errc() && ptr == end;
}

inline bool parse_mode(std::string_view text, mode_t *out) {
    unsigned long v = 0;
    if (!parse_number(text, &v, 8) || v > proto::kMaxPermissionBits) return false;
    *out = static_cast<mode_t>(v);
    return true;
}

// A name usable as a C string: no NUL (it would silently cut the name short)
// and no newline (names never carry one; seeing it means a misparsed argument).
inline bool valid_name(std::string_view name) {
    return name.find('\0') == std::string_view::npos && name.find('\n') == std::string_view::npos;
}

// Splits "head\nrest" at the first newline.  Returns false without one.
inline bool split_long_form(std::string_view arg, std::string_view *head, std::string_view *rest) {
    size_t nl = arg.find('\n');
    if (nl == std::string_view::npos) return false;
    *head = arg.substr(0, nl);
    *rest = arg.substr(nl + 1);
    return true;
}

}  // namespace vesk::files::args
