#include "output/deliver.h"

#include "output/rewrite.h"
#include "output/routing.h"
#include "output/writer.h"

int output_deliver(LogFacility *facility, char *message, int length)
{
    int fd = route_facility_message(facility, message, length);
    if (fd < 0)
        return -1;
    char *start = prepare_facility_message(facility, message, &length);
    // Whole or not at all, never blocking.
    return output_write(fd, start, static_cast<size_t>(length));
}
