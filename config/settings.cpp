#include "config/settings.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <string>

int buffer_size = -1;
int skip_locking = 0;
int verbose = 0;
int log_spread_errors = 0;
int vhost_table_size = 0;
int reader_report_form = 0;
char *stats_file = nullptr;
int stats_interval = default_stats_interval;
char *stats_listen = nullptr;

bool stats_listen_address(const char *text, sockaddr_storage *address, socklen_t *length)
{
    std::string host;
    const char *port;
    if (text[0] == '[') {
        const char *close = strchr(text, ']');
        if (close == nullptr || close[1] != ':')
            return false;
        host.assign(text + 1, close);
        port = close + 2;
    } else {
        const char *colon = strrchr(text, ':');
        if (colon == nullptr)
            return false;
        host.assign(text, colon);
        port = colon + 1;
    }
    // Digits only, 1 to 65535.
    size_t digits = strspn(port, "0123456789");
    if (digits == 0 || digits > 5 || port[digits] != '\0')
        return false;
    long number = strtol(port, nullptr, 10);
    if (number < 1 || number > 65535)
        return false;
    memset(address, 0, sizeof *address);
    if (text[0] == '[') {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(address);
        if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) != 1)
            return false;
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(number));
        *length = sizeof *in6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(address);
        if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) != 1)
            return false;
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<uint16_t>(number));
        *length = sizeof *in4;
    }
    return true;
}
