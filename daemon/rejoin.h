// The socket directory of local Spread daemons, watched while one of them
// is away: a socket that appears there is the event that has the
// connection owner (daemon/connections.h) try that daemon at once instead
// of at the next reconnect pass.
//
// A local daemon (a Spread block without Host) listens on the Unix socket
// local_socket_dir/PORT. The directory is watched with inotify only while
// asked to, so its other traffic costs nothing while every local daemon is
// connected. TCP daemons are left to the passes.
#pragma once

// The directory of local daemons' sockets.
constexpr const char *local_socket_dir = "/tmp";

// Watches the directory when `wanted` and stops watching when not. True
// when the watch has just started: a socket that appeared before it was in
// place was not seen, and the caller looks for one (rejoin_socket_exists).
// Without inotify (no instance left, say) nothing is watched and the
// passes alone reconnect.
bool rejoin_watch(bool wanted);

// The descriptor to wait on for the directory's events, -1 when nothing
// is watched.
int rejoin_fd();

// Reads the events on rejoin_fd (after the wait said it is readable) and
// calls appeared(port, arg) for every entry created or moved in whose name
// is a port number.
void rejoin_read_events(void (*appeared)(long port, void *arg), void *arg);

// Whether local_socket_dir/PORT is a socket now.
bool rejoin_socket_exists(const char *port);
