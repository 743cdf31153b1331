#pragma once

// Bookkeeping of the G.711 lookup tables: how often each one has been built.
// The mode setters rebuild only the tables whose inputs changed; diagnostics
// and tests read the counters to see which ones were rebuilt.
namespace G711Tables {

enum Table {
    TABLE_BIT_REVERSE,
    TABLE_ALAW_TO_LINEAR,
    TABLE_ULAW_TO_LINEAR,
    TABLE_LINEAR_TO_ALAW,
    TABLE_LINEAR_TO_ULAW,
    TABLE_ALAW_TO_ULAW,
    TABLE_ULAW_TO_ALAW,
    TABLE_COUNT
};

unsigned int buildCount(Table table);

}  // namespace G711Tables
