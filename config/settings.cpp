#include "config/settings.h"

int buffer_size = -1;
int skip_locking = 0;
int verbose = 0;
int log_spread_errors = 0;
int vhost_table_size = 0;
int reader_report_form = 0;
char *stats_file = nullptr;
int stats_interval = default_stats_interval;
