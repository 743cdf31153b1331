// Every fuzz target links this: the library's log lines are dropped, as a
// target that logs each malformed input spends its time writing to stderr.
#include <QtGlobal>

#include <cstdint>

namespace {
void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(dropMessage);
    return 0;
}
