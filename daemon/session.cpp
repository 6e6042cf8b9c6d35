#include "daemon/session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "config/settings.h"
#include "output/clock.h"
#include "spread/sp.h"

static_assert(sizeof(((SpreadConf *)nullptr)->private_group) == MAX_GROUP_NAME);

SpreadConf **mailbox_table = nullptr;
int mailbox_slots = 0;
int spread_membership = 0;

bool mailbox_table_init(int slots)
{
    mailbox_table = (SpreadConf **)calloc(slots, sizeof *mailbox_table);
    if (mailbox_table == nullptr)
        return false;
    mailbox_slots = slots;
    return true;
}

bool mailbox_table_reserve(int mailbox)
{
    if (mailbox < mailbox_slots)
        return true;
    int slots = mailbox_slots;
    while (slots <= mailbox)
        slots *= 2;
    SpreadConf **grown = (SpreadConf **)realloc(mailbox_table, slots * sizeof *grown);
    if (grown == nullptr)
        return false;
    memset(grown + mailbox_slots, 0, (slots - mailbox_slots) * sizeof *grown);
    mailbox_table = grown;
    mailbox_slots = slots;
    return true;
}

const char *spread_daemon_name(SpreadConf *conf)
{
    static char name[1024];
    if (conf->host == nullptr)
        snprintf(name, sizeof name, "%s", conf->port);
    else
        snprintf(name, sizeof name, "%s@%s", conf->port, conf->host);
    return name;
}

static int add_group(LogFacility *facility, void *groups)
{
    static_cast<std::vector<std::string> *>(groups)->push_back(facility->groupname);
    return 0;
}

SessionRequest session_request(SpreadConf *conf, bool join)
{
    SessionRequest request;
    request.daemon = spread_daemon_name(conf);
    char private_name[MAX_GROUP_NAME];
    snprintf(private_name, sizeof private_name, "wkp-%05d", (int)getpid());
    request.private_name = private_name;
    request.membership = spread_membership;
    if (join)
        for_each_facility(conf, add_group, &request.groups);
    return request;
}

void session_open(const SessionRequest &request, SessionResult *out)
{
    out->started_ms = clock_ms();
    mailbox mbox = -1;
    sp_time deadline = {connect_deadline_sec, 0};
    out->result = SP_connect_timeout(request.daemon.c_str(), request.private_name.c_str(), 1, request.membership,
                                     &mbox, out->private_group, deadline);
    if (out->result == ACCEPT_SESSION) {
        out->mailbox = mbox;
        // Read the session on a thread of the library's own: a Spread
        // daemon drops a session that has 1000 messages waiting,
        // milliseconds at full rate, and no output stall may cost that.
        // Without a thread the session still works, read by the loop.
        out->read_ahead = SP_read_ahead(mbox, 1);
        for (const std::string &group : request.groups)
            out->joins.push_back(SP_join(mbox, group.c_str()));
    }
    out->ended_ms = clock_ms();
}
