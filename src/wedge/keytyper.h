#pragma once

#include <QString>

#include <functional>
#include <memory>

class QObject;

// Types text into whichever window of the desktop has the keyboard focus, as if the operator
// typed it. One implementation per windowing system; the wedge knows only this.
class KeyTyper
{
public:
    virtual ~KeyTyper() = default;

    // "" when text can be typed here, else why not (for the operator).
    virtual QString unavailableReason() const = 0;
    // Makes sure the keys will reach another program: when one of this process's own windows
    // has the focus, gives it back to the window of another program that had it last.
    // "" when the focus is now where the text should go, else why nothing can be typed.
    virtual QString prepareTarget() = 0;
    // Types the text into the focused window; false when the system refused the keys.
    virtual bool type(const QString &text) = 0;
    // While on, the send key (F4) pressed in any program calls onPressed.
    virtual void setHotkey(bool on, std::function<void()> onPressed) = 0;

    // The typer of this platform; `context` owns whatever the typer needs the event loop for.
    static std::unique_ptr<KeyTyper> create(QObject *context);
};

// A typer that types nothing and says why, for platforms where no program may type into
// another's windows.
class NoKeyTyper : public KeyTyper
{
public:
    explicit NoKeyTyper(const QString &reason) : m_reason(reason) { }
    QString unavailableReason() const override { return m_reason; }
    QString prepareTarget() override { return m_reason; }
    bool type(const QString &) override { return false; }
    void setHotkey(bool, std::function<void()>) override { }

private:
    QString m_reason;
};
