// Directory and symbolic-link commands of veskd, for the tree copies of
// upload and download.  Pure file work like files.h: the channel code calls
// these with the request's argument text and sends the reply.  Names resolve
// through a Scope, and a symbolic link met as the last component is never
// followed: it is made, listed, timed or renamed as the link it is.
#pragma once

#include <string>
#include <string_view>

#include "files.h"
#include "scope.h"

namespace vesk::files {

// 'K': "mode\nname".  Makes the directory with that mode (less the umask);
// a directory already there is fine, and keeps its mode.  Fails with
// strerror's text ("File exists" for anything else there, a link included),
// the scope's refusal or "Bad argument".
Reply make_dir(std::string_view arg, const Scope &scope = {});

// 'k': "name\ntarget".  Makes a symbolic link; one already there is
// replaced, anything else is not ("File exists").  The target is stored as
// given: whatever it names is never opened here.
Reply make_link(std::string_view arg, const Scope &scope = {});

// 'P': "mode mtime atime\nname": the finished mode and exact times of a tree
// entry (listing.h's "<seconds>.<nanoseconds>"; "-" leaves a field as it
// is).  A link gets only its own times; a regular file's data is synced to
// disk first, as for 'O'.  Fails with strerror's text, the scope's refusal
// or "Bad argument".
Reply set_exact(std::string_view arg, const Scope &scope = {});

// 'R': "from\nto": renames within the scope, neither name followed if it is
// a link.  Fails with strerror's text, the scope's refusal or "Bad argument".
Reply rename_entry(std::string_view arg, const Scope &scope = {});

// 'Q': "name".  Lists the tree beneath name (listing.h) into an anonymous
// file, never following a link.  Returns its descriptor positioned at 0 with
// the byte count in *bytes, or -1 with the reply's reason in *why ("Tree
// listing too large" past the listing's bounds).  Reads every directory
// once: linear in the tree's size.  Runs off the loop.
int list_tree(std::string_view arg, const Scope &scope, size_t *bytes, std::string *why);

}  // namespace vesk::files
