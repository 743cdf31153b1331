#pragma once

#include "RecordedUnit.h"

#include <QString>

// A unit the recorder has cut, on its way to the store: the stream it belongs
// to (found or added by name when written) and the unit itself.
struct CutUnit {
    QString stream;
    QString detail;
    QString streamSdp;
    RecordedUnit unit;
};
