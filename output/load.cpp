#include "output/load.h"

#include "config/config.h"
#include "output/log_files.h"

int config_load(const char *path)
{
    int result = config_load_model(path);
    // The whole file is accepted: its outputs are opened and locked (a
    // refused lock ends the process).
    if (result == 0)
        open_log_files();
    return result;
}
