// The calls of daemon/handover.h that both sides answer, each passed to
// the side of this process's role (daemon/handover_old.cpp,
// daemon/handover_new.cpp).
#include "daemon/handover.h"

#include <cstring>

#include "daemon/handover_internal.h"
#include "daemon/handover_link.h"

int handover_poll_fd()
{
    return handover_link.fd >= 0 && !handover_link.ended ? handover_link.fd : -1;
}

void handover_readable()
{
    if (handover_role == HandoverRole::old_daemon)
        old_readable();
    else if (handover_role == HandoverRole::new_daemon)
        new_readable();
}

int handover_wait_ms(int ms)
{
    if (handover_role == HandoverRole::old_daemon)
        return old_wait_ms(ms);
    if (handover_role == HandoverRole::new_daemon)
        return new_wait_ms(ms);
    return ms;
}

HandoverVerdict handover_message(SpreadConf *conf, service type, const char *sender, int16 mess_type,
                                 const char *body, int length)
{
    if (handover_role == HandoverRole::none)
        return HANDOVER_PASS;
    const size_t prefix = sizeof handover_marker_prefix - 1;
    bool marker = Is_regular_mess(type) && mess_type == handover_marker_type &&
                  static_cast<size_t>(length) == prefix + handover_token.size() &&
                  memcmp(body, handover_marker_prefix, prefix) == 0 &&
                  memcmp(body + prefix, handover_token.data(), handover_token.size()) == 0;
    if (handover_role == HandoverRole::old_daemon)
        return old_message(conf, marker);
    return new_message(conf, type, sender, mess_type, marker);
}

HandoverStep handover_pass()
{
    if (handover_role == HandoverRole::new_daemon)
        return new_pass();
    // Also after a failure, which leaves the role none and the reconnection
    // to ask for.
    return old_pass();
}

bool handover_defers_reopen()
{
    return handover_role == HandoverRole::new_daemon && handover_taking_over();
}

void handover_stop()
{
    if (handover_role == HandoverRole::old_daemon)
        old_stop();
    else if (handover_role == HandoverRole::new_daemon)
        new_stop();
}
