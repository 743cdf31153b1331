#include "Recorder.h"
#include "LogCategories.h"

#include "ThreadEnd.h"

#include "BufferSocketQueued.h"
#include "Clock.h"
#include "DataStreamBuffer.h"
#include "Datagram.h"
#include "KavexUdpReceiver.h"
#include "RTCPPacket.h"
#include "RTPPacket.h"
#include "StoreLocation.h"
#include "StreamRecorder.h"
#include "StreamUnitDecrypter.h"
#include "UnitWriter.h"

#include <QDataStream>
#include <QDebug>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <cmath>

namespace {
// Streams silent this long are forgotten (their time base with them).
const quint64 kForgetStreamUs = 60ULL * 1000 * 1000;
const int kIdleCheckMs = 250;
}  // namespace

Recorder::Recorder(const Options& options) : m_clock(Clock::system())
{
    init(options);
}

Recorder::Recorder(const Options& options, Clock& clock) : m_clock(clock)
{
    init(options);
}

void Recorder::init(const Options& options)
{
    m_options = options;
    m_unitSeconds = options.unitSeconds;
    if (!std::isfinite(m_unitSeconds) || m_unitSeconds < MIN_UNIT_SECONDS || m_unitSeconds > MAX_UNIT_SECONDS) {
        const double clamped =
            std::isfinite(m_unitSeconds) ? std::min(std::max(m_unitSeconds, MIN_UNIT_SECONDS), MAX_UNIT_SECONDS) : 1.0;
        qCWarning(lcKavexRecording).nospace()
            << "Recorder::Recorder: Unit length " << m_unitSeconds << " s is outside " << MIN_UNIT_SECONDS << " to "
            << MAX_UNIT_SECONDS << " s; using " << clamped << " s";
        m_unitSeconds = clamped;
    }
    if (m_options.namePattern.isEmpty())
        m_options.namePattern = QStringLiteral("%a-%s");
    if (!m_options.sdp.isEmpty() && !UnitPayloadFormat(m_options.sdp).isValid())
        throw std::invalid_argument("Recorder: the SDP names no audio format");
    if (!m_options.privateKeys.empty()) {
        m_decrypter = std::make_unique<StreamUnitDecrypter>();
        m_decrypter->setListOfPossiblePrivateKeys(m_options.privateKeys);
    }
    m_path = StoreLocation::resolve(options.store);
    try {
        m_writer = std::make_unique<UnitWriter>(m_path, m_options.publicKeys, m_clock);
    } catch (const std::exception& e) {
        qCWarning(lcKavexRecording).noquote() << "Recorder::Recorder:" << e.what();
        throw;
    }
}

Recorder::~Recorder()
{
    stop();
}

void Recorder::stop()
{
    stopInput();
    flush();
}

bool Recorder::startInput(const char* caller, const std::function<bool()>& open)
{
    if (m_thread) {
        qCWarning(lcKavexRecording) << caller << ": An input is running already";
        return false;
    }
    m_thread = std::make_unique<QThread>();
    m_context = new QObject;
    m_context->moveToThread(m_thread.get());
    markThreadEnd(m_thread.get());
    m_thread->start();
    bool ok = false;
    invokeAndWait(m_context, [this, &ok, &open] {
        ok = open();
        if (!ok)
            return;
        m_idleTimer = new QTimer(m_context);
        QObject::connect(m_idleTimer, &QTimer::timeout, m_context, [this] { closeIdleUnits(); });
        m_idleTimer->start(kIdleCheckMs);
    });
    if (!ok)
        stopInput();
    return ok;
}

void Recorder::stopInput()
{
    if (!m_thread)
        return;
    // Sockets and timer go on the thread that uses them.
    invokeAndWait(m_context, [this] {
        delete m_rtpSocket;
        delete m_rtcpSocket;
        delete m_relay;
        delete m_idleTimer;
        m_rtpSocket = m_rtcpSocket = nullptr;
        m_relay = nullptr;
        m_idleTimer = nullptr;
    });
    m_thread->quit();
    m_thread->wait();
    joinedThread(m_thread.get());
    delete m_context;
    m_context = nullptr;
    m_thread.reset();
}

bool Recorder::openUdp(quint16& rtpPort, quint16& rtcpPort, const QHostAddress& group, const QHostAddress& iface)
{
    const bool multicast = !group.isNull();
    m_rtpSocket = new KavexUdpReceiver;
    m_rtcpSocket = new KavexUdpReceiver;
    m_rtpSocket->registerCallback(&Recorder::rtpCallback, this);
    m_rtcpSocket->registerCallback(&Recorder::rtcpCallback, this);
    auto open = [&](KavexUdpReceiver* socket, quint16 port) {
        return multicast ? socket->createMulticast(port, group, iface) : socket->createUnicast(port, iface);
    };
    if (!open(m_rtpSocket, rtpPort))
        return false;
    rtpPort = m_rtpSocket->localPort();
    const bool requested = rtcpPort != 0;
    bool rtcpOpen = open(m_rtcpSocket, requested ? rtcpPort : quint16(rtpPort + 1));
    if (!rtcpOpen && !requested)
        rtcpOpen = open(m_rtcpSocket, 0);
    if (!rtcpOpen)
        return false;
    rtcpPort = m_rtcpSocket->localPort();
    qCDebug(lcKavexRecording).noquote() << "Recorder: Recording" << (multicast ? group.toString() : iface.toString())
                                        << "RTP port" << rtpPort << "RTCP port" << rtcpPort << "into" << m_path;
    return true;
}

bool Recorder::listenUnicast(quint16& rtpPort, quint16& rtcpPort, const QHostAddress& iface)
{
    return startInput("Recorder::listenUnicast", [&] { return openUdp(rtpPort, rtcpPort, QHostAddress(), iface); });
}

bool Recorder::listenMulticast(const QHostAddress& group, quint16 rtpPort, quint16 rtcpPort, const QHostAddress& iface)
{
    return startInput("Recorder::listenMulticast", [&] { return openUdp(rtpPort, rtcpPort, group, iface); });
}

bool Recorder::connectRelay(const QHostAddress& server, quint16 port, const QHostAddress& peer)
{
    return startInput("Recorder::connectRelay", [&] {
        m_relayPeer = peer.toIPv4Address();
        m_relay = new BufferSocketQueued(false);
        QObject::connect(
            m_relay, &BufferSocketBase::incomingBuffer, m_context,
            [this](const char* data, int size, KavexTcpSocket::QueuedConnNotAllowed) { onRelayMessage(data, size); },
            Qt::DirectConnection);
        QObject::connect(m_relay, &BufferSocketBase::connected, m_context, [this] {
            // The relay server learns whose streams we want: the IPv4 address.
            DataStreamBuffer device;
            QDataStream out(&device);
            out << m_relayPeer;
            m_relay->sendBuffer(device.getBuffer().constData(), device.getBuffer().size());
        });
        m_relay->connectToHost(server, port);
        return true;
    });
}

void Recorder::rtpCallback(void* context, const Datagram& datagram)
{
    static_cast<Recorder*>(context)->onRtp(datagram);
}

void Recorder::rtcpCallback(void* context, const Datagram& datagram)
{
    static_cast<Recorder*>(context)->onRtcp(datagram);
}

void Recorder::feedRtp(const unsigned char* data, int size, const QHostAddress& sender)
{
    onRtp(Datagram::fromSender(data, size, sender, 0));
}

void Recorder::feedRtcp(const unsigned char* data, int size, const QHostAddress& sender)
{
    onRtcp(Datagram::fromSender(data, size, sender, 0));
}

StreamRecorder* Recorder::streamFor(const Datagram& datagram, quint32 ssrc)
{
    const StreamKey key(datagram.isIPv6() ? datagram.ipv6High() : datagram.ipv4Address,
                        datagram.isIPv6() ? datagram.ipv6Low() : 0, ssrc);
    auto it = m_streams.find(key);
    if (it != m_streams.end())
        return it->second.get();
    QString name = m_options.namePattern;
    name.replace(QLatin1String("%%"), QLatin1String("\x01"))
        .replace(QLatin1String("%a"), datagram.senderAddress().toString())
        .replace(QLatin1String("%s"), QString::number(ssrc))
        .replace(QLatin1Char('\x01'), QLatin1Char('%'));
    qCDebug(lcKavexRecording).noquote() << "Recorder: New stream" << name;
    auto stream = std::make_unique<StreamRecorder>(name, m_options.detail, m_options.sdp,
                                                   NTPTimestamp::fromDivision(quint64(m_unitSeconds * 1000), 1000));
    return m_streams.emplace(key, std::move(stream)).first->second.get();
}

void Recorder::onRtp(const Datagram& datagram)
{
    const RTPPacket packet(datagram.data, datagram.size);
    if (!packet.isHeaderValid()) {
        qCWarning(lcKavexRecording) << "Recorder::onRtp: Invalid RTP header received";
        return;
    }
    QVector<CutUnit> done;
    {
        std::lock_guard<std::mutex> lock(m_streamLock);
        streamFor(datagram, packet.getSSRC())->onRtp(packet, m_clock.wallClock(), m_clock.monotonicUs(), done);
    }
    submit(done);
}

void Recorder::onRtcp(const Datagram& datagram)
{
    const RTCPPacket packet(datagram.data, datagram.size);
    if (!packet.isHeaderValid()) {
        qCWarning(lcKavexRecording) << "Recorder::onRtcp: Invalid RTCP header received";
        return;
    }
    if (packet.getType() != RTCP_TYPE_SR)
        return;
    std::lock_guard<std::mutex> lock(m_streamLock);
    streamFor(datagram, packet.getSSRC())->onSenderReport(packet.getNtpTimestamp(), packet.getRtpTimestamp());
}

void Recorder::onRelayMessage(const char* data, int size)
{
    DataStreamBuffer device(data, size);
    QDataStream in(&device);
    bool isRtcp = false;
    VariableBuffer packet;
    in >> isRtcp >> packet;
    if (in.status() != QDataStream::Ok) {
        qCWarning(lcKavexRecording) << "Recorder::onRelayMessage: Discarding malformed message of" << size << "bytes";
        return;
    }
    SharedPoolBuffer plain = SharedPoolBuffer::fromData(packet.getBuffer(), packet.getSize());
    while (StreamUnitDecrypter::isLayer(plain.getBuffer(), plain.getBufferSize())) {
        const SharedPoolBuffer inner = m_decrypter ? m_decrypter->decrypt(plain) : SharedPoolBuffer();
        if (inner.isEmpty()) {
            if (!m_warnedEncrypted)
                qCWarning(lcKavexRecording)
                    << "Recorder::onRelayMessage: Dropping encrypted messages: no private key opens them";
            m_warnedEncrypted = true;
            return;
        }
        plain = inner;
    }
    const Datagram datagram =
        Datagram::fromSender(plain.getBuffer(), plain.getBufferSize(), m_relay->peerAddress(), m_relay->peerPort());
    isRtcp ? onRtcp(datagram) : onRtp(datagram);
}

void Recorder::submit(QVector<CutUnit>& done)
{
    if (!done.isEmpty())
        m_writer->submit(done);
}

void Recorder::closeIdleUnits()
{
    const quint64 now = m_clock.monotonicUs();
    const quint64 idleUs = quint64(m_unitSeconds * 1e6);
    QVector<CutUnit> done;
    {
        std::lock_guard<std::mutex> lock(m_streamLock);
        for (auto it = m_streams.begin(); it != m_streams.end();) {
            const quint64 silent = now - it->second->lastPacketUs();
            if (silent >= idleUs)
                it->second->closeUnit(done);
            if (silent >= kForgetStreamUs)
                it = m_streams.erase(it);
            else
                ++it;
        }
    }
    submit(done);
}

void Recorder::flush()
{
    QVector<CutUnit> done;
    {
        std::lock_guard<std::mutex> lock(m_streamLock);
        for (auto& entry : m_streams)
            entry.second->closeUnit(done);
    }
    submit(done);
    m_writer->waitUntilWritten();
}

QStringList Recorder::streamNames() const
{
    std::lock_guard<std::mutex> lock(m_streamLock);
    QStringList names;
    for (const auto& entry : m_streams)
        names.append(entry.second->name());
    names.sort();
    return names;
}

quint64 Recorder::unitsWritten() const
{
    return m_writer->unitsWritten();
}
