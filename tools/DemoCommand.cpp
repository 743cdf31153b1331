#include "Commands.h"
#include "DemoRtpSender.h"
#include "LevelMeter.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {
const double kSweepSeconds = 3.0;

// A mono 16-bit 48 kHz WAV of `seconds` of sound(t) (t in seconds), with
// short fades so that a loop of it joins without a click.
bool writeWav(const QString& path, double seconds, const std::function<double(double)>& sound)
{
    const int n = int(48000 * seconds);
    QByteArray data(n * 2, 0);
    for (int i = 0; i < n; ++i) {
        const double fade = std::min({1.0, i / 480.0, (n - i) / 480.0});
        const double v = qBound(-32767.0, fade * sound(i / 48000.0), 32767.0);
        qToLittleEndian<qint16>(qint16(std::lround(v)), reinterpret_cast<uchar*>(data.data() + 2 * i));
    }
    QByteArray h(44, 0);
    auto put32 = [&](int at, quint32 v) { qToLittleEndian<quint32>(v, reinterpret_cast<uchar*>(h.data() + at)); };
    auto put16 = [&](int at, quint16 v) { qToLittleEndian<quint16>(v, reinterpret_cast<uchar*>(h.data() + at)); };
    memcpy(h.data(), "RIFF", 4);
    put32(4, quint32(36 + data.size()));
    memcpy(h.data() + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);
    put16(22, 1);
    put32(24, 48000);
    put32(28, 96000);
    put16(32, 2);
    put16(34, 16);
    memcpy(h.data() + 36, "data", 4);
    put32(40, quint32(data.size()));
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(h + data) == h.size() + data.size();
}

bool writeSine(const QString& path, double frequency, double seconds, double amplitude)
{
    return writeWav(path, seconds, [=](double t) { return amplitude * std::sin(2 * M_PI * frequency * t); });
}

// Something like a voice: a 140 Hz buzz with vowel-like formants, in
// syllables of about a quarter second.
bool writeVoice(const QString& path)
{
    return writeWav(path, 3.0, [](double t) {
        const double syllable = std::pow(std::max(0.0, std::sin(2 * M_PI * 2.0 * t)), 2.0);
        const double pitch = 140.0 * (1.0 + 0.08 * std::sin(2 * M_PI * 0.7 * t));
        double v = 0;
        for (int h = 1; h <= 20; ++h) {
            const double f = pitch * h;
            const double formants = std::exp(-std::pow((f - 700) / 250, 2)) +
                                    0.6 * std::exp(-std::pow((f - 1200) / 300, 2)) +
                                    0.3 * std::exp(-std::pow((f - 2500) / 400, 2));
            v += formants * std::sin(2 * M_PI * pitch * h * t) / std::sqrt(double(h));
        }
        return 9000.0 * syllable * v;
    });
}

// The sample bytes a WAV file's header describes (its "data" chunk may not
// directly follow the format chunk); 0 when it has none.
qint64 wavDataBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.read(12).mid(8) != "WAVE")
        return 0;
    for (QByteArray chunk = f.read(8); chunk.size() == 8; chunk = f.read(8)) {
        const quint32 size = qFromLittleEndian<quint32>(chunk.constData() + 4);
        if (chunk.startsWith("data"))
            return std::min<qint64>(size, f.size() - f.pos());
        if (!f.seek(f.pos() + size + (size & 1)))
            return 0;
    }
    return 0;
}
}  // namespace

int runDemo(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "A short self-contained show of the mixer: tones started, mixed, made "
        "exclusive and stopped, volume and balance changed; live RTP streams (A-law "
        "and MPEG audio with RTCP) sent over loopback into receivers; talk-back from "
        "the microphone heard back through a receiver; a live stream recorded and "
        "played back forward, at double speed and backwards. Without a sound card the show "
        "is written to demo-output.wav.");
    if (!parseCommandLine(parser, "demo", args))
        return parser.isSet("help") ? 0 : 2;
    QTextStream out(stdout);

    QString recording;
    if (!parser.isSet("output") && qEnvironmentVariableIsEmpty("OSTKAVEX_OUTPUT_DEVICE") &&
        !SoundDevices::hasDefaultOutput()) {
        recording = QDir::current().absoluteFilePath("demo-output.wav");
        qputenv("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + recording).toUtf8());
        out << "No sound card here: the show is recorded into " << recording << "\n";
    } else if (qEnvironmentVariable("OSTKAVEX_OUTPUT_DEVICE").startsWith("wav:")) {
        recording = qEnvironmentVariable("OSTKAVEX_OUTPUT_DEVICE").mid(4);
    }

    QTemporaryDir tones;
    const QString a = tones.filePath("a440.wav"), e = tones.filePath("e660.wav"), chime = tones.filePath("chime.wav");
    if (!writeSine(a, 440, 1.0, 8000) || !writeSine(e, 660, 1.0, 6000) || !writeSine(chime, 880, 0.6, 9000)) {
        out << "kavexmix demo: cannot write the demo's tone files\n";
        return 1;
    }

    // Without a microphone, the talk-back part speaks with a generated voice.
    QString voice;
    if (qEnvironmentVariableIsEmpty("OSTKAVEX_INPUT_DEVICE") && !SoundDevices::hasDefaultInput()) {
        voice = tones.filePath("voice.wav");
        if (writeVoice(voice))
            qputenv("OSTKAVEX_INPUT_DEVICE", ("wav:" + voice).toUtf8());
    }

    QSharedPointer<Mixer> mixer = Mixer::getInstance(false, false);
    out << "Mixer running; presentation groups: " << mixer->presentationGroups().join(", ") << "\n";
    out.flush();
    // Held by pointer: the meter shares the mixer, which must be gone (and
    // the recording complete) before the show's length is read.
    auto meter = std::make_unique<LevelMeter>(mixer);
    meter->start();
    QElapsedTimer shown;
    shown.start();
    const auto step = [&](const QString& label, const QString& hear, double seconds, const std::function<void()>& act) {
        act();
        meter->setLabel(label);
        out << (isatty(1) ? "\n" : "") << "-> " << hear << "\n";
        out.flush();
        runFor(seconds);
    };

    quint64 toneA = 0;
    step("440 Hz", "a steady 440 Hz tone (A4) in both ears", 1.5,
         [&] { toneA = mixer->setSignalToneFromFile(a, true, false, 1.0); });
    step("440 + 660 Hz", "a 660 Hz tone joins: both mixed, a fifth", 1.5,
         [&] { mixer->setSignalToneFromFile(e, true, false, 1.0); });
    step("chime, exclusive", "an 880 Hz chime alone: the exclusive start stopped the other two", 1.0,
         [&] { mixer->setSignalToneFromFile(chime, false, true, 1.0); });
    step("silence", "silence: the chime has ended", 0.5, [] {});
    step("440 Hz", "the 440 Hz tone again", 1.0, [&] { toneA = mixer->setSignalToneFromFile(a, true, false, 1.0); });
    step("volume 50", "the same tone quieter (master volume 50)", 1.0, [&] { mixer->setMasterVolume(50); });
    step("balance -100", "left ear only (balance -100)", 1.0, [&] {
        mixer->setMasterVolume(100);
        mixer->setBalance(-100);
    });
    step("balance +100", "right ear only (balance +100)", 1.0, [&] { mixer->setBalance(100); });
    step("stopped", "silence: the tone is stopped", 0.5, [&] {
        mixer->setBalance(0);
        mixer->stopSignalTone(toneA);
    });

    // Live streams: the demo sends its own RTP over loopback into two receivers.
    const auto sdpFor = [](int pt, const char* map) {
        return QString("v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=kavexmix demo\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                       "m=audio 0 RTP/AVP %1\r\na=rtpmap:%1 %2\r\n")
            .arg(pt)
            .arg(map);
    };
    unsigned short pcmaPort = 0, pcmaRtcp = 0, mpaPort = 0, mpaRtcp = 0;
    const quint64 pcmaReceiver =
        mixer->addUnicastRtpChannel("LIVE", pcmaPort, pcmaRtcp, sdpFor(8, "PCMA/8000"), nullptr, QHostAddress(), 1.0);
    const quint64 mpaReceiver =
        mixer->addUnicastRtpChannel("LIVE", mpaPort, mpaRtcp, sdpFor(14, "MPA/90000"), nullptr, QHostAddress(), 1.0);
    if (pcmaReceiver == 0 || mpaReceiver == 0) {
        out << "kavexmix demo: cannot open the receivers' ports on loopback\n";
        return 1;
    }
    // Channels start muted; a receiver hands its mute state on to its streams.
    mixer->unmute(pcmaReceiver, CHANNEL_BOTH);
    mixer->unmute(mpaReceiver, CHANNEL_BOTH);
    DemoRtpSender pcma(DemoRtpSender::CODEC_PCMA, 330, 7000, QHostAddress::LocalHost, pcmaPort, pcmaRtcp);
    DemoRtpSender mpa(DemoRtpSender::CODEC_MPA, 550, 6000, QHostAddress::LocalHost, mpaPort, mpaRtcp);
    step("RTP A-law", QString("a 330 Hz stream arriving as G.711 A-law RTP on port %1").arg(pcmaPort), 2.0,
         [&] { pcma.start(); });
    step("RTP A-law + MPA", QString("an MPEG audio stream at 550 Hz joins on port %1").arg(mpaPort), 2.0,
         [&] { mpa.start(); });
    step("tone over live", "the 880 Hz chime over both live streams", 1.0,
         [&] { mixer->setSignalToneFromFile(chime, false, false, 1.0); });
    step("live stopped", "silence: the senders stopped (their streams are removed after 5 s)", 0.7, [&] {
        pcma.stop();
        mpa.stop();
    });

    // Talk-back: the microphone goes out as A-law RTP into our own A-law receiver.
    step("talk-back",
         QString("talk-back: the microphone%1, sent as RTP and heard back through the receiver")
             .arg(voice.isEmpty() ? "" : " (a generated voice-like signal)"),
         3.0, [&] { mixer->enableRtpSink(QHostAddress::LocalHost, pcmaPort, SAMPLE_RATE_8000); });
    step("talk-back off", "silence: talk-back stopped", 0.5, [&] { mixer->disableRtpSink(); });

    // Recorded playback: a rising sweep is heard live while a recorder stores
    // it, then played back forward, at double speed and backwards.
    std::unique_ptr<Recorder> recorder;
    Recorder::Options options;
    options.store = tones.filePath("recordings.db");
    options.detail = QStringLiteral("kavexmix demo");
    quint16 recordPort = 0, recordRtcp = 0;
    try {
        recorder = std::make_unique<Recorder>(options);
    } catch (const std::exception& e) {
        out << "kavexmix demo: cannot record: " << e.what() << "\n";
        return 1;
    }
    if (!recorder->listenUnicast(recordPort, recordRtcp, QHostAddress::LocalHost)) {
        out << "kavexmix demo: cannot open the recorder's ports on loopback\n";
        return 1;
    }
    DemoRtpSender sweep(DemoRtpSender::CODEC_PCMA, 300, 7000, QHostAddress::LocalHost, pcmaPort, pcmaRtcp);
    sweep.setSweep(900, kSweepSeconds);
    sweep.addCopyDestination(QHostAddress::LocalHost, recordPort, recordRtcp);
    step("recording",
         QString("a sweep rising from 300 to 900 Hz, live, while it is recorded (port %1)").arg(recordPort),
         kSweepSeconds, [&] { sweep.start(); });
    sweep.stop();
    recorder->stop();
    const QStringList streams = recorder->streamNames();
    QList<RecordingCatalog::Entry> recorded;
    QString error;
    if (streams.isEmpty() || !RecordingCatalog::list(options.store, &recorded, &error) || recorded.isEmpty()) {
        out << "kavexmix demo: nothing was recorded " << error << "\n";
        return 1;
    }
    const NTPRange span = recorded.first().span;
    const QString replay = QStringLiteral("replay");
    const quint64 player =
        mixer->addInprocPlayChannel(replay, options.store, QString(), streams.first(), options.detail, 1.0);
    const auto playFrom = [&](const NTPTimestamp& from, int speed) {
        mixer->ctrlSetAbsolutePlaybackPosition(replay, from);
        mixer->ctrlStartPlayback(replay, speed);
    };
    const double recordedSeconds = double((span.end() - span.start()).toMilliseconds()) / 1000.0;
    step("replay 100%", "the recording played back: the same rising sweep", recordedSeconds + 0.3,
         [&] { playFrom(span.start(), 100); });
    step("replay 200%", "at double speed: the sweep in half the time", recordedSeconds / 2 + 0.3,
         [&] { playFrom(span.start(), 200); });
    step("replay -100%", "backwards: a falling sweep", recordedSeconds + 0.3, [&] { playFrom(span.end(), -100); });
    step("done", "silence: playback stopped", 0.5, [&] {
        mixer->ctrlStop(replay);
        mixer->removeRtpChannel(player);
        mixer->removeRtpChannel(pcmaReceiver);
        mixer->removeRtpChannel(mpaReceiver);
    });
    meter->stop();
    meter.reset();
    mixer.reset();
    out << "The show ran " << QString::number(shown.elapsed() / 1000.0, 'f', 1) << " s.\n";
    if (!recording.isEmpty()) {
        out << "The show is in " << recording << " (48 kHz stereo WAV, "
            << QString::number(double(wavDataBytes(recording)) / (48000.0 * 4), 'f', 1) << " s).\n";
    }
    out << "Demo finished.\n";
    return 0;
}
