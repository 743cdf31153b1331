#include "LiveScene.h"

#include "AlawStreams.h"
#include "PresentationGroup.h"
#include "RTCPPacket.h"
#include "RTPPacket.h"
#include "RtpChannel.h"
#include "VariableBuffer.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace {
const QString kLive = QStringLiteral("LIVE");
// The channel plays G.711 this far behind the range it is asked for.
const NTPTimestamp kChannelDelay = NTPTimestamp::fromMilliseconds(120);
}  // namespace

void LiveScene::ChannelDeleter::operator()(RtpChannel* c) const
{
    c->deleteThis();
}

LiveScene::LiveScene(int count) : m_live(new PresentationGroup(kLive))
{
    const NTPTimestamp base = NTPTimestamp::fromDateTime(QDateTime::currentDateTimeUtc());
    m_groups.insert(kLive, m_live.get());
    m_live->setPosition(base + kChannelDelay, 0);
    m_live->play(0);

    std::vector<unsigned char> frame(AudioFrameDefs::BYTES_IN_FRAME);
    for (int c = 0; c < count; ++c) {
        VariableBuffer report;
        const int reportSize = RTCPPacket::writeSenderReport(report, AlawStreams::ssrc(c), base, 0, 0, 0);
        m_channels.emplace_back(new RtpChannel(AlawStreams::sdp(), 1.0));
        RtpChannel* channel = m_channels.back().get();
        channel->setPresentationGroup(kLive);
        channel->unmute(CHANNEL_BOTH);
        channel->getData(NTPRange(base, base + AudioFrameDefs::frameDuration()), frame.data());  // applies the SDP
        channel->rtcp(RTCPPacket(report.getBuffer(), reportSize));
        m_mixed.push_back(channel);
    }
}

LiveScene::~LiveScene() = default;

quint64 LiveScene::packetsDueBefore(quint64 tick)
{
    // A tick is 16/15 packets long; packets arrive 60 ms (3 packets) before
    // the tick that plays them ends.
    return (tick + 1) * 16 / 15 + 3;
}

quint64 LiveScene::ticksFor(double seconds)
{
    return quint64(std::ceil((seconds + 0.120) * 375 / 8));
}

void LiveScene::deliver(int channel, const RTPPacket& packet)
{
    m_channels[size_t(channel)]->depay(packet);
}

void LiveScene::mixTick()
{
    m_step.render(m_tick, m_mixed, m_groups);
    m_peak = std::max({m_peak, m_step.peakLeft(), m_step.peakRight()});
    ++m_tick;
}
