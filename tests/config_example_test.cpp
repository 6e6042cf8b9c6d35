// The annotated example configuration loads, and builds what its comments
// say; its paths moved into a temporary directory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "config/model.h"
#include "config/settings.h"
#include "output/load.h"
#include "support/config_unload.h"
#include "support/process.h"
#include "support/scoped.h"

using namespace wkp_test;

namespace {

LogFacility *facility(SpreadConf *conf, const char *group)
{
    return static_cast<LogFacility *>(sl_find(conf->facilities, group, nullptr));
}

}  // namespace

TEST(ExampleConfig, LoadsAsDocumented)
{
    TempDir dir;
    std::string text = read_file(source("examples/wickerpost.conf"));
    ASSERT_FALSE(text.empty());
    const std::string prefix = "/var/log/wickerpost";
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at))
        text.replace(at, prefix.size(), dir.path);
    write_file(dir.file("wickerpost.conf"), text);
    mkdir(dir.file("vhosts").c_str(), 0755);

    Scoped receive_size(buffer_size, -1);
    Scoped table_size(vhost_table_size, 64);
    std::string path = dir.file("wickerpost.conf");
    fflush(stderr);
    testing::internal::CaptureStderr();
    int result = config_load(path.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(result, 0) << err;
    EXPECT_EQ(err, "Setting logfacility to force local times in CLF\n\nZeroing vhost hash for usage!\n");
    EXPECT_EQ(buffer_size, 16384);

    SkiplistNode *node = sl_first(&spread_confs);
    ASSERT_NE(node, nullptr);
    SpreadConf *local = static_cast<SpreadConf *>(node->data);
    SpreadConf *remote = static_cast<SpreadConf *>(sl_next(&spread_confs, &node));
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(sl_next(&spread_confs, &node), nullptr);
    EXPECT_STREQ(local->port, "4803");
    EXPECT_EQ(local->host, nullptr);
    EXPECT_STREQ(remote->host, "192.0.2.7");

    LogFacility *web = facility(local, "web");
    ASSERT_NE(web, nullptr);
    EXPECT_EQ(web->rewrite_mode, REWRITE_CLF);
    EXPECT_GE(web->logfile->fd, 0);
    EXPECT_EQ(facility(local, "web-staging")->logfile, web->logfile);

    LogFacility *errors = facility(local, "errors");
    ASSERT_NE(errors, nullptr);
    EXPECT_EQ(errors->nmatches, 3);
    EXPECT_EQ(errors->logfile->filename[0], '|');
    EXPECT_GE(errors->logfile->fd, 0);

    LogFacility *vhosts = facility(remote, "vhosts");
    ASSERT_NE(vhosts, nullptr);
    EXPECT_STREQ(vhosts->vhostdir, dir.file("vhosts").c_str());
    EXPECT_EQ(vhosts->rewrite_mode, REWRITE_STRFTIME);
    EXPECT_STREQ(vhosts->rewrite_format, "[%Y-%m-%d %H:%M:%S %z]");
    ASSERT_NE(facility(remote, "web"), nullptr);
    EXPECT_NE(facility(remote, "web")->logfile, web->logfile);

    config_unload();
    // The command got the end of its input and wrote its archive.
    EXPECT_TRUE(wait_until([&] { return read_file(dir.file("errors.log.gz")).size() > 0; }));
}
