#include "daemon/books.h"

#include <vector>

#include "daemon/session.h"
#include "spread/sp.h"

namespace {

// The ended sessions' counts of one connection.
struct Ended {
    const SpreadConf *conf;
    SpreadBooks sum;
};

// One entry per connection that ever ended a session: a handful.
std::vector<Ended> &ended = *new std::vector<Ended>;

SpreadBooks *ended_of(const SpreadConf *conf, bool make)
{
    for (Ended &e : ended)
        if (e.conf == conf)
            return &e.sum;
    if (!make)
        return nullptr;
    ended.push_back(Ended{conf, SpreadBooks{}});
    return &ended.back().sum;
}


struct Check {
    FILE *out;
    int unbalanced;
};

int check_one(SpreadConf *conf, void *arg)
{
    Check *check = static_cast<Check *>(arg);
    SpreadBooks b;
    books_read(conf, session_mailbox(conf), &b);
    if (books_balance(&b))
        return 0;
    fprintf(check->out,
            "Messages of spread daemon %s unaccounted for: read %llu bytes, framed %llu, taken %llu by the "
            "library and %llu by the loop, %llu held in %llu bytes of whole messages\n",
            spread_daemon_name(conf), b.read_bytes, b.framed, b.taken, b.loop_taken, b.held, b.held_whole_bytes);
    check->unbalanced++;
    return 0;
}

}  // namespace

void books_session_ended(SpreadConf *conf, int mbox, bool by_daemon)
{
    sp_read_stats s;
    if (SP_read_stats(mbox, &s) != 0)
        s = sp_read_stats{};
    SpreadBooks *sum = ended_of(conf, true);
    sum->read_bytes += s.bytes_read;
    sum->framed += s.messages_framed;
    sum->taken += s.messages_taken;
    // Whole messages never taken are lost with the session: counted, said
    // at once, and off the books. A count the walk could not make stays
    // on them and unbalances them.
    if (s.held_messages == ~0ull) {
        sum->held = ~0ull;
    } else if (s.held_messages > 0) {
        sum->framed -= s.held_messages;
        sum->left += s.held_messages;
        fprintf(stderr, "Lost %llu messages read from spread daemon %s with its session\n", s.held_messages,
                spread_daemon_name(conf));
    }
    sum->cut_bytes += s.held_bytes - s.held_whole_bytes;
    if (s.max_held_bytes > sum->max_held_bytes)
        sum->max_held_bytes = s.max_held_bytes;
    if (!by_daemon)
        return;
    sum->lost++;
    fprintf(stderr,
            "Lost the session with spread daemon %s: messages it sent until the next join are lost "
            "(%llu bytes held, %llu at most of %llu)\n",
            spread_daemon_name(conf), s.held_bytes, s.max_held_bytes, s.limit_bytes);
}

void books_read(SpreadConf *conf, int mbox, SpreadBooks *books)
{
    const SpreadBooks *sum = ended_of(conf, false);
    *books = sum ? *sum : SpreadBooks{};
    books->loop_taken = conf->taken;
    books->limit_bytes = 0;
    sp_read_stats s;
    if (mbox < 0 || SP_read_stats(mbox, &s) != 0)
        return;
    books->read_bytes += s.bytes_read;
    books->framed += s.messages_framed;
    books->taken += s.messages_taken;
    books->held = books->held == ~0ull || s.held_messages == ~0ull ? ~0ull : books->held + s.held_messages;
    books->held_bytes = s.held_bytes;
    books->held_whole_bytes = s.held_whole_bytes;
    books->limit_bytes = s.limit_bytes;
    if (s.max_held_bytes > books->max_held_bytes)
        books->max_held_bytes = s.max_held_bytes;
}

bool books_balance(const SpreadBooks *b)
{
    return b->taken == b->loop_taken && b->held != ~0ull && b->framed == b->taken + b->held &&
           (b->held == 0) == (b->held_whole_bytes == 0);
}

int books_check(FILE *out)
{
    Check check = {out, 0};
    for_each_spread_conf(check_one, &check);
    return check.unbalanced;
}
