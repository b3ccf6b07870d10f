// Where the names in file requests lead.
//
// Unconfined (the default), a name is used as given: relative names start at
// the daemon's working directory.  Confined to a directory (veskd --root), a
// name must stay beneath it: relative names start there, and absolute names,
// ".." that climbs out and symbolic links that lead out are refused (errno
// EXDEV).  The kernel does the confining with openat2(RESOLVE_BENEATH) where it
// has it; elsewhere a walk one component at a time does the same.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace vesk {

class Scope {
  public:
    // How a confined Scope resolves names: the kernel's openat2 when it has
    // it, or always the walk (for tests of the walk).
    enum class Resolver { kAuto, kWalk };
    // Symbolic links followed while resolving one name, as the kernel allows.
    static constexpr int kLinksMax = 40;

    Scope() = default;  // unconfined
    // A scope in which every name fails (ENOENT).
    static Scope refusing();

    // Confines to dir.  Returns false with a message in *error when dir
    // cannot be opened as a directory.
    static bool confine(const std::string &dir, Scope *out, std::string *error,
                        Resolver resolver = Resolver::kAuto);
    bool confined() const { return root_ != nullptr; }
    // The top of a tree copy: a scope confined beneath dir (resolved through
    // this one) in which no symbolic link is followed, not even one that
    // stays beneath it, so that a link left in a tree by an earlier copy
    // never leads a write elsewhere.  Returns false with errno.
    bool tree_at(std::string_view dir, Scope *out) const;

    // open(2) of name (O_CLOEXEC added).  Returns the descriptor, or -1 with
    // errno: EXDEV when the name leads out of the directory, ELOOP after
    // kLinksMax links, or what open gave.
    int open(std::string_view name, int flags, mode_t mode = 0) const;
    // The directory that holds name's last component, for operations on the
    // name itself (unlink); *last receives that component.  Returns the
    // directory's descriptor (O_PATH) or -1 with errno as for open().
    int open_parent(std::string_view name, std::string *last) const;

    // The reply text for a failure of open() or open_parent() with err.
    std::string refusal(std::string_view name, int err) const;

  private:
    std::shared_ptr<const int> root_;  // O_PATH descriptor of the directory
    Resolver resolver_ = Resolver::kAuto;
    bool no_links_ = false;
};

}  // namespace vesk
