#include "Configuration.h"

#include <QDir>
#include <QStandardPaths>

namespace {
QString fromEnvironmentOr(const char* variable, QStandardPaths::StandardLocation location)
{
    const QString fromEnv = qEnvironmentVariable(variable);
    if (!fromEnv.isEmpty())
        return QDir::cleanPath(fromEnv);
    // Generic locations plus our own folder, so the result does not depend on
    // the host's application name.
    return QDir::cleanPath(QStandardPaths::writableLocation(location) + QStringLiteral("/OstKavexMixer"));
}
}  // namespace

QString Configuration::getConfigurationDirectory()
{
    return fromEnvironmentOr("OSTKAVEX_CONFIG_DIR", QStandardPaths::GenericConfigLocation);
}

QString Configuration::getDataDirectory()
{
    return fromEnvironmentOr("OSTKAVEX_DATA_DIR", QStandardPaths::GenericDataLocation);
}

QString Configuration::makeDirectory(const QString& base, const QString& name)
{
    if (base.isEmpty())
        return name;
    if (name.isEmpty())
        return base;
    return QDir(base).filePath(name);
}

QString Configuration::settingsFilePath()
{
    return makeDirectory(getConfigurationDirectory(), settingsFileName());
}
