#include "KeyboardInput.h"

#include <unistd.h>

KeyboardInput::KeyboardInput(QObject* parent) : QObject(parent)
{
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &m_saved) != 0)
        return;
    termios raw = m_saved;
    raw.c_lflag &= tcflag_t(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    m_raw = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    m_notifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &KeyboardInput::readKeys);
}

KeyboardInput::~KeyboardInput()
{
    if (m_raw)
        tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
}

void KeyboardInput::readKeys()
{
    char buffer[64];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
    if (n <= 0) {
        m_notifier->setEnabled(false);  // end of input
        return;
    }
    m_pending.append(buffer, int(n));
    while (!m_pending.isEmpty()) {
        // Arrow keys come as ESC [ A..D.
        if (m_pending.startsWith("\033[")) {
            if (m_pending.size() < 3)
                return;
            static const QByteArray kArrows = "DCAB";
            const int arrow = kArrows.indexOf(m_pending.at(2));
            if (arrow >= 0)
                emit keyPressed(KEY_LEFT + arrow);
            m_pending.remove(0, 3);
            continue;
        }
        emit keyPressed(static_cast<unsigned char>(m_pending.at(0)));
        m_pending.remove(0, 1);
    }
}
