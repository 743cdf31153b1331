#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Every test binary runs inside a QCoreApplication (queued signals, sockets,
// timers) and with configuration and data directories of its own, so that no
// test reads or writes the user's settings.
int main(int argc, char** argv)
{
    QTemporaryDir home;
    if (!qEnvironmentVariableIsSet("OSTKAVEX_CONFIG_DIR"))
        qputenv("OSTKAVEX_CONFIG_DIR", (home.path() + "/config").toUtf8());
    if (!qEnvironmentVariableIsSet("OSTKAVEX_DATA_DIR"))
        qputenv("OSTKAVEX_DATA_DIR", (home.path() + "/data").toUtf8());
    if (!qEnvironmentVariableIsSet("OSTKAVEX_OUTPUT_DEVICE"))
        qputenv("OSTKAVEX_OUTPUT_DEVICE", "virtual");
    if (!qEnvironmentVariableIsSet("OSTKAVEX_INPUT_DEVICE"))
        qputenv("OSTKAVEX_INPUT_DEVICE", "virtual");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
