// Every fuzz target links this: the library's log lines are dropped, as a
// target that logs each malformed input spends its time writing to stderr.
// Regular expressions run in PCRE's interpreter: the parsers build theirs
// per call, and compiling each to machine code would cost more than the
// parsing itself; the interpreter finds the same matches.
#include <QByteArray>
#include <QtGlobal>

#include <cstdint>

namespace {
void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(dropMessage);
    qputenv("QT_ENABLE_REGEXP_JIT", QByteArray("0"));
    return 0;
}
