#include "daemon/connections_record.h"

std::vector<Connection> &conn_records = *new std::vector<Connection>;

Connection *conn_record(const SpreadConf *conf)
{
    for (Connection &c : conn_records)
        if (c.conf == conf)
            return &c;
    return nullptr;
}

const char *conn_state_name(ConnState state)
{
    switch (state) {
    case ConnState::down: return "down";
    case ConnState::connecting: return "connecting";
    case ConnState::up: return "up";
    case ConnState::cutting: return "cutting";
    case ConnState::cut: return "cut";
    }
    return "down";
}

ConnState conn_state(const SpreadConf *conf)
{
    const Connection *c = conn_record(conf);
    return c ? c->state : ConnState::down;
}

int conn_mailbox(const SpreadConf *conf)
{
    const Connection *c = conn_record(conf);
    return c ? c->mailbox : -1;
}
