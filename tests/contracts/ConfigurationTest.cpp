#include "Configuration.h"

#include <gtest/gtest.h>

TEST(Configuration, EnvironmentOverridesAndJoins)
{
    const QByteArray saved = qgetenv("OSTKAVEX_CONFIG_DIR");
    qputenv("OSTKAVEX_CONFIG_DIR", "/tmp/kavex-conf/");
    EXPECT_EQ(Configuration::getConfigurationDirectory(), QStringLiteral("/tmp/kavex-conf"));
    EXPECT_EQ(Configuration::settingsFilePath(), QStringLiteral("/tmp/kavex-conf/OstKavexMixer.conf"));
    qunsetenv("OSTKAVEX_CONFIG_DIR");
    EXPECT_TRUE(Configuration::getConfigurationDirectory().endsWith(QStringLiteral("/OstKavexMixer")));
    qputenv("OSTKAVEX_CONFIG_DIR", saved);
    EXPECT_EQ(Configuration::makeDirectory("/a/b", "c.wav"), QStringLiteral("/a/b/c.wav"));
    EXPECT_EQ(Configuration::makeDirectory("", "c.wav"), QStringLiteral("c.wav"));
}
