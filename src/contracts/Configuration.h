#pragma once

#include "OstKavexMixerGlobal.h"

#include <QString>

// Where the library keeps its settings and data files. The environment
// variables OSTKAVEX_CONFIG_DIR and OSTKAVEX_DATA_DIR override the per-user
// locations (tests and hosts with their own layout use them).
class Configuration
{
public:
    static QString getConfigurationDirectory();
    static QString getDataDirectory();
    // The path of `name` inside `base`.
    static QString makeDirectory(const QString& base, const QString& name);
    // Name of the settings file inside the configuration directory.
    static QString settingsFileName() { return QStringLiteral("OstKavexMixer.conf"); }
    // Full path of the settings file.
    static QString settingsFilePath();
};
