#include "Commands.h"
#include "InputOptions.h"
#include "KeyboardInput.h"
#include "LevelMeter.h"
#include "OptionCheck.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QTextStream>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

namespace {
const QString kGroup = QStringLiteral("play");
const int kSeekSeconds = 5;
const int kMinSpeed = 25;
const int kMaxSpeed = 800;
// --speed may ask for more than the keys reach.
const int kMaxSpeedOption = 10000;
const char* const kTimeForms = "+SECONDS, HH:MM:SS[.zzz] or YYYY-MM-DDTHH:MM:SS[.zzz]";

QDateTime fromEpochMs(quint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(ms), Qt::UTC).toLocalTime();
}

// A time given on the command line: "+SECONDS" after the recording's start,
// "HH:MM:SS[.zzz]" on the day the recording starts (local time), or a full
// local "YYYY-MM-DDTHH:MM:SS[.zzz]". False when `text` is none of these.
bool parseTime(const QString& text, const QDateTime& recordingStart, QDateTime* result)
{
    if (text.startsWith('+')) {
        bool ok = false;
        const double seconds = text.mid(1).toDouble(&ok);
        if (!ok || seconds < 0)
            return false;
        *result = recordingStart.addMSecs(qint64(seconds * 1000));
        return true;
    }
    for (const char* format : {"HH:mm:ss.zzz", "HH:mm:ss"}) {
        const QTime t = QTime::fromString(text, format);
        if (t.isValid()) {
            *result = QDateTime(recordingStart.date(), t, Qt::LocalTime);
            return true;
        }
    }
    for (const char* format : {"yyyy-MM-ddTHH:mm:ss.zzz", "yyyy-MM-ddTHH:mm:ss"}) {
        const QDateTime d = QDateTime::fromString(text, format);
        if (d.isValid()) {
            *result = d;
            return true;
        }
    }
    return false;
}

// "FROM-TO": the split is the '-' at which both sides are times.
bool parseRange(const QString& text, const QDateTime& recordingStart, QDateTime* from, QDateTime* to)
{
    for (int i = text.indexOf('-', 1); i > 0; i = text.indexOf('-', i + 1))
        if (parseTime(text.left(i), recordingStart, from) && parseTime(text.mid(i + 1), recordingStart, to))
            return *from < *to;
    return false;
}

NTPTimestamp toNtp(const QDateTime& t)
{
    return NTPTimestamp::fromDateTime(t.toUTC());
}

// Drives one playback group from the keyboard and shows where it is.
class Player : public QObject
{
public:
    Player(QSharedPointer<Mixer> mixer, int speed) : m_mixer(std::move(mixer)), m_speed(speed) {}

    void onKey(int key)
    {
        switch (key) {
        case ' ':
            if (m_paused)
                m_mixer->ctrlStartPlayback(kGroup, m_speed);
            else
                m_mixer->ctrlPause(kGroup);
            m_paused = !m_paused;
            break;
        case KeyboardInput::KEY_LEFT:
        case KeyboardInput::KEY_RIGHT: {
            const int sign = key == KeyboardInput::KEY_LEFT ? -1 : 1;
            const QDateTime now = m_mixer->getPlaybackStreamPosition(kGroup).toDateTime();
            m_mixer->ctrlSetAbsolutePlaybackPosition(kGroup, toNtp(now.addSecs(sign * kSeekSeconds)));
            break;
        }
        case '+':
        case '-': {
            const int magnitude =
                qBound(kMinSpeed, key == '+' ? std::abs(m_speed) * 2 : std::abs(m_speed) / 2, kMaxSpeed);
            setSpeed(m_speed < 0 ? -magnitude : magnitude);
            break;
        }
        case 'r':
            setSpeed(-m_speed);
            break;
        case 'q':
            QCoreApplication::quit();
            break;
        default:
            break;
        }
    }

    QString label() const
    {
        const NTPTimestamp position = m_mixer->getPlaybackStreamPosition(kGroup);
        const QString at = position.isNull() ? QStringLiteral("--:--:--")
                                             : position.toDateTime().toLocalTime().toString("HH:mm:ss.zzz");
        return QString("%1 %2 %3%").arg(m_paused ? "paused " : "playing", at).arg(m_speed);
    }

private:
    void setSpeed(int speed)
    {
        m_speed = speed;
        if (!m_paused)
            m_mixer->ctrlSetSpeed(kGroup, speed);
    }

    QSharedPointer<Mixer> m_mixer;
    int m_speed;
    bool m_paused = false;
};
}  // namespace

int runPlay(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Plays a recorded stream through the mixer with a position clock and a level meter. On a terminal: "
        "space pauses and resumes, left/right seek 5 s, +/- double or halve the speed, r reverses, q quits.");
    parser.addOption(storeOption());
    parser.addOption({"stream", "The stream's name (see kavexmix recordings).", "NAME"});
    parser.addOption({"from", "Where to start: +SECONDS, HH:MM:SS or YYYY-MM-DDTHH:MM:SS (local).", "TIME"});
    parser.addOption({"range", "Play only FROM-TO (times as for --from), then stop.", "FROM-TO"});
    parser.addOption(
        {"speed", "Speed in percent, -10000 to 10000 but not 0, negative for backwards (default 100).", "PERCENT"});
    parser.addOption({"key", "A private key file for encrypted recordings (repeatable).", "FILE"});
    parser.addOption({"seconds", "Stop after this many seconds (default: at the end).", "S"});
    InputOptions::addServerOptions(parser);
    if (!parseCommandLine(parser, "play", args))
        return parser.isSet("help") ? 0 : 2;
    QTextStream err(stderr);
    const OptionCheck check(parser, "play");
    int speed = 100;
    double seconds = -1;  // to the end
    std::vector<QByteArray> keys;
    QString server, token;
    quint16 serverPort = 0;
    // The times' forms are checked now; they are placed once the recording's start is known.
    QDateTime from, rangeFrom, rangeTo;
    const QDateTime today = QDateTime::currentDateTime();
    if (!check.required("stream", "give a stream's name (see kavexmix recordings)") ||
        !check.integer("speed", -kMaxSpeedOption, kMaxSpeedOption, true, &speed) ||
        !check.seconds("seconds", &seconds) || !InputOptions::readKeyFiles(check, "key", &keys) ||
        !InputOptions::serverOptions(check, &server, &serverPort, &token) || !InputOptions::storeExists(check))
        return 2;
    if (parser.isSet("from") && !parseTime(parser.value("from"), today, &from)) {
        check.fail("from", QString("not a time; give ") + kTimeForms);
        return 2;
    }
    const QString badRange = QString("not FROM-TO with FROM before TO; give times as ") + kTimeForms;
    if (parser.isSet("range") && !parseRange(parser.value("range"), today, &rangeFrom, &rangeTo)) {
        check.fail("range", badRange);
        return 2;
    }

    QSharedPointer<Mixer> mixer = Mixer::getInstance(false, true);
    mixer->setListOfPossiblePrivateKeys(keys);
    bool sessionOk = false;
    bool sessionAnswered = false;
    QObject::connect(mixer.data(), &Mixer::playbackSessionState,
                     [&](const QString& group, bool state, const QString&, const QString&) {
                         if (group == kGroup) {
                             sessionOk = state;
                             sessionAnswered = true;
                         }
                     });
    bool ended = false;
    QObject::connect(mixer.data(), &Mixer::endOfRangeReached, [&](const QString& group) {
        if (group == kGroup) {
            ended = true;
            QCoreApplication::quit();
        }
    });
    // Several locations play one stream with each unit from whichever has it.
    const QString stream = parser.value("stream");
    const QString store = parser.value("store");
    const quint64 id =
        !server.isEmpty()     ? mixer->addPlaybackChannel(kGroup, server, stream, stream, token, serverPort, 1.0)
        : store.contains(';') ? mixer->addMulPlayChannel(kGroup, store, token, stream, stream, 1.0)
                              : mixer->addInprocPlayChannel(kGroup, store, QString(), stream, stream, 1.0);
    // The stream's span arrives from the session's thread.
    QString info;
    for (int i = 0; i < 100 && (info.isEmpty() || info == "0-0"); ++i) {
        runFor(0.05);
        info = mixer->getStreamInfo(kGroup);
        if (sessionAnswered && !sessionOk)
            break;
    }
    const QStringList span = info.split('-');
    if (id == 0 || span.size() != 2 || info == "0-0" || (sessionAnswered && !sessionOk)) {
        err << "kavexmix play: no recording of stream '" << parser.value("stream") << "' in "
            << (!server.isEmpty()                 ? "the unit server " + parser.value("server")
                : parser.value("store").isEmpty() ? QStringLiteral("the default store")
                                                  : parser.value("store"))
            << " (see kavexmix recordings)\n";
        return 1;
    }
    const QDateTime begin = fromEpochMs(span[0].toULongLong());
    const QDateTime end = fromEpochMs(span[1].toULongLong());

    from = speed > 0 ? begin : end;
    if (parser.isSet("from"))
        parseTime(parser.value("from"), begin, &from);
    if (parser.isSet("range")) {
        // Mixed forms may order differently on the recording's own day.
        if (!parseRange(parser.value("range"), begin, &rangeFrom, &rangeTo)) {
            check.fail("range", badRange);
            return 2;
        }
        mixer->ctrlSetPlaybackRange(kGroup, NTPRange(toNtp(rangeFrom), toNtp(rangeTo)));
        if (!parser.isSet("from"))
            from = speed > 0 ? rangeFrom : rangeTo;
    }
    QTextStream(stdout) << "Playing " << parser.value("stream") << ": " << begin.toString("yyyy-MM-dd HH:mm:ss")
                        << " to " << end.toString("HH:mm:ss") << ", from " << from.toString("HH:mm:ss.zzz") << " at "
                        << speed << "%\n";
    mixer->ctrlSetAbsolutePlaybackPosition(kGroup, toNtp(from));
    mixer->ctrlStartPlayback(kGroup, speed);

    const bool terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    Player player(mixer, speed);
    KeyboardInput keyboard;
    if (terminal)
        QObject::connect(&keyboard, &KeyboardInput::keyPressed, &player, &Player::onKey);
    LevelMeter meter(mixer);
    QTimer labelTimer;
    QObject::connect(&labelTimer, &QTimer::timeout, [&] { meter.setLabel(player.label()); });
    labelTimer.start(100);
    meter.start();
    // Without --seconds or a range, the end of the recording ends the run;
    // the recording's length at this speed, with a margin, bounds it.
    if (seconds < 0 && !parser.isSet("range"))
        seconds = double(from.msecsTo(speed > 0 ? end : begin)) / 1000.0 * 100.0 / speed + 1.0;
    runFor(seconds);
    meter.stop();
    mixer->removeRtpChannel(id);
    if (ended)
        QTextStream(stdout) << "\nEnd of range reached\n";
    return 0;
}
