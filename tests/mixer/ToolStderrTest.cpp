#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <gtest/gtest.h>

namespace {
const char* const kTool = KAVEX_TEST_BINARY_DIR "/tools/kavexmix";

// Sanitizer builds leave the host tool out.
class ToolStderr : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!QFileInfo(kTool).isExecutable())
            GTEST_SKIP() << "the host tool is not part of this build";
    }
};

// Starts the built tool in `dir` with the user's environment less the
// variables that change its devices or log lines.
void startTool(QProcess& p, const QStringList& args, const QString& dir, bool verbose = false)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"OSTKAVEX_OUTPUT_DEVICE", "OSTKAVEX_INPUT_DEVICE", "QT_MESSAGE_PATTERN",
                             "QT_LOGGING_RULES", "KAVEXMIX_VERBOSE"})
        env.remove(name);
    if (verbose)
        env.insert("KAVEXMIX_VERBOSE", "1");
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir);
    p.start(kTool, args);
}
}  // namespace

// The host tool as a user runs it, probing the machine's sound devices:
// whatever reaches its stderr are its own lines, all starting "kavexmix "
// (the library's, FFmpeg's, ALSA's and JACK's come through its Qt message
// pattern). listen receives MPEG audio sent by the ffmpeg tool, with the
// library's debug lines on.
TEST_F(ToolStderr, ListenDevicesAndDemoPrintOnlyOurLinesOnStderr)
{
    QTemporaryDir dir;
    QUdpSocket probe;
    ASSERT_TRUE(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const QString port = QString::number(probe.localPort() & ~1);
    probe.close();
    QProcess sender;
    sender.start("ffmpeg", {"-loglevel", "error", "-nostdin", "-re", "-f", "lavfi", "-i", "sine=f=550:d=4:r=48000",
                            "-c:a", "mp2", "-f", "rtp", "rtp://127.0.0.1:" + port});
    const struct {
        QStringList args;
        bool verbose;
        const char* shows;
    } runs[] = {
        {{"listen", "--codec", "mpa", "--port", port, "--seconds", "3", "--output", "virtual"}, true, "decoder: MPA"},
        {{"devices"}, false, "Outputs"},
        {{"demo", "--output", "wav:" + dir.filePath("show.wav")}, false, "Demo finished."},
    };
    QString out;
    for (const auto& r : runs) {
        SCOPED_TRACE(r.args.first().toStdString());
        QProcess p;
        startTool(p, r.args, dir.path(), r.verbose);
        EXPECT_TRUE(p.waitForFinished(100000) && p.exitCode() == 0);
        out = p.readAllStandardOutput();
        const QByteArray err = p.readAllStandardError();
        EXPECT_TRUE((out + err).contains(r.shows)) << (out + err).toStdString();
        for (const QByteArray& line : err.split('\n'))
            EXPECT_TRUE(line.isEmpty() || line.startsWith("kavexmix ")) << line.toStdString();
    }
    // The demo's announced length is that of the WAV it wrote and of its run.
    const QRegularExpressionMatch ran = QRegularExpression("The show ran ([0-9.]+) s").match(out);
    const QRegularExpressionMatch wav = QRegularExpression("stereo WAV, ([0-9.]+) s").match(out);
    ASSERT_TRUE(ran.hasMatch() && wav.hasMatch()) << out.toStdString();
    EXPECT_NEAR(wav.captured(1).toDouble(), ran.captured(1).toDouble(), 1.0);
    EXPECT_NEAR(wav.captured(1).toDouble(), (QFileInfo(dir.filePath("show.wav")).size() - 44) / 192000.0, 0.1);
}

// A bad option ends the tool before it opens anything: exit code 2 and one
// line on stderr naming the option, its value, the reason and the valid range.
TEST_F(ToolStderr, BadOptionsEndWithOneLineAndExitCode2)
{
    QTemporaryDir dir;
    const struct {
        QStringList args;
        const char* line;
    } cases[] = {
        {{"listen", "--port", "99999"},
         "kavexmix listen: --port '99999': out of range; give a port from 0 to 65535 (0: any free one)"},
        {{"record", "--codec", "pcma", "--rtcp-port", "abc"}, "kavexmix record: --rtcp-port 'abc': not a port number"},
        {{"listen", "--codec", "opus"}, "kavexmix listen: --codec 'opus': unknown value; give one of aac, ac3,"},
        {{"listen", "--codec", "pcma", "stray"}, "kavexmix listen: unexpected argument 'stray'"},
        {{"tone", "--volume", "x", "a.wav"},
         "kavexmix tone: --volume 'x': not a number; give a linear gain from 0 to 10"},
        {{"tone", "--seconds", "0", "a.wav"}, "kavexmix tone: --seconds '0': out of range; give seconds above 0"},
        {{"talk", "--to", "127.0.0.1:9", "--rate", "12345"},
         "kavexmix talk: --rate '12345': unknown value; give one of 8000, 16000"},
        {{"talk", "--to", "127.0.0.1:0"},
         "--to '127.0.0.1:0': not HOST:PORT; give a numeric address and a port from 1"},
        {{"record", "--unit-seconds", "50"},
         "kavexmix record: --unit-seconds '50': out of range; give seconds from 0.2 to 10"},
        {{"play", "--stream", "s", "--speed", "0"},
         "kavexmix play: --speed '0': out of range; give a whole number from -10000 to 10000 other than 0"},
        {{"play", "--stream", "s", "--range", "10:00:00-09:00:00"},
         "--range '10:00:00-09:00:00': not FROM-TO with FROM"},
        {{"play", "--stream", "s", "--key", "no-such.key"}, "--key 'no-such.key': cannot read it (No such file"},
        {{"serve", "--port", "1", "--token-file", "t", "--listen", "host"}, "--listen 'host': not an address"},
        {{"demo", "--output", "wav:"}, "kavexmix demo: --output 'wav:': no device; give auto, virtual, wav:PATH"},
        {{"devices", "--bogus"}, "kavexmix devices: Unknown option 'bogus'"},
    };
    for (const auto& c : cases) {
        QProcess p;
        startTool(p, c.args, dir.path());
        ASSERT_TRUE(p.waitForFinished(20000)) << c.line;
        const QString err = p.readAllStandardError();
        EXPECT_EQ(p.exitCode(), 2) << c.line;
        EXPECT_TRUE(err.contains(c.line) && err.count('\n') == 1) << c.line << "\n" << err.toStdString();
    }
}
