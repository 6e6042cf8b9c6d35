#include "tools/minispread/proto.h"

#include <bit>
#include <string.h>

namespace ms {

bool ms_legal_name(const char *p, size_t n, size_t max)
{
    if (n == 0 || n > max)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!wire_name_char_legal((unsigned char)p[i]))
            return false;
    return true;
}

MsParse ms_parse_connect(const uint8_t *p, size_t n, MsConnect *req, int *code)
{
    if (n < 2)
        return MS_NEED_MORE;
    int version = p[0] * 10000 + p[1] * 100;
    size_t pos = 2;
    if (version > PATCH_BYTE_AFTER) {
        if (n < 3)
            return MS_NEED_MORE;
        version += p[2];
        pos = 3;
    }
    if (version < OLDEST_CLIENT) {
        *code = REJECT_VERSION;
        return MS_REJECT;
    }
    if (n < pos + 2)
        return MS_NEED_MORE;
    // Both bytes are taken as signed: flag bytes 0x80 and above never ask for
    // membership, and lengths 0x80 and above are negative.
    int flags = (signed char)p[pos];
    int len = (signed char)p[pos + 1];
    pos += 2;
    if (len < 0 || len > MAX_NAME) {
        *code = REJECT_ILLEGAL_NAME;
        return MS_REJECT;
    }
    if (n < pos + (size_t)len)
        return MS_NEED_MORE;
    if (len > 0 && !ms_legal_name((const char *)p + pos, (size_t)len, MAX_NAME)) {
        *code = REJECT_ILLEGAL_NAME;
        return MS_REJECT;
    }
    req->version = version;
    req->membership = flags % 2 == 1;
    req->name_len = len;
    memcpy(req->name, p + pos, (size_t)len);
    req->name[len] = '\0';
    req->consumed = pos + (size_t)len;
    return MS_DONE;
}

bool ms_auth_ok(const uint8_t *p)
{
    int named = 0;
    for (int slot = 0; slot < 3; slot++) {
        const char *m = (const char *)p + 30 * slot;
        if (m[0] == '\0')
            break;
        if (strnlen(m, 30) != 4 || memcmp(m, "NULL", 4) != 0)
            return false;
        named++;
    }
    return named > 0;
}

size_t ms_put_auth_list(uint8_t *out)
{
    out[0] = 5;
    memcpy(out + 1, "NULL ", 5);
    return 6;
}

size_t ms_put_accept(uint8_t *out, int client_version, const char *pg)
{
    size_t pos = 0;
    out[pos++] = ACCEPT_SESSION;
    out[pos++] = VERSION_MAJOR;
    out[pos++] = VERSION_MINOR;
    if (client_version >= ACCEPT_PATCH_SINCE)
        out[pos++] = VERSION_PATCH;
    size_t m = strnlen(pg, MAX_GROUP_NAME - 1);
    out[pos++] = (uint8_t)m;
    memcpy(out + pos, pg, m);
    return pos + m;
}

MsHeaderFault ms_check_header(const WireHeader *h, const char *name, const char *daemon)
{
    uint32_t kinds = h->type & (REGULAR_MESS | WIRE_JOIN_MESS | WIRE_LEAVE_MESS | WIRE_KILL_MESS);
    if (std::popcount(kinds) != 1)
        return MS_BAD_KIND;

    // "#name#daemon" in the first 31 bytes, both parts legal, the name this
    // session's own and the daemon this one.
    const char *s = h->sender;
    size_t len = strnlen(s, MAX_GROUP_NAME - 1);
    if (len < 1 || s[0] != '#')
        return MS_BAD_SENDER;
    const char *mid = (const char *)memchr(s + 1, '#', len - 1);
    if (mid == nullptr)
        return MS_BAD_SENDER;
    const char *priv = s + 1;
    size_t priv_len = (size_t)(mid - priv);
    const char *dname = mid + 1;
    size_t dname_len = len - (size_t)(dname - s);
    if (!ms_legal_name(priv, priv_len, MAX_NAME) || !ms_legal_name(dname, dname_len, MAX_DAEMON_NAME))
        return MS_BAD_SENDER;
    if (priv_len != strlen(name) || memcmp(priv, name, priv_len) != 0 ||
        dname_len != strlen(daemon) || memcmp(dname, daemon, dname_len) != 0)
        return MS_BAD_SENDER;

    if (h->num_groups < 0 || h->num_groups > WIRE_MAX_GROUPS)
        return MS_BAD_GROUP_COUNT;
    if ((h->hint_raw & ~HINT_BITS) != 0)
        return MS_BAD_HINT;
    if (h->data_len < 0 || h->data_len > WIRE_MAX_DATA_LEN ||
        h->data_len + (int32_t)WIRE_GROUP_SIZE * h->num_groups > WIRE_MAX_DAEMON_PAYLOAD)
        return MS_BAD_LENGTH;
    return MS_HEADER_OK;
}

const char *ms_header_fault_text(MsHeaderFault f)
{
    switch (f) {
    case MS_HEADER_OK: return "no fault";
    case MS_BAD_KIND: return "not exactly one message kind";
    case MS_BAD_SENDER: return "sender is not its private group";
    case MS_BAD_GROUP_COUNT: return "illegal group count";
    case MS_BAD_HINT: return "illegal hint";
    case MS_BAD_LENGTH: return "illegal message length";
    }
    return "unknown fault";
}

void ms_put_header(uint8_t *out, uint32_t type, const char *sender, int32_t num_groups,
                   uint32_t hint_raw, int32_t data_len)
{
    WireHeader h;
    h.type = type;
    wire_group_slot(h.sender, sender);
    h.num_groups = num_groups;
    h.hint_raw = hint_raw;
    h.data_len = data_len;
    h.foreign = false;
    wire_header_encode(&h, out);
}

size_t ms_slot_len(const uint8_t *slot) { return strnlen((const char *)slot, MAX_GROUP_NAME - 1); }

int32_t ms_daemon_id(const char *name)
{
    uint32_t h = 2166136261u;  // FNV-1a
    for (const char *c = name; *c; c++)
        h = (h ^ (uint8_t)*c) * 16777619u;
    return (int32_t)(h & 0x7fffffff);
}

}  // namespace ms
