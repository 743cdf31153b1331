// The TCP message framing and the relay server's RTP/RTCP messages. The
// input's first byte chooses how the rest arrives: in chunks of varying
// size, as a socket delivers it. The framer must find the same messages as
// the unit server's whole-buffer reader of the same framing, and every
// message goes through the relay message reader.
#include "FuzzSupport.h"
#include "MessageFramer.h"
#include "RelayMessage.h"
#include "UnitProtocol.h"
#include "VariableBuffer.h"

#include <QBuffer>
#include <QByteArray>
#include <QIODevice>
#include <QList>

#include <cstring>

namespace {

// A socket stand-in: hands out what has arrived so far, no more. Unbuffered:
// the bytes are in memory already, a read-ahead copy would only cost.
class ArrivalDevice : public QIODevice
{
public:
    ArrivalDevice() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    void arrive(const uint8_t* data, size_t size) { m_bytes.append(reinterpret_cast<const char*>(data), int(size)); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_bytes.size() - m_pos + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, m_bytes.size() - m_pos);
        std::memcpy(data, m_bytes.constData() + m_pos, size_t(n));
        m_pos += int(n);
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_bytes;
    int m_pos = 0;
};

void readRelay(const QByteArray& message)
{
    bool isRtcp = false;
    VariableBuffer packet;
    if (RelayMessage::read(message.constData(), message.size(), &isRtcp, &packet) &&
        packet.getSize() > message.size() - 5)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 65536)
        return 0;
    FuzzInput input(data, size);
    const unsigned pattern = input.byte();
    const QByteArray stream(reinterpret_cast<const char*>(data + 1), int(input.remaining()));

    QList<QByteArray> expected;
    bool expectOversize = false;
    QBuffer whole(const_cast<QByteArray*>(&stream));
    whole.open(QIODevice::ReadOnly);
    for (;;) {
        QByteArray message;
        const UnitProtocol::TakeResult r = UnitProtocol::takeFrame(&whole, &message);
        if (r != UnitProtocol::TAKE_MESSAGE) {
            expectOversize = r == UnitProtocol::TAKE_OVERSIZE;
            break;
        }
        expected.append(message);
    }

    ArrivalDevice device;
    // One framer for all inputs, reset for each, as its buffer grows to the
    // largest announced size (up to a megabyte) and a fresh one would zero
    // that much for every input. Nothing of an earlier input is visible
    // after the reset: a message is handed out only once all its bytes are
    // read.
    static MessageFramer framer;
    framer.reset();
    QList<QByteArray> found;
    bool oversize = false;
    for (unsigned chunk = 0; input.remaining() > 0 && !oversize; ++chunk) {
        size_t taken = 0;
        const uint8_t* at = input.take(1 + (pattern * (chunk + 1) * 7919u) % 257, &taken);
        device.arrive(at, taken);
        for (;;) {
            const MessageFramer::Result r = framer.read(device);
            if (r == MessageFramer::RESULT_NEED_MORE)
                break;
            if (r == MessageFramer::RESULT_OVERSIZE) {
                oversize = true;
                break;
            }
            found.append(QByteArray(framer.message(), framer.messageSize()));
        }
    }
    if (found != expected || oversize != expectOversize)
        __builtin_trap();
    for (const QByteArray& message : found)
        readRelay(message);
    // The relay reader also gets the whole input, framed or not.
    readRelay(stream);
    return 0;
}
