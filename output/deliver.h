// One received message's way through the outputs: its descriptor
// (routing), its bytes (rewriting), the write step. The loop hands each
// message over here with one call and gets back a result only.
#pragma once

#include "config/model.h"

// Routes the `length` bytes at `message` for `facility`
// (route_facility_message), prepares them in place
// (prepare_facility_message: the buffer holds buffer_size bytes) and
// writes them (output_write). Returns 0 when they were written or queued,
// -1 when the message was not (filtered out, refused or dropped: a loss
// is counted by the output module). A null facility is -1, nothing done.
int output_deliver(LogFacility *facility, char *message, int length);
