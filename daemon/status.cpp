#include "daemon/status.h"

#include "daemon/books.h"
#include "daemon/session.h"
#include "output/writer.h"
#include "spread/sp.h"

std::string status_value(const char *value)
{
    bool plain = *value != '\0';
    for (const char *p = value; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c <= ' ' || c == '"' || c == '\\' || c == '=' || c == 0x7f)
            plain = false;
    }
    if (plain)
        return value;
    std::string quoted = "\"";
    for (const char *p = value; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < ' ' || c == 0x7f) {
            char octal[8];
            snprintf(octal, sizeof octal, "\\%03o", c);
            quoted += octal;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

unsigned long status_reconnects(const SpreadConf *conf)
{
    return conf->connections > 0 ? conf->connections - 1 : 0;
}


static int report_spread(SpreadConf *conf, void *arg)
{
    FILE *out = static_cast<FILE *>(arg);
    int mbox = session_mailbox(conf);
    int buffered = mbox >= 0 ? SP_buffered(mbox) : 0;
    SpreadBooks books;
    books_read(conf, mbox, &books);
    fprintf(out,
            "spread daemon=%s connected=%s mailbox=%d reconnects=%lu received=%llu buffered=%d read_bytes=%llu "
            "framed=%llu taken=%llu held=%llu max_held_bytes=%llu sessions_lost=%lu\n",
            status_value(spread_daemon_name(conf)).c_str(), mbox >= 0 ? "yes" : "no", mbox,
            status_reconnects(conf), conf->received, buffered > 0 ? buffered : 0, books.read_bytes, books.framed,
            books.loop_taken, books.held, books.max_held_bytes, books.lost);
    return 0;
}

std::string status_key(const char *name)
{
    std::string key = name;
    for (char &c : key)
        if (c == ' ')
            c = '_';
    return key;
}

static void report_output(const OutputStatus *status, void *arg)
{
    FILE *out = static_cast<FILE *>(arg);
    unsigned long dropped = 0;
    for (unsigned long n : status->dropped)
        dropped += n;
    fprintf(out, "output path=%s kind=%s written=%lu bytes=%llu dropped=%lu", status_value(status->path).c_str(),
            status_key(status->kind).c_str(), status->messages, status->bytes, dropped);
    for (int reason = 0; reason < OUTPUT_DROP_REASONS; reason++) {
        fprintf(out, " %s=%lu", status_key(output_drop_names[reason]).c_str(), status->dropped[reason]);
    }
    fprintf(out, " backlog=%zu\n", status->backlog);
}

void status_report(FILE *out)
{
    // The counters then tell what is in the files.
    output_flush();
    for_each_spread_conf(report_spread, out);
    output_for_each(report_output, out);
    books_check(out);
    fflush(out);
}
