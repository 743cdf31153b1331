#include "StoreLocation.h"

#include "Configuration.h"

#include <QDir>
#include <QFileInfo>

QString StoreLocation::resolve(const QString& location)
{
    const QString trimmed = location.trimmed();
    const QString path = trimmed.isEmpty()
                             ? Configuration::makeDirectory(Configuration::getDataDirectory(), defaultFileName())
                             : trimmed;
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}
