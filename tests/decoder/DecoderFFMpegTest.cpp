#include "ByteIOBufferFFmpeg.h"
#include "Decoder.h"

#include "LogCapture.h"
#include "RtpTestPackets.h"
#include "SignalAnalysis.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

namespace {

using RtpTestPackets::sdp;
namespace sa = SignalAnalysis;

// Runs "ffmpeg" or "ffprobe"; a null array when it fails.
QByteArray tool(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, QStringList{"-hide_banner", "-loglevel", "error"} + args);
    const bool ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return ok ? p.readAllStandardOutput() + " " : QByteArray();
}

// 1.5 s of band-limited noise made into a stream by the ffmpeg tool, cut into
// RTP payloads: `size` bytes each, or one coded frame each as ffprobe finds them.
QByteArrayList encode(const QTemporaryDir& dir, const QStringList& options, int size)
{
    const QString path = dir.filePath("stream.raw");
    const QStringList in{"-nostdin", "-y", "-f", "lavfi", "-i", "anoisesrc=r=48000:c=pink:d=1.5:s=7,lowpass=3000"};
    tool("ffmpeg", in + options + QStringList{path});
    QFile file(path);
    const QByteArray all = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    QByteArrayList packets;
    for (int pos = 0; size && pos + size <= all.size(); pos += size)
        packets.append(all.mid(pos, size));
    const QStringList probe{"-show_entries", "packet=size,pos", "-of", "csv=p=0", path};
    for (const QByteArray& line : (size ? QByteArray() : tool("ffprobe", probe)).split('\n')) {
        const QList<QByteArray> f = line.trimmed().split(',');  // size,pos
        if (f.size() == 2)
            packets.append(all.mid(f[1].toInt(), f[0].toInt()));
    }
    return packets;
}

// Feeds the payloads one by one into a 256000-byte buffer, as an RTP channel does.
std::vector<double> decode(Decoder& decoder, const QByteArrayList& packets, std::vector<int>* perPacket = nullptr)
{
    std::vector<unsigned char> buffer(256000);
    std::vector<double> out;
    for (const QByteArray& p : packets) {
        int length = int(buffer.size());
        decoder.decode(reinterpret_cast<const unsigned char*>(p.constData()), p.size(), buffer.data(), length);
        if (perPacket)
            perPacket->push_back(length);
        for (int i = 0; i + 1 < length; i += 2)
            out.push_back(int16_t(buffer[size_t(i)] | (buffer[size_t(i) + 1] << 8)));
    }
    return out;
}

struct CodecCase {  // ffmpeg options as space-separated words
    const char* sdpName;
    int clockRate;
    QString encode;    // output options making the stream
    int packetBytes;   // fixed payload size (20 ms of G.726); 0: one coded frame per packet
    QString readBack;  // input options reading the stream back
    int channels;
    bool adts = false;  // recorded G.726: each payload in an ADTS frame, whose 7-byte header is dropped
};

void PrintTo(const CodecCase& c, std::ostream* os)
{
    *os << c.sdpName;
}

CodecCase g726(const char* sdpName, int kbits, const QString& format = "g726", bool adts = false)
{
    return {sdpName,
            8000,
            QString("-ar 8000 -ac 1 -c:a %1 -b:a %2k -f %1").arg(format).arg(kbits),
            kbits * 5 / 2,
            QString("-f %1 -code_size %2").arg(format).arg(kbits / 8),
            1,
            adts};
}

const CodecCase kCases[] = {
    {"PCMA", 8000, "-ar 8000 -ac 1 -f alaw", 160, "-f alaw -ar 8000 -ac 1", 1},
    {"PCMU", 8000, "-ar 8000 -ac 1 -f mulaw", 160, "-f mulaw -ar 8000 -ac 1", 1},
    {"MPA", 90000, "-ar 48000 -ac 1 -c:a mp2 -b:a 128k -f mp2", 0, "", 1},
    {"MP2", 90000, "-ar 44100 -ac 2 -c:a libmp3lame -b:a 96k -write_xing 0 -f mp3", 0, "", 2},
    {"AAC", 48000, "-ar 48000 -ac 1 -c:a aac -b:a 64k -f adts", 0, "", 1},
    {"AC3", 48000, "-ar 48000 -ac 2 -c:a ac3 -b:a 192k -f ac3", 0, "", 2},
    g726("G726-16", 16),
    g726("G726-24", 24),
    g726("G726-32", 32),
    g726("G726-40", 40),
    g726("G726-32LE", 32, "g726le"),
    g726("G726-32", 32, "g726", true),
};

using DecoderCodecs = ::testing::TestWithParam<CodecCase>;

// Fed one RTP payload at a time, every codec gives the ffmpeg tool's own decode.
TEST_P(DecoderCodecs, MatchesTheToolsDecode)
{
    const CodecCase& c = GetParam();
    QTemporaryDir dir;
    QByteArrayList packets = encode(dir, c.encode.split(' '), c.packetBytes);
    ASSERT_GT(packets.size(), 20);
    for (QByteArray& p : packets) {  // recorded G.726: a 7-byte ADTS header declaring the frame's length
        const quint64 header = 0xFFF16C40001FFCULL | (quint64(7 + p.size()) << 13);
        p.prepend(QByteArray::fromHex(QByteArray::number(header, 16)).left(c.adts ? 7 : 0));
    }
    const QString ref = dir.filePath("ref.wav");
    tool("ffmpeg",
         QStringList{"-nostdin", "-y"} + c.readBack.split(' ', Qt::SkipEmptyParts) +
             QStringList{"-i", dir.filePath("stream.raw"), "-af", "aresample=48000:filter_size=256", "-ac", "1", ref});
    const std::vector<double> expected = sa::toDouble(sa::readWav(ref).samples);
    ASSERT_GT(expected.size(), 48000u);

    LogCapture log;
    std::unique_ptr<Decoder> decoder(Decoder::getDecoderBySdp(sdp(96, c.sdpName, c.clockRate), c.adts, 1.0)),
        scaled(Decoder::getDecoderBySdp(sdp(96, c.sdpName, c.clockRate), c.adts, 4.0));
    ASSERT_TRUE(decoder && scaled);
    std::vector<int> perPacket;
    const std::vector<double> decoded = decode(*decoder, packets, &perPacket);
    std::vector<double> gained = decode(*scaled, packets.mid(0, 20));
    EXPECT_EQ(std::make_tuple(decoder->channels(), log.count(QtDebugMsg, "DecoderFFMpeg::decode: new decoder: "),
                              log.count(QtWarningMsg, "") + log.count(QtCriticalMsg, ""),
                              std::count(perPacket.begin() + 2, perPacket.end(), 0)),  // silent payloads after two
              std::make_tuple(c.channels, 2, 0, 0))
        << log.dump().toStdString();

    if (QByteArray(c.sdpName).startsWith("PCM")) {  // G.711: the 256-tap resampler's very samples
        EXPECT_TRUE(decoded.size() <= expected.size() && std::equal(decoded.begin(), decoded.end(), expected.begin()));
    }
    EXPECT_NEAR(double(decoded.size()), double(expected.size()), 4000.0);
    EXPECT_GE(sa::align(expected, decoded, 1500).correlation, 0.999);
    EXPECT_NEAR(20 * std::log10(sa::rms(decoded) / sa::rms(expected)), 0.0, 0.3);

    // Gain scales the samples, truncating toward zero and clipping, from the next payload on.
    const size_t split = gained.size();
    scaled->setGain(0.5);
    for (const double sample : decode(*scaled, packets.mid(20)))
        gained.push_back(sample);
    ASSERT_EQ(gained.size(), decoded.size());
    for (size_t i = 0; i < decoded.size(); ++i)
        ASSERT_EQ(gained[i], i < split ? qBound(-32768.0, decoded[i] * 4, 32767.0) : double(int(decoded[i] / 2))) << i;
    EXPECT_GT(sa::peak(sa::slice(decoded, 0, split)), 9000.0);  // so that the louder part clips
}

INSTANTIATE_TEST_SUITE_P(All, DecoderCodecs, ::testing::ValuesIn(kCases));

TEST(DecoderFFMpeg, SetUpFromTheCodecNameOrItsFailureOnEveryCall)
{
    const std::tuple<QString, QtMsgType, QString> cases[] = {
        {"PCMA16", QtCriticalMsg, "DecoderFFMpeg::decode:  input format  not available"},
        {"G726", QtWarningMsg, "DecoderFFMpeg::decode: Failed to find bitrate information! No decoding possible!"},
        {"G726-32-1", QtWarningMsg, "Failed to find bitrate information! No decoding possible!"},
        {"G726-20", QtWarningMsg, "DecoderFFMpeg::decode: Failed to open codec! No decoding possible!"},
        {"G726-16", QtDebugMsg,
         "new decoder: G726-16; sample rate: 8000; bit rate: 16000; channel layout: mono; "
         "sample format: s16"},
        {"G726-40LE", QtDebugMsg, "new decoder: G726-40LE; sample rate: 8000; bit rate: 40000;"},
    };
    const QByteArray payload(120, 0x55);
    for (const auto& [name, type, line] : cases) {
        LogCapture log;
        std::unique_ptr<Decoder> decoder(Decoder::getDecoderBySdp(sdp(96, name, 8000), false, 1.0));
        ASSERT_TRUE(decoder) << name.toStdString();
        const int unknown = decoder->channels();  // until the first payload
        const bool fails = type != QtDebugMsg;
        const bool silent = decode(*decoder, {payload, payload, payload}).empty();
        EXPECT_EQ(std::make_tuple(unknown, silent, log.count(type, line), decoder->channels()),
                  std::make_tuple(0, fails, fails ? 3 : 1, fails ? 0 : 1))
            << name.toStdString() << log.dump().toStdString();
    }
}

// A tag header makes FFmpeg allocate what the tag claims (here 1.2 GB) and
// skip what it claims, eating the stream. Pieces carrying one, whole or
// completing one begun in the piece before, are dropped; the audio plays.
TEST(DecoderFFMpeg, PiecesCarryingATagHeaderAreDroppedAndTheAudioPlays)
{
    const QByteArray tag = QByteArray::fromBase64("SUQzBAAALwAAI1RTU0UO9/8OKElEMwQAAC8AACNUU1NFDvc=");
    const std::pair<const char*, QString> streams[] = {{"MPA", "-ar 48000 -ac 1 -c:a mp2 -b:a 128k -f mp2"},
                                                       {"AAC", "-ar 48000 -ac 1 -c:a aac -b:a 64k -f adts"}};
    for (const auto& [name, options] : streams) {
        QTemporaryDir dir;
        const QByteArrayList packets = encode(dir, options.split(' '), 0);
        ASSERT_GT(packets.size(), 40) << name;
        std::unique_ptr<Decoder> clean(Decoder::getDecoderBySdp(sdp(96, name, 90000), false, 1.0)),
            hostile(Decoder::getDecoderBySdp(sdp(96, name, 90000), false, 1.0));
        const std::vector<double> expected = decode(*clean, packets);

        // A tag ahead of the first frame; one split over two pieces after frame 20.
        QByteArrayList sent{tag};
        sent += packets.mid(0, 20);
        sent << packets[20] + tag.left(5) << tag.mid(5);
        sent += packets.mid(21);
        LogCapture log;
        const std::vector<double> decoded = decode(*hostile, sent);
        const QString dropped("ByteIOBufferFFmpeg::putBytes: %1 bytes dropped: they carry an ID3v2 tag header");
        EXPECT_EQ(std::make_tuple(log.count(QtWarningMsg, dropped.arg(tag.size())),
                                  log.count(QtDebugMsg, dropped.arg(tag.size() - 5)),
                                  log.count(QtWarningMsg, "") + log.count(QtCriticalMsg, "")),
                  std::make_tuple(1, 1, 1))
            << name << log.dump().toStdString();

        // The same audio up to the split tag and at the end; at most three frames lost.
        const size_t before = 18000, after = 24000;
        ASSERT_GT(decoded.size(), before + after) << name;
        EXPECT_EQ(sa::slice(decoded, 0, before), sa::slice(expected, 0, before)) << name;
        EXPECT_TRUE(decoded.size() <= expected.size() && decoded.size() + 3 * 1152 >= expected.size()) << name;
        EXPECT_GE(sa::align(sa::slice(expected, expected.size() - after, after),
                            sa::slice(decoded, decoded.size() - after, after), 200)
                      .correlation,
                  0.999)
            << name;
    }
}

// Keeps unread bytes up to its limit; end of file whenever it runs dry, until more arrive.
TEST(ByteIOBufferFFmpeg, DropsWhatExceedsTheFifoAndReadsAgainAfterEndOfFile)
{
    ByteIOBufferFFmpeg stream;
    const int limit = ByteIOBufferFFmpeg::FIFO_BLOCK_SIZE * ByteIOBufferFFmpeg::FIFO_MAX_BLOCKS;
    std::vector<unsigned char> bytes(size_t(limit), 7), sink(65536);
    LogCapture log;
    EXPECT_EQ(stream.putBytes(bytes.data(), limit - 10), limit - 10);
    EXPECT_EQ(stream.putBytes(bytes.data(), 1000), 10);
    EXPECT_EQ(log.count(QtCriticalMsg, "ByteIOBufferFFmpeg::putBytes failed, increase max fifo size and recompile"), 1);

    int n = 0, total = 0;
    while ((n = avio_read(stream.ioContext(), sink.data(), int(sink.size()))) > 0)
        total += n;
    EXPECT_EQ(std::make_tuple(total, n), std::make_tuple(limit, AVERROR_EOF));
    stream.putBytes(bytes.data(), 100);
    EXPECT_EQ(avio_read(stream.ioContext(), sink.data(), int(sink.size())), 100);
}

}  // namespace
