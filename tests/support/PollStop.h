// A test server's thread waits for its socket or its stop eventfd; one
// wait for all of them, so that each stops the same way.
#pragma once

#include <poll.h>

#include <cerrno>

namespace sio::test {

// Blocks until fd is readable (true) or stop is signalled or the wait
// fails (false).
inline bool ReadableBeforeStop(int fd, int stop)
{
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR)
            return false;
        if (p[1].revents)
            return false;
        if (p[0].revents)
            return true;
    }
}

}  // namespace sio::test
