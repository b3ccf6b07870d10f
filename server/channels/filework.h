// A channel's file transfers: the file a dump writes ('6', '1', 'E', the data
// that follows, 'M', 'O'), the file a read sends ('7', '2'), and the one-shot
// operations on a name: removal ('Z') and the directories, links, exact
// times and renames of tree copies ('K', 'k', 'P', 'R').  A tree copy first
// names its top ('U'): the channel's names then resolve beneath it without
// following any link.  Replies and file data go to the channel's
// outlet; the command table (dispatch.h) names which member serves a code.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "bytequeue.h"
#include "files.h"
#include "link.h"
#include "loop.h"
#include "outlet.h"
#include "scope.h"

namespace vesk {

class FileWork {
  public:
    // Names lead where scope says; key names the channel in the log.  loop,
    // outlet and scope must outlive this.
    FileWork(Loop &loop, Outlet &outlet, const Scope &scope, ChanKey key);
    // Data still held is written first.  (Not copyable: it owns files.)
    ~FileWork();

    // '6', '1', 'E': opens the dump's file fresh, opens it at an offset,
    // moves within it; each replies (files::Sink says with what).
    void open_fresh(std::string_view arg) { answer(sink_.open_fresh(arg)); }
    void open_at(std::string_view arg) { answer(sink_.open_at(arg)); }
    void seek(std::string_view arg) { answer(sink_.seek(arg)); }
    // 'M': what the dump wrote goes to the disk.  No reply.
    void sync() { sink_.flush(); }
    // 'O': sets the final mode and times and closes the dump's file.  No
    // reply: a failure is only logged.
    void finish(std::string_view arg);
    // '7': opens a file to read, replies, and on success sends its bytes as
    // stream data until it ends.
    void read(std::string_view arg);
    // '2': abandons the file read; its data ends with a reset, no reply.
    void stop_read();
    // A one-shot operation on a name within this channel's scope (files.h,
    // dirs.h: 'Z', 'K', 'Y', 'k', 'J'), replied with its result.
    using NameWork = files::Reply (*)(std::string_view arg, const Scope &scope);
    void on_name(NameWork work, std::string_view arg) { answer(work(arg, scope())); }
    // 'U': "name" makes the tree beneath name this channel's scope, "" the
    // scope it started with.  A top that cannot be opened fails, and every
    // name fails until the next 'U': a name meant for the tree must never
    // land elsewhere.
    void set_tree(std::string_view arg);
    // Where this channel's names lead now.
    const Scope &scope() const { return in_tree_ ? tree_ : scope_; }
    // 'Q''s answer: sends the listing open on fd (taken over) as stream
    // data, as a '7' read sends a file.
    void send_listing(int fd);
    // Stream bytes from the client.  Returns true when they were file data
    // (taken, and counted as consumed), false when no file is open for
    // writing: they are not for this.
    bool data_in(std::string_view bytes);
    // Everything data_in took is in the file (or failed to get there).
    void flush();
    // The outlet has room again: a file being read goes on.
    void outlet_room();
    // Files held open: the one written and the one read.
    // A '7' read is feeding the outlet; it ends the outlet's stream itself.
    bool reading() const { return source_.is_open(); }
    size_t descriptors() const { return size_t(sink_.is_open()) + size_t(source_.is_open()); }

  private:
    void answer(const files::Reply &r) { outlet_.reply(r.ok, r.text); }
    void pump_source();

    Loop &loop_;
    Outlet &outlet_;
    const Scope &scope_;
    Scope tree_;  // the tree named by 'U'
    bool in_tree_ = false;
    ChanKey key_;
    // Lets a deferred flush see that this has gone.
    std::shared_ptr<char> life_ = std::make_shared<char>();

    files::Sink sink_;
    // File data gathered over one batch of link frames: a dump arrives in
    // pieces of a few hundred bytes, and one write per piece costs more than
    // the copy.
    ByteQueue sink_buf_;
    bool sink_flush_pending_ = false;
    // A file read is being sent while it is open: a '7' that fails closes
    // the one before it, and nothing is left to pump or end.
    files::Source source_;
};

}  // namespace vesk
