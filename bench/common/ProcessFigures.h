#pragma once

#include <QtGlobal>

// What the long-running benchmarks report about their own process: the
// monotonic clock, CPU time used and resident memory. Any thread.
namespace ProcessFigures {

qint64 monotonicUs();
// User and system CPU time of the whole process so far.
double cpuSeconds();
// Resident set size (VmRSS) in MB; 0 when it cannot be read.
double residentMb();
// What the process's heap holds allocated (all arenas and mapped blocks), in
// MB: unlike RSS, it does not count pages the allocator keeps after a free,
// nor leave out allocated pages not yet touched.
double heapInUseMb();

}  // namespace ProcessFigures
