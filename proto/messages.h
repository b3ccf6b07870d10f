// The messages on a client's socket to its veskd: the bytes that frame a
// request and a reply, and the refusal texts that more than one side sends.
//
//   request  '@', the direction (kToNear or kToFar), the code, the argument
//            text, NUL
//   reply    '@', the direction of the request, kReplyOk or kReplyFailed,
//            the text, NUL
#pragma once

namespace vesk::proto {

// First byte of every request and reply.
constexpr char kMessageStart = '@';
// The direction byte: served by this machine's veskd, or by the far one.
constexpr char kToNear = '?';
constexpr char kToFar = '>';
// The status byte of a reply.
constexpr char kReplyOk = 'd';
constexpr char kReplyFailed = 'e';

// A command the server is too old for, or that nobody serves.
constexpr const char *kUnsupported = "Unsupported vesk option";
// A request that is no request ('@' missing, no code, a wrong direction).
constexpr const char *kBadRequest = "Bad request";
// A request longer than kRequestMax (commands.h).
constexpr const char *kRequestTooLong = "Request too long";

}  // namespace vesk::proto
