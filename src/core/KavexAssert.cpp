#include "KavexAssert.h"

#include <QDebug>

void kavexAssertPrint(const char* expression, const char* file, int line)
{
    qWarning("ASSERT: \"%s\" in file %s, line %d", expression, file, line);
}
