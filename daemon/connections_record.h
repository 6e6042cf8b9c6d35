// The connection records shared by the files of the connection owner
// (daemon/connections.h); nothing outside them includes this.
#pragma once

#include <pthread.h>

#include <atomic>
#include <vector>

#include "daemon/connections.h"
#include "daemon/session.h"

// One attempt. The loop's thread writes `request` before the attempt's
// thread starts and reads `result` only after `done`; the attempt's thread
// writes `result`, then `done`.
struct Attempt {
    SessionRequest request;
    SessionResult result;
    pthread_t thread{};
    bool threaded = false;            // false: it ran on the loop's thread
    std::atomic<bool> done{false};
};

struct Connection {
    SpreadConf *conf;
    ConnState state = ConnState::down;
    int mailbox = -1;                 // up and cutting only
    Attempt *attempt = nullptr;       // connecting only
    bool loud = false;                // the attempt reports its failure
    bool after_loss = false;          // ... and "Error connecting" (-x)
    unsigned long pass = 0;           // the pass whose order it reports in; 0: none
    bool taking_back = false;         // started by conn_reconnect_now: its result
                                      // waits until this daemon no longer hands over
    // The tries after its socket appeared (local daemons only).
    long long try_at_ms = -1;         // the next one; -1: none scheduled
    long long tries_until_ms = 0;     // none after this
    int try_delay_ms = 0;             // before the one after next
    bool appeared_meanwhile = false;  // the socket appeared during the attempt
};

// Every record, in registry order, made by conn_init; never freed.
extern std::vector<Connection> &conn_records;

// conf's record; null for a SpreadConf the registry did not hold at
// conn_init.
Connection *conn_record(const SpreadConf *conf);
