#include "daemon/session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "config/settings.h"
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

// Makes room for `mailbox` in the table, doubling it as often as needed.
static bool mailbox_table_reserve(int mailbox)
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

void for_each_spread_conf(SpreadConfOp op, void *arg)
{
    SkiplistNode *node = sl_first(&spread_confs);
    if (node == nullptr)
        return;
    for (void *conf = node->data; conf != nullptr; conf = sl_next(&spread_confs, &node))
        op((SpreadConf *)conf, arg);
}

void for_each_facility(SpreadConf *conf, FacilityOp op, void *arg)
{
    SkiplistNode *node = sl_first(conf->facilities);
    if (node == nullptr)
        return;
    for (void *facility = node->data; facility != nullptr; facility = sl_next(conf->facilities, &node))
        op((LogFacility *)facility, arg);
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

int session_mailbox(const SpreadConf *conf)
{
    if (!conf->connected)
        return -1;
    for (int i = 0; i < mailbox_slots; i++)
        if (mailbox_table[i] == conf)
            return i;
    return -1;
}

int join_group(LogFacility *facility, void *mailbox)
{
    int result = SP_join(*(int *)mailbox, facility->groupname);
    if (result == 0 && verbose)
        fprintf(stderr, "Joined %s.\n", facility->groupname);
    return result;
}

static int connect_session(SpreadConf *conf, bool join, bool report_failure)
{
    char private_name[MAX_GROUP_NAME];
    snprintf(private_name, sizeof private_name, "wkp-%05d", (int)getpid());
    if (conf->connected)
        return -1;

    const char *host = conf->host ? conf->host : "/tmp";
    char separator = conf->host ? ':' : '/';
    mailbox mbox = -1;
    sp_time deadline = {connect_deadline_sec, 0};
    int result = SP_connect_timeout(spread_daemon_name(conf), private_name, 1, spread_membership, &mbox,
                                    conf->private_group, deadline);
    if (result != ACCEPT_SESSION) {
        if (verbose && report_failure)
            fprintf(stderr, "Failed connection to spread at %s%c%s\n", host, separator, conf->port);
        conf->connected = 0;
        return -1;
    }
    if (!mailbox_table_reserve(mbox)) {
        // No room to remember the session: give it up rather than lose track.
        fprintf(stderr, "Out of memory for mailbox %d\n", mbox);
        SP_disconnect(mbox);
        conf->connected = 0;
        return -1;
    }
    if (verbose)
        fprintf(stderr, "Successfully connected to spread at %s%c%s\n", host, separator, conf->port);

    // Read the session on a thread of the library's own: a Spread daemon
    // drops a session that has 1000 messages waiting, milliseconds at full
    // rate, and no output stall may cost that. Without a thread the session
    // still works, read by the loop itself.
    int read_ahead = SP_read_ahead(mbox, 1);
    if (read_ahead != 0) {
        fprintf(stderr, "Cannot read ahead on spread mailbox %d:\n\t", mbox);
        SP_error(read_ahead);
    }

    mailbox_table[mbox] = conf;
    conf->connected = 1;
    conf->connections++;
    if (join)
        for_each_facility(conf, join_group, &mbox);
    return mbox;
}

int spread_connect(SpreadConf *conf, void *join) { return connect_session(conf, *(int *)join != 0, true); }

int spread_connect_quietly(SpreadConf *conf) { return connect_session(conf, true, false); }
