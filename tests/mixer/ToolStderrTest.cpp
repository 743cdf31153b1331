#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <gtest/gtest.h>

// The host tool as a user runs it, probing the machine's sound devices:
// whatever reaches its stderr are its own lines, all starting "kavexmix "
// (the library's, FFmpeg's, ALSA's and JACK's come through its Qt message
// pattern). listen receives MPEG audio sent by the ffmpeg tool, with the
// library's debug lines on.
TEST(ToolStderr, ListenDevicesAndDemoPrintOnlyOurLinesOnStderr)
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
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"OSTKAVEX_OUTPUT_DEVICE", "OSTKAVEX_INPUT_DEVICE", "QT_MESSAGE_PATTERN",
                                 "QT_LOGGING_RULES", "KAVEXMIX_VERBOSE"})
            env.remove(name);
        if (r.verbose)
            env.insert("KAVEXMIX_VERBOSE", "1");
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(dir.path());
        p.start(KAVEX_TEST_BINARY_DIR "/tools/kavexmix", r.args);
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
