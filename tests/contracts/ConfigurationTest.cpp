#include "Configuration.h"
#include "KavexAssert.h"
#include "LogCapture.h"
#include "PresentationNotifier.h"

#include <QSignalSpy>
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

TEST(PresentationNotifier, ReportsIntervalsAndDoneGroups)
{
    QSignalSpy intervals(PresentationNotifier::instance(), &PresentationNotifier::presentationInterval);
    QSignalSpy done(PresentationNotifier::instance(), &PresentationNotifier::presentationGroupDone);
    emitPresentationInterval("G", NTPTimestamp(1), NTPTimestamp(2));
    donePresentationGroup("G");
    ASSERT_EQ(intervals.count(), 1);
    EXPECT_EQ(intervals[0][2].value<NTPTimestamp>(), NTPTimestamp(2));
    ASSERT_EQ(done.count(), 1);
    EXPECT_EQ(done[0][0].toString(), QStringLiteral("G"));
}

TEST(KavexAssert, LogsExpressionFileAndLineAndGoesOn)
{
    LogCapture log;
    KAVEX_ASSERT(1 + 1 == 3);
    KAVEX_ASSERT(true);
    ASSERT_EQ(log.entries().size(), 1);
    const LogCapture::Entry e = log.entries().first();
    EXPECT_EQ(e.type, QtWarningMsg);
    EXPECT_TRUE(e.text.contains("1 + 1 == 3"));
    EXPECT_TRUE(e.text.contains("ConfigurationTest.cpp"));
    // The logger carries the writer's location in every build type.
    EXPECT_TRUE(e.file.endsWith("KavexAssert.cpp"));
    EXPECT_GT(e.line, 0);
    EXPECT_TRUE(e.function.contains("kavexAssertPrint"));
}
