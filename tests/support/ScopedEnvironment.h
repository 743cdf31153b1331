#pragma once

#include <QByteArray>
#include <QList>

// Sets environment variables for one test and puts the old values back.
class ScopedEnvironment
{
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const char* name, const QByteArray& value) { set(name, value); }
    ~ScopedEnvironment()
    {
        for (int i = m_saved.size() - 1; i >= 0; --i)
            m_saved[i].wasSet ? qputenv(m_saved[i].name, m_saved[i].value) : qunsetenv(m_saved[i].name);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const char* name, const QByteArray& value)
    {
        remember(name);
        qputenv(name, value);
    }
    void unset(const char* name)
    {
        remember(name);
        qunsetenv(name);
    }

private:
    struct Saved {
        const char* name;
        bool wasSet;
        QByteArray value;
    };
    void remember(const char* name) { m_saved.append({name, qEnvironmentVariableIsSet(name), qgetenv(name)}); }
    QList<Saved> m_saved;
};
