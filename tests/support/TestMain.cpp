#include "PostgresCluster.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Every test binary runs inside a QCoreApplication (queued signals, sockets,
// timers) and with configuration and data directories of its own, so that no
// test reads or writes the user's settings.
int main(int argc, char** argv)
{
    QTemporaryDir home;
    const QByteArray defaults[][2] = {{"OSTKAVEX_CONFIG_DIR", (home.path() + "/config").toUtf8()},
                                      {"OSTKAVEX_DATA_DIR", (home.path() + "/data").toUtf8()},
                                      {"OSTKAVEX_OUTPUT_DEVICE", "virtual"},
                                      {"OSTKAVEX_INPUT_DEVICE", "virtual"}};
    for (const auto& d : defaults)
        if (!qEnvironmentVariableIsSet(d[0].constData()))
            qputenv(d[0].constData(), d[1]);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    PostgresCluster::stopShared();  // while the application, which its processes need, still exists
    return result;
}
