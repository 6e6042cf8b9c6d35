// Rejoining a local Spread daemon as soon as it is back.
//
// A local daemon (a Spread block without Host) listens on the Unix socket
// local_socket_dir/PORT. While such a daemon is not connected, that
// directory is watched with inotify; when a socket of its name appears
// (the daemon started again and bound it), the daemon is tried at once
// instead of at the next reconnect pass. A try that fails (the socket is
// bound but the daemon does not take sessions yet) is made again after
// 50 ms, then after twice as long each time, for one reconnect interval;
// the passes go on beside these tries as they always do. A try that
// fails slowly (a daemon that takes the connection and does not answer
// within half a second) ends the tries: the passes alone, with their
// deadline, try such a daemon, so it holds the loop no more than it did.
// The tries are quiet when they fail: the passes alone report failed
// connections.
//
// TCP daemons are left to the passes. Nothing is watched while every
// local daemon is connected, so the directory's other traffic costs
// nothing then.
#pragma once

// The directory of local daemons' sockets.
constexpr const char *local_socket_dir = "/tmp";

// Watches the socket directory while a local daemon is not connected and
// stops watching once none is; forgets the tries of daemons that are
// connected again. Called whenever sessions were connected or dropped.
void rejoin_update();

// The descriptor to wait on for the directory's events, -1 when nothing
// is watched.
int rejoin_fd();

// Reads the events on rejoin_fd (after the wait said it is readable): a
// local daemon not connected whose socket appeared is due for a try now.
void rejoin_read_events();

// The loop's wait of `ms` milliseconds, shortened to the next try due.
int rejoin_wait_ms(int ms);

// Tries every daemon whose try is due; true when one was connected (and
// its groups joined), so the sessions to wait on have changed.
bool rejoin_due();
