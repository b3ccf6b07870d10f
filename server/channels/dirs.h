// Directory and symbolic-link commands of veskd, for the tree copies of
// upload and download.  Pure file work like files.h: the channel code calls
// these with the request's argument text and sends the reply.  Names resolve
// through a Scope, and a symbolic link met as the last component is never
// followed: it is made, read or listed as the link it is.
#pragma once

#include <string_view>

#include "files.h"
#include "scope.h"

namespace vesk::files {

// 'K': "mode\nname".  Makes the directory with that mode (less the umask);
// a directory already there is fine, and keeps its mode.  Fails with
// strerror's text ("File exists" for anything else there, a link included),
// the scope's refusal or "Bad argument".
Reply make_dir(std::string_view arg, const Scope &scope = {});

// 'Y': "page\nname".  Text: that page of the directory's listing
// (proto/listing.h).  A page past the last gives the count and no entries.
// Fails with strerror's text ("Not a directory"), the scope's refusal or
// "Bad argument".
Reply list_dir(std::string_view arg, const Scope &scope = {});

// 'k': "name\ntarget".  Makes a symbolic link; one already there is
// replaced, anything else is not ("File exists").  The target is stored as
// given: whatever it names is never opened here.
Reply make_link(std::string_view arg, const Scope &scope = {});

// 'J': "name".  Text: the target of the symbolic link.  Fails with
// strerror's text ("Invalid argument" for what is not a link), "Link target
// too long" when it would not fit a reply, the scope's refusal or "Bad
// argument".
Reply read_link(std::string_view arg, const Scope &scope = {});

}  // namespace vesk::files
