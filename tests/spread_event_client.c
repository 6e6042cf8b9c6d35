/*
 * spread_event_client: an interactive-style Spread client, written in C
 * against sp.h alone the way such clients are: the event loop watches the
 * mailbox, a timed event sends, the mailbox callback receives.
 *
 *   spread_event_client DAEMON NAME GROUP COUNT
 *
 * Connects as NAME, joins GROUP and, once its own join is seen, sends COUNT
 * messages to GROUP from a timed event, one every millisecond, each a
 * scatter of three elements (a header, the message number as text, a tail).
 * The mailbox callback receives into a scatter of small elements and
 * checks each message against what was sent. After the last one it leaves
 * the group, and on its self-leave ends the event loop and disconnects.
 * Prints one line per step on standard output; exits 0 when all went as
 * expected, 1 on an error (with the line that tells), 2 when nothing
 * happened for 10 seconds.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sp.h>  /* as a program built against an installed library */

static mailbox mbox;
static char group[MAX_GROUP_NAME];
static char private_group[MAX_GROUP_NAME];
static int count, sent, received;

static const sp_time every = {0, 1000};
static const sp_time patience = {10, 0};

static void fail(const char *what, int error)
{
    printf("error: %s: %d\n", what, error);
    SP_error(error);
    exit(1);
}

static void give_up(int code, void *data)
{
    (void)code;
    (void)data;
    printf("timed out after %d sent, %d received\n", sent, received);
    exit(2);
}

static void send_next(int code, void *data)
{
    char head[] = "message ";
    char number[16];
    char tail[] = " of the event client";
    scatter s;
    int r;

    (void)code;
    (void)data;
    snprintf(number, sizeof number, "%d", sent);
    s.num_elements = 3;
    s.elements[0].buf = head;
    s.elements[0].len = strlen(head);
    s.elements[1].buf = number;
    s.elements[1].len = strlen(number);
    s.elements[2].buf = tail;
    s.elements[2].len = strlen(tail);
    r = SP_scat_multicast(mbox, AGREED_MESS, group, (int16)sent, &s);
    if (r != (int)(s.elements[0].len + s.elements[1].len + s.elements[2].len))
        fail("SP_scat_multicast", r);
    sent++;
    if (sent < count)
        E_queue(send_next, 0, NULL, every);
}

static void read_message(int fd, int code, void *data)
{
    /* Room for 40 bytes in elements of 1, 2, 4, ... bytes: every body
     * crosses element boundaries. */
    char pieces[6][32];
    char joined[64];
    scatter s;
    service st = 0;
    char sender[MAX_GROUP_NAME];
    char groups[4][MAX_GROUP_NAME];
    int num_groups, endian_mismatch, r, i;
    size_t at, n;
    int16 mess_type;
    membership_info info;
    char expect[64];

    (void)code;
    (void)data;
    s.num_elements = 6;
    for (i = 0; i < 6; i++) {
        s.elements[i].buf = pieces[i];
        s.elements[i].len = (size_t)1 << i;
    }
    r = SP_scat_receive(fd, &st, sender, 4, &num_groups, groups, &mess_type, &endian_mismatch, &s);
    if (r < 0)
        fail("SP_scat_receive", r);
    E_dequeue(give_up, 0, NULL);
    E_queue(give_up, 0, NULL, patience);

    if (Is_regular_mess(st)) {
        for (i = 0, at = 0; at < (size_t)r; i++) {
            n = (size_t)r - at < s.elements[i].len ? (size_t)r - at : s.elements[i].len;
            memcpy(joined + at, s.elements[i].buf, n);
            at += n;
        }
        joined[r] = '\0';
        snprintf(expect, sizeof expect, "message %d of the event client", received);
        if (strcmp(joined, expect) != 0 || mess_type != received || strcmp(sender, private_group) != 0)
            fail("a message out of order", mess_type);
        printf("received %d from %s: %s\n", mess_type, sender, joined);
        received++;
        if (received == count) {
            r = SP_leave(mbox, group);
            if (r != 0)
                fail("SP_leave", r);
        }
    } else if (Is_membership_mess(st)) {
        r = SP_scat_get_memb_info(&s, st, &info);
        if (r != 1)
            fail("SP_scat_get_memb_info", r);
        if (Is_reg_memb_mess(st) && Is_caused_join_mess(st)) {
            printf("%s joined %s: %d member%s, vs-sets %u\n", info.changed_member, sender, num_groups,
                   num_groups == 1 ? "" : "s", info.num_vs_sets);
            if (strcmp(info.changed_member, private_group) == 0)
                E_queue(send_next, 0, NULL, every);
        } else if (Is_self_leave(st)) {
            printf("%s left %s\n", info.changed_member, sender);
            E_exit_events();
        } else {
            printf("membership change %#x in %s\n", (unsigned)st, sender);
        }
    } else {
        fail("an unexpected message", st);
    }
}

int main(int argc, char **argv)
{
    int r;

    if (argc != 5) {
        fprintf(stderr, "usage: spread_event_client DAEMON NAME GROUP COUNT\n");
        return 1;
    }
    snprintf(group, sizeof group, "%s", argv[3]);
    count = atoi(argv[4]);
    setvbuf(stdout, NULL, _IOLBF, 0);

    r = SP_connect(argv[1], argv[2], 0, 1, &mbox, private_group);
    if (r != ACCEPT_SESSION)
        fail("SP_connect", r);
    printf("connected as %s\n", private_group);
    E_init();
    if (E_attach_fd(mbox, READ_FD, read_message, 0, NULL, HIGH_PRIORITY) != 0)
        fail("E_attach_fd", -1);
    E_queue(give_up, 0, NULL, patience);
    r = SP_join(mbox, group);
    if (r != 0)
        fail("SP_join", r);
    E_handle_events();

    E_detach_fd(mbox, READ_FD);
    r = SP_disconnect(mbox);
    if (r != 0)
        fail("SP_disconnect", r);
    printf("disconnected after %d sent, %d received\n", sent, received);
    return 0;
}
