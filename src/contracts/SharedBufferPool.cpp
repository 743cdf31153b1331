#include "SharedBufferPool.h"

#include "KavexMutex.h"
#include <cstring>
#include <vector>

// State shared by a pool and the buffers it handed out; lives until the pool
// is released and the last buffer has come back.
class SharedBufferPoolCore
{
public:
    explicit SharedBufferPoolCore(int initialSize) : m_initialSize(initialSize) {}

    SharedPoolBuffer::Entry* take()
    {
        KavexLocker lock(&m_lock);
        SharedPoolBuffer::Entry* e;
        if (!m_free.empty()) {
            e = m_free.back();
            m_free.pop_back();
        } else {
            e = new SharedPoolBuffer::Entry{QAtomicInt(0), VariableBuffer(m_initialSize), this};
            ++m_created;
            m_free.reserve(size_t(m_created));
        }
        ++m_outstanding;
        e->refs.storeRelaxed(1);
        e->buffer.clear();
        return e;
    }

    void giveBack(SharedPoolBuffer::Entry* e)
    {
        bool destroy;
        {
            KavexLocker lock(&m_lock);
            --m_outstanding;
            if (m_released)
                delete e;
            else
                m_free.push_back(e);
            destroy = m_released && m_outstanding == 0;
        }
        if (destroy)
            delete this;
    }

    void release()
    {
        bool destroy;
        {
            KavexLocker lock(&m_lock);
            m_released = true;
            for (SharedPoolBuffer::Entry* e : m_free)
                delete e;
            m_free.clear();
            destroy = m_outstanding == 0;
        }
        if (destroy)
            delete this;
    }

    int created() const
    {
        KavexLocker lock(&m_lock);
        return m_created;
    }

private:
    const int m_initialSize;
    mutable KavexMutex m_lock;
    std::vector<SharedPoolBuffer::Entry*> m_free;
    int m_outstanding = 0;
    int m_created = 0;
    bool m_released = false;
};

SharedPoolBuffer::SharedPoolBuffer(const SharedPoolBuffer& other) : m_entry(other.m_entry)
{
    if (m_entry)
        m_entry->refs.ref();
}

SharedPoolBuffer::SharedPoolBuffer(SharedPoolBuffer&& other) noexcept : m_entry(other.m_entry)
{
    other.m_entry = nullptr;
}

SharedPoolBuffer& SharedPoolBuffer::operator=(const SharedPoolBuffer& other)
{
    if (other.m_entry)
        other.m_entry->refs.ref();
    unref(m_entry);
    m_entry = other.m_entry;
    return *this;
}

SharedPoolBuffer& SharedPoolBuffer::operator=(SharedPoolBuffer&& other) noexcept
{
    if (this != &other) {
        unref(m_entry);
        m_entry = other.m_entry;
        other.m_entry = nullptr;
    }
    return *this;
}

SharedPoolBuffer::~SharedPoolBuffer()
{
    unref(m_entry);
}

void SharedPoolBuffer::unref(Entry* entry)
{
    if (!entry || entry->refs.deref())
        return;
    if (entry->pool)
        entry->pool->giveBack(entry);
    else
        delete entry;
}

SharedPoolBuffer SharedPoolBuffer::fromData(const void* data, int size)
{
    Entry* e = new Entry{QAtomicInt(1), VariableBuffer(size), nullptr};
    if (size > 0 && data)
        std::memcpy(e->buffer.getBuffer(size), data, size_t(size));
    return SharedPoolBuffer(e);
}

bool SharedPoolBuffer::isEmpty() const
{
    return !m_entry || m_entry->buffer.getSize() == 0;
}

unsigned char* SharedPoolBuffer::getBuffer() const
{
    return m_entry ? m_entry->buffer.getBuffer() : nullptr;
}

int SharedPoolBuffer::getBufferSize() const
{
    return m_entry ? m_entry->buffer.getSize() : 0;
}

VariableBuffer* SharedPoolBuffer::getVariableBuffer() const
{
    return m_entry ? &m_entry->buffer : nullptr;
}

QByteArray SharedPoolBuffer::toByteArray() const
{
    if (!m_entry)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(m_entry->buffer.getBuffer()), m_entry->buffer.getSize());
}

void SharedPoolBuffer::reset()
{
    unref(m_entry);
    m_entry = nullptr;
}

SharedBufferPool::SharedBufferPool(int initialBufferSize) : m_core(new SharedBufferPoolCore(initialBufferSize)) {}

SharedBufferPool::~SharedBufferPool() = default;

SharedPoolBuffer SharedBufferPool::getBuffer()
{
    return SharedPoolBuffer(m_core->take());
}

int SharedBufferPool::buffersCreated() const
{
    return m_core->created();
}

void SharedBufferPool::release()
{
    m_core->release();
    delete this;
}
