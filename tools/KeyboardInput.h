#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>
#include <termios.h>

// Single key presses from a terminal's standard input, without waiting for
// Enter and without echo, while the object lives; the terminal's settings
// are restored when it goes. Arrow keys arrive as KEY_LEFT/KEY_RIGHT/KEY_UP/
// KEY_DOWN, every other key as its character. Lives on the GUI/main thread.
class KeyboardInput : public QObject
{
    Q_OBJECT
public:
    enum Key { KEY_LEFT = 0x10000, KEY_RIGHT, KEY_UP, KEY_DOWN };

    explicit KeyboardInput(QObject* parent = nullptr);
    ~KeyboardInput() override;

signals:
    void keyPressed(int key);

private:
    void readKeys();

    std::unique_ptr<QSocketNotifier> m_notifier;
    termios m_saved{};
    bool m_raw = false;
    QByteArray m_pending;
};
