#include "KavexAssert.h"
#include "LogCategories.h"

#include <QDebug>

void kavexAssertPrint(const char* expression, const char* file, int line)
{
    qCWarning(lcKavexCore, "ASSERT: \"%s\" in file %s, line %d", expression, file, line);
}
