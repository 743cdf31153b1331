#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <gtest/gtest.h>

// The host tool on this machine as a user runs it (no sound devices chosen
// for it, so that it probes the system's): whatever reaches its stderr is
// its own lines, which all start with "kavexmix" (messages of the library,
// FFmpeg, ALSA and JACK come through the tool's Qt message pattern).
namespace {
const QString kTool = QStringLiteral(KAVEX_TEST_BINARY_DIR "/tools/kavexmix");

struct ToolRun {
    QByteArray out;
    QByteArray err;
};

ToolRun runTool(const QStringList& args, const QString& dir, bool verbose, int timeoutMs)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"OSTKAVEX_OUTPUT_DEVICE", "OSTKAVEX_INPUT_DEVICE", "QT_MESSAGE_PATTERN",
                             "QT_LOGGING_RULES", "KAVEXMIX_VERBOSE"})
        env.remove(name);
    if (verbose)
        env.insert("KAVEXMIX_VERBOSE", "1");
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir);
    p.start(kTool, args);
    EXPECT_TRUE(p.waitForFinished(timeoutMs)) << args.join(' ').toStdString();
    EXPECT_EQ(p.exitCode(), 0) << args.join(' ').toStdString();
    return {p.readAllStandardOutput(), p.readAllStandardError()};
}

void expectOnlyOurLines(const QByteArray& err)
{
    for (const QByteArray& line : err.split('\n'))
        EXPECT_TRUE(line.isEmpty() || line.startsWith("kavexmix ")) << line.toStdString();
}
}  // namespace

TEST(ToolStderr, DevicesDemoAndListenToMpegAudioPrintOnlyOurLines)
{
    ASSERT_TRUE(QFile::exists(kTool));
    QTemporaryDir dir;
    const ToolRun devices = runTool({"devices"}, dir.path(), false, 60000);
    EXPECT_TRUE(devices.out.contains("Outputs")) << devices.out.toStdString();
    expectOnlyOurLines(devices.err);

    const ToolRun demo = runTool({"demo", "--output", "wav:" + dir.filePath("show.wav")}, dir.path(), false, 100000);
    EXPECT_TRUE(demo.out.contains("Demo finished.")) << demo.out.toStdString();
    // The length it announces is the length of what it wrote.
    const QRegularExpressionMatch ran = QRegularExpression("The show ran ([0-9.]+) s").match(demo.out);
    const QRegularExpressionMatch wav = QRegularExpression("stereo WAV, ([0-9.]+) s").match(demo.out);
    ASSERT_TRUE(ran.hasMatch() && wav.hasMatch()) << demo.out.toStdString();
    EXPECT_NEAR(wav.captured(1).toDouble(), ran.captured(1).toDouble(), 1.0);
    const qint64 wavBytes = QFileInfo(dir.filePath("show.wav")).size() - 44;
    EXPECT_NEAR(wav.captured(1).toDouble(), wavBytes / 192000.0, 0.1);
    expectOnlyOurLines(demo.err);

    // An MPEG audio stream sent by the ffmpeg tool, with the library's debug
    // lines (and FFmpeg's among them) on: each marked as ours.
    QUdpSocket probe;
    ASSERT_TRUE(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 port = probe.localPort() & ~1;
    probe.close();
    QProcess sender;
    sender.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-f", "lavfi", "-i",
                            "sine=f=550:d=4:r=48000", "-c:a", "mp2", "-b:a", "128k", "-f", "rtp",
                            QString("rtp://127.0.0.1:%1").arg(port)});
    const ToolRun listen =
        runTool({"listen", "--codec", "mpa", "--port", QString::number(port), "--seconds", "3", "--output", "virtual"},
                dir.path(), true, 60000);
    sender.waitForFinished(30000);
    EXPECT_TRUE(listen.err.contains("new decoder: MPA")) << listen.err.toStdString();
    expectOnlyOurLines(listen.err);
}
