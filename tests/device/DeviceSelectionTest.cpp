#include "Configuration.h"
#include "DeviceSelection.h"
#include "ScopedEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <gtest/gtest.h>

TEST(DeviceSelection, ParsesTheSettingTexts)
{
    const struct {
        const char* text;
        DeviceSelection::Kind kind;
        const char* argument;
    } cases[] = {
        {" Auto ", DeviceSelection::KIND_AUTO, ""},
        {"virtual", DeviceSelection::KIND_VIRTUAL, ""},
        {"wav:/tmp/out put.wav", DeviceSelection::KIND_WAV, "/tmp/out put.wav"},
        {"WAV:relative.wav", DeviceSelection::KIND_WAV, "relative.wav"},
        {"USB Audio: Front (hw:1,0)", DeviceSelection::KIND_NAMED, "USB Audio: Front (hw:1,0)"},
    };
    for (const auto& c : cases) {
        const DeviceSelection s = DeviceSelection::parse(QString::fromUtf8(c.text));
        EXPECT_EQ(s.kind, c.kind) << c.text;
        EXPECT_EQ(s.argument, QString::fromUtf8(c.argument)) << c.text;
    }
}

TEST(DeviceSelection, EnvironmentOverridesTheSettingsFile)
{
    const QString path = Configuration::settingsFilePath();
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue("Mixer/OutputDevice", "wav:/tmp/from-settings.wav");
        settings.setValue("Mixer/InputDevice", "Studio Mic");
    }
    ScopedEnvironment env;
    env.unset("OSTKAVEX_OUTPUT_DEVICE");
    env.unset("OSTKAVEX_INPUT_DEVICE");
    DeviceSelection out = DeviceSelection::configured(SoundBackend::DIRECTION_PLAYBACK);
    EXPECT_EQ(out.kind, DeviceSelection::KIND_WAV);
    EXPECT_EQ(out.argument, QStringLiteral("/tmp/from-settings.wav"));
    DeviceSelection in = DeviceSelection::configured(SoundBackend::DIRECTION_CAPTURE);
    EXPECT_EQ(in.kind, DeviceSelection::KIND_NAMED);
    EXPECT_EQ(in.argument, QStringLiteral("Studio Mic"));

    env.set("OSTKAVEX_INPUT_DEVICE", "virtual");
    EXPECT_EQ(DeviceSelection::configured(SoundBackend::DIRECTION_CAPTURE).kind, DeviceSelection::KIND_VIRTUAL);
    EXPECT_EQ(DeviceSelection::configured(SoundBackend::DIRECTION_PLAYBACK).kind, DeviceSelection::KIND_WAV);

    QFile::remove(path);
    EXPECT_EQ(DeviceSelection::configured(SoundBackend::DIRECTION_PLAYBACK).kind, DeviceSelection::KIND_AUTO);
}
