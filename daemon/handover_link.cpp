#include "daemon/handover_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "output/clock.h"

HandoverLink &handover_link = *new HandoverLink;

void link_open(int fd)
{
    link_close();
    handover_link.fd = fd;
}

void link_close()
{
    if (handover_link.fd >= 0)
        close(handover_link.fd);
    handover_link = HandoverLink{};
}

bool link_send(const ChannelLine &line)
{
    std::string text = channel_encode(line);
    if (handover_link.fd < 0 || text.empty())
        return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(handover_link.fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            handover_link.ended = true;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void link_read()
{
    if (handover_link.fd < 0 || handover_link.ended)
        return;
    char buf[4096];
    for (;;) {
        // Nothing the other side sends is kept beyond one line's worth
        // past what is taken: a longer line is malformed anyway.
        if (handover_link.incoming.size() > 64 * channel_line_max)
            return;
        ssize_t n = recv(handover_link.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            handover_link.incoming.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            handover_link.ended = true;
        return;
    }
}

bool link_next(ChannelLine *line)
{
    std::string &in = handover_link.incoming;
    size_t end = in.find('\n');
    if (end == std::string::npos) {
        if (in.size() > channel_line_max)
            handover_link.ended = true;
        return false;
    }
    bool ok = channel_decode(std::string_view(in).substr(0, end), line);
    in.erase(0, end + 1);
    if (!ok) {
        handover_link.ended = true;
        in.clear();
    }
    return ok;
}

bool link_wait(long deadline_ms)
{
    if (handover_link.fd < 0 || handover_link.ended)
        return true;
    long left = deadline_ms - clock_ms();
    if (left <= 0)
        return false;
    pollfd p{handover_link.fd, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left > 1000 ? 1000 : left));
    if (n > 0)
        link_read();
    return true;
}
