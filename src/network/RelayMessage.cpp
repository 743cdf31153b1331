#include "RelayMessage.h"

#include "DataStreamBuffer.h"
#include "VariableBuffer.h"

#include <QDataStream>

bool RelayMessage::read(const char* data, int size, bool* isRtcp, VariableBuffer* packet)
{
    DataStreamBuffer device(data, size);
    QDataStream in(&device);
    in >> *isRtcp >> *packet;
    return in.status() == QDataStream::Ok;
}
