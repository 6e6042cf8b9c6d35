#include "output/rewrite.h"

#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "config/settings.h"

namespace {

// Formats bigger than this are not copied for the empty-or-too-long test
// of format_strftime; their empty results count as not fitting.
constexpr size_t prefixed_format_size = 512;

// Common Log Format time with the zone offset of the broken-down time.
int format_clf(char *field, const struct tm *tm)
{
    long offset = tm->tm_gmtoff;  // seconds east of UTC
    char sign = offset >= 0 ? '+' : '-';
    long minutes = (offset >= 0 ? offset : -offset) / 60;
    int month = tm->tm_mon >= 0 && tm->tm_mon < 12 ? tm->tm_mon : 0;
    int n = snprintf(field, rewrite_field_size, "[%02d/%s/%d:%02d:%02d:%02d %c%.2d%.2d]", tm->tm_mday,
                     month_abbreviations[month], tm->tm_year + 1900, tm->tm_hour, tm->tm_min, tm->tm_sec, sign,
                     static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
    return n < 0 || n >= rewrite_field_size ? -1 : n;
}

// strftime of `format`; its length, or -1 when it does not fit the field.
int format_strftime(char *field, const char *format, const struct tm *tm)
{
    if (!format)
        return -1;
    if (format[0] == '\0')
        return 0;
    size_t n = strftime(field, rewrite_field_size, format, tm);
    if (n > 0)
        return static_cast<int>(n);
    // strftime gives 0 both for an empty result and for one that does not
    // fit. With one byte put in front, the result can no longer be empty:
    // it is that byte alone exactly when the real result is empty.
    size_t format_length = strlen(format);
    if (format_length + 2 > prefixed_format_size)
        return -1;
    char prefixed[prefixed_format_size];
    prefixed[0] = 'x';
    memcpy(prefixed + 1, format, format_length + 1);
    char probe[rewrite_field_size + 1];
    return strftime(probe, sizeof probe, prefixed, tm) == 1 ? 0 : -1;
}

}  // namespace

void rewrite_timestamp(char *message, int *length, int capacity, int mode, const char *format)
{
    int n = *length;
    if (n <= 0 || (mode != REWRITE_CLF && mode != REWRITE_STRFTIME))
        return;
    const char *open = static_cast<const char *>(memchr(message, '[', n));
    if (!open)
        return;
    int p = static_cast<int>(open - message);
    const char *close = static_cast<const char *>(memchr(open, ']', n - p));
    if (!close)
        return;
    int q = static_cast<int>(close - message);
    int k = q - p + 1;

    struct timeval now;
    gettimeofday(&now, nullptr);
    time_t seconds = now.tv_sec;
    struct tm local;
    if (!localtime_r(&seconds, &local))
        return;
    char field[rewrite_field_size];
    int field_length = mode == REWRITE_CLF ? format_clf(field, &local) : format_strftime(field, format, &local);
    if (field_length < 0)
        return;

    if (field_length == k) {
        memcpy(message + p, field, field_length);
        return;
    }
    // The message fits its buffer, whatever capacity the caller says.
    long long room = capacity > n ? capacity : n;
    if (static_cast<long long>(n) - k + field_length > room)
        field_length = static_cast<int>(room - (n - k));  // at least k: cut the field's end only
    memmove(message + p + field_length, message + q + 1, n - q - 1);
    memcpy(message + p, field, field_length);
    *length = n - k + field_length;
}

char *prepare_message(SpreadConf *conf, const char *group, char *message, int *length)
{
    return prepare_facility_message(spread_conf_facility(conf, group), message, length);
}

char *prepare_facility_message(LogFacility *facility, char *message, int *length)
{
    if (!facility)
        return message;
    if (facility->rewrite_mode != REWRITE_NONE)
        rewrite_timestamp(message, length, buffer_size, facility->rewrite_mode, facility->rewrite_format);
    if (!facility->vhostdir)
        return message;
    int n = *length;
    const char *space = n > 0 ? static_cast<const char *>(memchr(message, ' ', n)) : nullptr;
    if (!space) {
        *length = 0;
        return message;
    }
    int s = static_cast<int>(space - message);
    *length = n - s - 1;
    return message + s + 1;
}
