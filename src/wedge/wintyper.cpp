#include "keytyper.h"

#include <QGuiApplication>

#include <vector>

#include <windows.h>

namespace {

bool ours(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process == GetCurrentProcessId();
}

class WindowsTyper : public KeyTyper
{
public:
    WindowsTyper()
    {
        // The window that takes the foreground from us is the one to give it back to.
        QObject::connect(qGuiApp, &QGuiApplication::applicationStateChanged, &m_guard,
                         [this](Qt::ApplicationState state) {
                             const HWND now = GetForegroundWindow();
                             if (state != Qt::ApplicationActive && now && !ours(now))
                                 m_last = now;
                         });
    }
    QString unavailableReason() const override { return QString(); }
    QString prepareTarget() override
    {
        const HWND now = GetForegroundWindow();
        if (now && !ours(now))
            return QString();
        if (!m_last || !IsWindow(m_last) || !SetForegroundWindow(m_last)
            || GetForegroundWindow() != m_last)
            return QCoreApplication::translate(
                    "KeyboardWedge", "没有其他程序的窗口可以输入：请先点一下要输入重量的程序");
        return QString();
    }
    bool type(const QString &text) override
    {
        std::vector<INPUT> keys;
        for (const QChar c : text) {
            INPUT key = {};
            key.type = INPUT_KEYBOARD;
            if (c == u'\t' || c == u'\n') {
                key.ki.wVk = c == u'\t' ? VK_TAB : VK_RETURN;
            } else {
                key.ki.wScan = c.unicode(); // the character itself, whatever the layout
                key.ki.dwFlags = KEYEVENTF_UNICODE;
            }
            keys.push_back(key);
            key.ki.dwFlags |= KEYEVENTF_KEYUP;
            keys.push_back(key);
        }
        return SendInput(UINT(keys.size()), keys.data(), sizeof(INPUT)) == keys.size();
    }
    // F4 inside Pelora only: a global hot key would need a window of its own for its messages.
    void setHotkey(bool, std::function<void()>) override { }

private:
    QObject m_guard;
    HWND m_last = nullptr;
};

} // namespace

std::unique_ptr<KeyTyper> makeWindowsTyper()
{
    return std::make_unique<WindowsTyper>();
}
