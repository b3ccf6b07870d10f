// A channel's requests answered off the loop (see offloop.h).
#include "offloop.h"

#include <cstdio>

#include "dirs.h"
#include "fd.h"
#include "files.h"
#include "hostport.h"
#include "log.h"
#include "lookup.h"

namespace vesk {
namespace {
// Bytes a file check reads before it lets other checks waiting for a worker
// have a turn: about 40 ms at 400 MB/s.
constexpr size_t kCheckSliceBytes = 16 * 1024 * 1024;
// Bytes of a file check made on the loop before the rest goes to a worker:
// a tree's small files are most of its files.
constexpr size_t kInlineCheckBytes = 64 * 1024;
// Room for "address-in-hex name": 8 digits, a blank, the name and the NUL.
constexpr size_t kSelfTextMax = 320;
}  // namespace

bool OffLoop::admit(Workers::Kind kind) {
    if (!budget_) return true;
    FarBudget::What what =
        kind == Workers::Kind::kLookup ? FarBudget::kLookups : FarBudget::kChecks;
    if (!budget_->take(what)) return false;
    charged_ = what;
    return true;
}

void OffLoop::release() {
    if (charged_ != FarBudget::kKinds) budget_->give(charged_);
    charged_ = FarBudget::kKinds;
}

void OffLoop::status(std::string_view arg, const Scope &scope) {
    if (!admit(Workers::Kind::kFileCheck)) {
        log::error("too many file checks from the far end, closing the channel that asked");
        return outlet_.closed();
    }
    // The checksum reads the file: a large one would stop every channel for
    // as long as that takes, so it runs off the loop, in slices, waiting its
    // turn when the workers are busy.
    auto check = std::make_shared<files::Check>(arg, scope);
    // A small file's check costs less than handing it to a worker and back
    // (two thread wake-ups): the first slice, of a few pages, runs here.
    if (check->step(kInlineCheckBytes)) {
        release();
        return outlet_.reply(check->reply().ok, check->reply().text);
    }
    bool started = run<files::Reply>(
        Workers::Kind::kFileCheck,
        [check](const std::atomic<bool> &) -> std::optional<files::Reply> {
            if (!check->step(kCheckSliceBytes)) return std::nullopt;
            return check->reply();
        },
        [this](const files::Reply &r) { outlet_.reply(r.ok, r.text); });
    // No thread at all: a probe that failed would pass for a missing file
    // (and an upload would then overwrite it), so answer it here, slowly.
    if (!started) {
        while (!check->step(SIZE_MAX)) {
        }
        outlet_.reply(check->reply().ok, check->reply().text);
    }
}

void OffLoop::list_tree(std::string_view arg, const Scope &scope, std::function<void(int)> serve) {
    if (!admit(Workers::Kind::kFileCheck)) {
        log::error("too many file checks from the far end, closing the channel that asked");
        return outlet_.closed();
    }
    // The listing's descriptor is closed with the answer if the channel
    // goes before it is given.
    struct Listed {
        std::shared_ptr<Fd> fd;
        size_t bytes = 0;
        std::string why;
    };
    auto work = [name = std::string(arg), scope](const std::atomic<bool> &) {
        Listed l;
        l.fd = std::make_shared<Fd>(files::list_tree(name, scope, &l.bytes, &l.why));
        return std::optional<Listed>(std::move(l));
    };
    auto done = [this, serve = std::move(serve)](const Listed &l) {
        if (l.fd->get() < 0) return outlet_.reply(false, l.why);
        outlet_.reply(true, std::to_string(l.bytes));
        serve(l.fd->release());
    };
    if (!run<Listed>(Workers::Kind::kFileCheck, work, done)) {
        // No thread at all: listed here, stalling the loop, rather than not at all.
        std::optional<Listed> l = work(std::atomic<bool>(false));
        done(*l);
    }
}

void OffLoop::resolve(std::string_view arg, const std::string &host, uint32_t addr) {
    std::string name(arg);
    if (name.empty() || name == "remotehost" || name == host) {
        char text[kSelfTextMax];
        snprintf(text, sizeof text, "%lx %s", (unsigned long)addr, host.c_str());
        return outlet_.reply(true, text);
    }
    if (name.size() > proto::kHostNameMax) return outlet_.reply(false, "Host name too long");
    if (!admit(Workers::Kind::kLookup)) return outlet_.reply(false, kTooManyJobs);
    bool started = run<lookup::Result>(
        Workers::Kind::kLookup,
        [name](const std::atomic<bool> &) -> std::optional<lookup::Result> {
            return lookup::canonical(name);
        },
        [this](const lookup::Result &r) { outlet_.reply(r.ok, r.text); });
    if (!started) outlet_.reply(false, kNoWorker);
}

}  // namespace vesk
