// The hand-over's channel as bytes and lines: one Unix stream socket
// between the two daemons, the lines built and parsed by
// daemon/handover_codec.h. Private to the hand-over's files.
#pragma once

#include <string>

#include "daemon/handover_codec.h"

struct HandoverLink {
    int fd = -1;
    std::string incoming;  // read and not yet taken as lines
    bool ended = false;    // end of file, an error, or a malformed line
};

extern HandoverLink &handover_link;

// Makes `fd` the channel, anything left of an earlier one forgotten.
void link_open(int fd);
// Closes the channel (nothing when none).
void link_close();

// Sends `line`, blocking until it is written; false when the other side
// is gone (the channel then counts as ended).
bool link_send(const ChannelLine &line);

// Reads what the channel holds now, without waiting; sets `ended` at end
// of file or an error.
void link_read();

// Takes the next whole line out of `incoming`. False when there is none
// yet; a malformed line, or one longer than channel_line_max, ends the
// channel (false, `ended` set).
bool link_next(ChannelLine *line);

// Waits until the channel is readable or `deadline_ms` (monotonic) has
// come; reads what it holds. False at the deadline.
bool link_wait(long deadline_ms);
