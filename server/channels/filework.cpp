// A channel's file transfers (see filework.h).
#include "filework.h"

#include "log.h"

namespace vesk {
namespace {
// File data held before it is written even within one batch, bytes.
constexpr size_t kSinkBufferMax = 256 * 1024;
}  // namespace

FileWork::FileWork(Loop &loop, Outlet &outlet, const Scope &scope, ChanKey key)
    : loop_(loop),
      outlet_(outlet),
      scope_(scope),
      key_(key),
      sink_(scope),
      sink_buf_(kSinkBufferMax),
      source_(scope) {}

FileWork::~FileWork() {
    flush();
}

void FileWork::set_tree(std::string_view arg) {
    flush();
    in_tree_ = !arg.empty();
    tree_ = Scope::refusing();
    bool ok =
        !in_tree_ || (arg.find('\0') == std::string_view::npos && scope_.tree_at(arg, &tree_));
    int err = errno;
    sink_.rescope(scope());
    source_.rescope(scope());
    answer(ok ? files::Reply{true, ""} : files::Reply{false, scope_.refusal(arg, err)});
}

void FileWork::send_listing(int fd) {
    source_.adopt(fd);
    pump_source();
}

void FileWork::finish(std::string_view arg) {
    files::Reply r = files::set_final(arg, scope());
    if (!r.ok) log::info("setting mode and times failed: %s", r.text.c_str());
    sink_.close();
}

void FileWork::read(std::string_view arg) {
    files::Reply r = source_.open(arg);
    answer(r);
    if (r.ok) pump_source();
}

void FileWork::stop_read() {
    source_.close();
    outlet_.data_reset();
}

bool FileWork::data_in(std::string_view bytes) {
    if (!sink_.is_open()) return false;
    if (!sink_buf_.append(bytes)) {
        flush();
        // More than a whole batch at once: it goes straight to the file.
        if (!sink_buf_.append(bytes)) sink_.write(bytes.data(), bytes.size());
    }
    outlet_.consumed(bytes.size());
    if (sink_buf_.room() == 0) {
        flush();
    } else if (!sink_flush_pending_) {
        sink_flush_pending_ = true;
        std::weak_ptr<char> life = life_;
        loop_.defer([this, life] {
            if (!life.expired()) flush();
        });
    }
    return true;
}

void FileWork::flush() {
    sink_flush_pending_ = false;
    if (sink_buf_.empty()) return;
    std::string_view held = sink_buf_.peek();
    if (sink_.is_open()) sink_.write(held.data(), held.size());
    sink_buf_.clear();
}

void FileWork::outlet_room() {
    if (source_.is_open()) pump_source();
}

void FileWork::pump_source() {
    char buf[kReadChunk];
    while (source_.is_open() && outlet_.data_room()) {
        ssize_t r = source_.read(buf, sizeof buf);
        if (r > 0) {
            outlet_.data({buf, size_t(r)});
            continue;
        }
        // End of file, or a read error: the client sees the stream end and
        // compares sizes.
        if (r < 0) log::info("channel %u: file read failed", chan_id(key_));
        source_.close();
        outlet_.eof();
    }
}

}  // namespace vesk
