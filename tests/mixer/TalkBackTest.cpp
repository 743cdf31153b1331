#include "Mixer.h"
#include "MixerImpl.h"
#include "RTPPacket.h"
#include "ScopedEnvironment.h"
#include "SignalAnalysis.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <gtest/gtest.h>

using namespace SignalAnalysis;

namespace {
class TalkBackTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        writeWav(m_dir.filePath("mic.wav"), 48000, 1, toInt16(sine(500, 48000, 48000, 8000)));
        m_env.set("OSTKAVEX_INPUT_DEVICE", ("wav:" + m_dir.filePath("mic.wav")).toUtf8());
        m_mixer = Mixer::getInstance(true, false);
    }
    void TearDown() override { m_mixer.reset(); }

    QTemporaryDir m_dir;
    ScopedEnvironment m_env;
    QSharedPointer<Mixer> m_mixer;
};
}  // namespace

TEST_F(TalkBackTest, InProcessDestinationReachesTheHostThroughTheFacade)
{
    QSignalSpy packets(m_mixer.data(), &Mixer::inprocRtpPacket);
    m_mixer->setAnalogMicGain(20);  // no effect
    m_mixer->enableRtpSink(QHostAddress::LocalHost, 0, SAMPLE_RATE_8000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return packets.count() >= 5; }, 10000));
    EXPECT_TRUE(m_mixer->implementation()->isRtpSinkRunning());
    const SharedPoolBuffer spb = packets.last().at(0).value<SharedPoolBuffer>();
    RTPPacket packet(spb.getBuffer(), spb.getBufferSize());
    ASSERT_TRUE(packet.isHeaderValid());
    EXPECT_EQ(int(packet.getPayloadType()), 8);
    EXPECT_NEAR(packet.getPayloadSize(), 250, 4);

    m_mixer->disableRtpSink();
    EXPECT_FALSE(m_mixer->implementation()->isRtpSinkRunning());
    QCoreApplication::sendPostedEvents();  // packets sent before the stop
    const int count = packets.count();
    QTest::qWait(200);  // nothing may arrive after the stop: look for a while
    EXPECT_EQ(packets.count(), count);
}

TEST_F(TalkBackTest, RestartSendsOnlyToTheNewDestination)
{
    QUdpSocket first, second;
    ASSERT_TRUE(first.bind(QHostAddress(QHostAddress::LocalHost), 0));
    ASSERT_TRUE(second.bind(QHostAddress(QHostAddress::LocalHost), 0));
    m_mixer->enableRtpSink(QHostAddress::LocalHost, first.localPort(), SAMPLE_RATE_16000);
    ASSERT_TRUE(first.waitForReadyRead(5000));
    m_mixer->disableRtpSink();
    while (first.hasPendingDatagrams())
        first.receiveDatagram();

    m_mixer->enableRtpSink(QHostAddress::LocalHost, second.localPort(), SAMPLE_RATE_16000);
    ASSERT_TRUE(second.waitForReadyRead(5000));
    const QNetworkDatagram d = second.receiveDatagram();
    RTPPacket packet(reinterpret_cast<const unsigned char*>(d.data().constData()), d.data().size());
    EXPECT_EQ(int(packet.getPayloadType()), 97);
    EXPECT_FALSE(first.waitForReadyRead(300));
    m_mixer->disableRtpSink();
}
