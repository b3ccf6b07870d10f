// Two-way relay between a stream descriptor and an input/output pair.  poll
// replaces select so that descriptors at or above FD_SETSIZE are safe.
#include <cerrno>

#include <poll.h>
#include <unistd.h>

#include "buffer_internal.h"

namespace {

void discard(vesk_buff *b) {
    b->start = 0;
    b->end = 0;
    b->count = 0;
}

void prime(vesk_buff *b) {
    add_to_buffer(b, 0);
    get_from_buffer(b);
}

constexpr int kNoTimeout = -1;  // ms; block until something is ready

}  // namespace

// Why this is not the OneWay relay of do_connect (listen.cpp): the public
// contract of do_select_loop fixes what the two would have to share.  It
// moves bytes through the public struct vesk_buff with read_into_buff and
// write_from_buff (veskerrno telling an end from "nothing yet"), reads a
// direction only when its buffer is empty, closes the two-way descriptor
// once the input has ended rather than half-closing it, and discards what
// is held after a failed output.  OneWay half-closes, reads while it has
// room, and owns its ByteQueue; bending one to the other would change a
// behaviour that callers of either rely on.
int do_select_loop(int twoway, int input, int output) {
    vesk_buff out{};
    vesk_buff in{};
    prime(&out);
    prime(&in);
    while (twoway >= 0 || (output >= 0 && in.count > 0)) {
        if (twoway >= 0 && input < 0 && out.count == 0) {
            close(twoway);
            twoway = -1;
        }
        if (twoway < 0) {
            if (input >= 0) {
                input = -1;
                discard(&out);
            }
            if (in.count == 0) output = -1;
            if (output < 0) break;
        }
        // Slots: 0 two-way, 1 input, 2 output; an unused slot has fd -1 and poll skips it.
        pollfd fds[3] = {{-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}};
        if (out.count > 0) {
            if (twoway >= 0) {
                fds[0].fd = twoway;
                fds[0].events |= POLLOUT;
            }
        } else if (input >= 0) {
            fds[1].fd = input;
            fds[1].events = POLLIN;
        }
        if (in.count > 0) {
            if (output >= 0) {
                fds[2].fd = output;
                fds[2].events = POLLOUT;
            } else {
                discard(&in);
            }
        }
        // Not an else: after a discard the two-way descriptor must still be
        // read, or a silent input would leave the loop waiting forever.
        if (in.count == 0 && twoway >= 0) {
            fds[0].fd = twoway;
            fds[0].events |= POLLIN;
        }
        int ready = poll(fds, 3, kNoTimeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            for (auto &p : fds) p.revents = 0;
        }
        // Errors and hangups count as readiness so the call itself reports the end.
        constexpr short kEnded = POLLERR | POLLHUP | POLLNVAL;
        bool twoway_read = (fds[0].events & POLLIN) && (fds[0].revents & (POLLIN | kEnded));
        bool twoway_write = (fds[0].events & POLLOUT) && (fds[0].revents & (POLLOUT | kEnded));
        bool input_read = fds[1].fd >= 0 && (fds[1].revents & (POLLIN | kEnded));
        bool output_write = fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | kEnded));
        if (twoway >= 0 && twoway_read) {
            if (read_into_buff(twoway, &in, 0) < 1 && veskerrno != 0) {
                close(twoway);
                twoway = -1;
            }
        }
        if (twoway >= 0 && twoway_write) {
            if (write_from_buff(twoway, &out, 0) < 1 && veskerrno != 0) {
                close(twoway);
                twoway = -1;
            }
        }
        if (input >= 0 && twoway >= 0 && input_read) {
            if (read_into_buff(input, &out, 0) < 1 && veskerrno != 0) input = -1;
        }
        if (output >= 0 && output_write) {
            if (write_from_buff(output, &in, 0) < 1 && veskerrno != 0) {
                output = -1;
                discard(&in);
            }
        }
    }
    vesk::buffer_release(&out);
    vesk::buffer_release(&in);
    return 0;
}
