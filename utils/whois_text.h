// The text side of a whois query: splitting user[@server] and making the
// server's answer printable.  Header-only so that the unit tests can check it
// without a link.
#ifndef VESK_UTILS_WHOIS_TEXT_H
#define VESK_UTILS_WHOIS_TEXT_H

#include <string>
#include <string_view>

namespace whois {

// Whois server asked when the argument names none: IANA's server answers for
// every top-level domain and address block and refers on from there.
constexpr std::string_view kDefaultServer = "whois.iana.org";

constexpr int kAsciiMask = 0x7f;    // answers are read as 7-bit text
constexpr int kControlMark = 0x40;  // turns a control character into its caret letter
constexpr int kCarriageReturn = '\r';
constexpr int kLineFeed = '\n';

struct Query {
    std::string text;    // sent to the server, before CR LF
    std::string server;  // host name or dotted address
};

// Splits at the last '@'; an argument without one asks the default server.
inline Query split_query(std::string_view argument) {
    const size_t at = argument.rfind('@');
    if (at == std::string_view::npos) return {std::string(argument), std::string(kDefaultServer)};
    return {std::string(argument.substr(0, at)), std::string(argument.substr(at + 1))};
}

// ASCII classification, independent of any locale the C library may hold.
constexpr bool is_print_or_space(int c) {
    return (c >= 0x20 && c < 0x7f) || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Converts an answer one byte at a time: the eighth bit is dropped, control
// characters become printable, and CR, CR LF and CR CR LF line ends become
// one line feed per CR.
class AnswerFilter {
  public:
    // Returns the character to write for byte, or -1 when it writes nothing.
    int feed(int byte) {
        int c = byte & kAsciiMask;
        if (c == kCarriageReturn) {
            last_ = kCarriageReturn;
            return kLineFeed;
        }
        if (!is_print_or_space(c)) c |= kControlMark;
        const bool swallowed = last_ == kCarriageReturn && c == kLineFeed;
        last_ = c;
        return swallowed ? -1 : c;
    }
    // True when the output so far does not end in a line feed of the answer's
    // own, so that one more is needed (an empty answer or a lone CR included).
    bool needs_final_newline() const { return last_ != kLineFeed; }

  private:
    int last_ = -1;  // last character seen; none yet
};

}  // namespace whois

#endif  // VESK_UTILS_WHOIS_TEXT_H
