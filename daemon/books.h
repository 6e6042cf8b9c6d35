// The books of the reading path: for each Spread connection, what its
// sessions read from their daemon and what the loop took from them, so
// that a message read and then lost on its way to the outputs cannot go
// unnoticed.
//
// Three counts are kept along the road of a message, per connection and
// over all its sessions, the ended ones included:
//
//   read_bytes     bytes the library's reader read from the socket
//   framed         whole messages it found in them
//   taken          messages the library handed to the loop (SP_receive)
//   loop_taken     messages the loop counted as taken
//
// They balance when
//
//   framed = taken + held         held: whole messages read ahead, not taken
//   taken  = loop_taken
//   held   = 0 exactly when no byte of a whole message is held
//
// A difference that these do not explain is a fault of the reading path:
// books_check says it on standard error at SIGTERM and in the status
// report, whatever the options, naming the connection and every count.
//
// A session its daemon ended (end of file, a socket error, a kill for
// "not reading") loses what the daemon still queued for it, which no
// count here can see: that is said at once, whatever the options, with
// how much the session held and had held at most, so a daemon that
// dropped a slow reader is never silent:
//
//   Lost the session with spread daemon %s: messages it sent until the
//   next join are lost (%llu bytes held, %llu at most of %llu)
//
// (one line). The bytes of a message cut off at the end of the stream
// are counted as cut_bytes. Whole messages read and never taken when a
// session ends (none should be: the loop takes them all before a session
// is given up) are counted as left and said at once:
//
//   Lost %llu messages read from spread daemon %s with its session
#pragma once

#include <cstdio>

#include "config/model.h"

// One connection's books, as books_read gives them.
struct SpreadBooks {
    unsigned long long read_bytes;   // read from the sockets
    unsigned long long framed;       // whole messages found
    unsigned long long taken;        // handed to the loop by the library
    unsigned long long loop_taken;   // counted by the loop (SpreadConf.taken)
    unsigned long long held;         // whole messages held now
    unsigned long long held_bytes;   // bytes held now, a message begun included
    unsigned long long held_whole_bytes;  // of those, bytes of whole messages
    unsigned long long limit_bytes;  // the read-ahead's bound (0: no session)
    unsigned long long max_held_bytes;    // the most held at once, any session
    unsigned long long cut_bytes;    // a message begun when a session ended
    unsigned long long left;         // whole messages never taken when a session ended
    unsigned long lost;              // sessions their daemon ended
};

// The session of conf on mailbox mbox ends (called before SP_disconnect):
// its counts join conf's books. by_daemon: its daemon ended it (the
// receive said CONNECTION_CLOSED), which is said at once.
void books_session_ended(SpreadConf *conf, int mbox, bool by_daemon);

// conf's books: the ended sessions and the live one on mbox (-1: none).
void books_read(SpreadConf *conf, int mbox, SpreadBooks *books);

// True when the books balance (see above).
bool books_balance(const SpreadBooks *books);

// Says every connection whose books do not balance on `out`, one line
// each; returns how many.
int books_check(FILE *out);
