// What the hand-over's files share (daemon/handover.h is the interface):
// the role of this process, the token, starting and ending the other
// process. Private to daemon/handover*.cpp.
#pragma once

#include <sys/types.h>

#include <string>

#include "daemon/handover.h"

enum class HandoverRole { none, old_daemon, new_daemon };
extern HandoverRole handover_role;

// The token of the running hand-over, which the markers carry.
extern std::string &handover_token;

// The marker's message type and body (the body ends with the token).
constexpr short handover_marker_type = 0x5748;
constexpr const char handover_marker_prefix[] = "wickerpost hand-over ";
// The environment variable naming the new daemon's end of the channel.
constexpr const char handover_channel_variable[] = "WICKERPOST_HANDOVER";

// --- daemon/handover_program.cpp -----------------------------------------

// A token unique to this hand-over (32 hex digits).
std::string handover_random_token();

// Starts the program path with the arguments of handover_init, the
// environment with WICKERPOST_HANDOVER=`channel_end` (and WATCHDOG_USEC
// when systemd watches us), SIGHUP, SIGUSR1 and SIGUSR2 blocked until it
// installs its handlers. Returns its pid, or -1 with errno set.
pid_t handover_spawn(int channel_end);

// Ends child `pid` and reaps it: first waits `grace_ms` for it to end on
// its own, then SIGTERM and up to 2 s, then SIGKILL. Returns its wait
// status; *reaped_elsewhere is set when it was reaped already (by the
// loop's reaping), its status then unknown here.
int handover_end_child(pid_t pid, int grace_ms, bool *reaped_elsewhere);

// --- daemon/handover_old.cpp / handover_new.cpp --------------------------

// Each side's part of the calls of daemon/handover.h that both sides
// answer; handover.cpp calls the side of this process's role.
void old_readable();
void new_readable();
HandoverVerdict old_message(SpreadConf *conf, bool marker);
HandoverVerdict new_message(SpreadConf *conf, service type, const char *sender, int16 mess_type, bool marker);
HandoverStep old_pass();
HandoverStep new_pass();
int old_wait_ms(int ms);
int new_wait_ms(int ms);
void old_stop();
void new_stop();
