// The connection records shared by the files of the connection owner
// (daemon/connections.h) and by the hand-over's two sides
// (daemon/handover_old.cpp, daemon/handover_new.cpp), which keep each
// connection's part in a hand-over in its record; nothing else includes
// this.
#pragma once

#include <pthread.h>

#include <atomic>
#include <string>
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

// A new daemon's progress on one connection: a shared one (the old
// daemon has a session there) goes joining -> marked -> cut; any other is
// cut from the start, and all are once the old daemon ended before it
// released.
enum class TakeoverState { joining, marked, cut };

// A connection's part in a hand-over (daemon/handover.h), written and read
// by the hand-over alone.
struct HandoverPart {
    // Old daemon: up when the hand-over began, so the new daemon was told
    // of it and marks it; it is cut once the record's state is cut (its
    // marker came, or its session was lost).
    bool told = false;
    // New daemon: the fields below are set from the first time the record
    // is looked at after the take-over's connections were made.
    bool seen = false;
    bool shared = false;              // the old daemon has a session there
    std::string old_group;            // ... with this private group
    TakeoverState state = TakeoverState::cut;
    unsigned long sessions = 0;       // conf->connections when last looked at
    std::vector<std::string> joins;   // groups whose join membership is awaited
};

struct Connection {
    SpreadConf *conf = nullptr;
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
    HandoverPart handover;
};

// Every record, in registry order, made by conn_init; never freed.
extern std::vector<Connection> &conn_records;

// conf's record; null for a SpreadConf the registry did not hold at
// conn_init.
Connection *conn_record(const SpreadConf *conf);
