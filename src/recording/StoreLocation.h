#pragma once

#include <QString>

// Turns the location a caller names for a recording store into the path of
// its database file. Today a location is a file path; an empty location means
// "recordings.db" in the library's data directory. (A shared server store
// would be named by a URL here.) Used on any thread; holds no state.
class StoreLocation
{
public:
    static QString defaultFileName() { return QStringLiteral("recordings.db"); }
    // The database file for `location`, made absolute and clean.
    static QString resolve(const QString& location);
};
