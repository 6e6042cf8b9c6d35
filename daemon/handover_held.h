// The messages a new daemon holds between its cut and the old daemon's
// release, in the order received, up to handover_hold_max bytes; past it
// a message is dropped and counted. Private to the hand-over's files.
#pragma once

#include "config/model.h"

// Holds a copy of the message for `facility`; false when it was dropped
// (the hold is full).
bool held_add(LogFacility *facility, const char *message, int length);

// Writes every held message, in order, as the loop would have, and frees
// the hold. Says how many were dropped, when some were.
void held_write_out();
