#include "framescanner.h"

#include "serialportmanager.h"

#include <QDateTime>
#include <QJSEngine>
#include <QJSValue>

#include <algorithm>

namespace {

bool isLetter(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

bool isDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

// The script engine's \s: ECMAScript white space and line terminators.
bool isSpace(char16_t c)
{
    switch (c) {
    case u'\t':
    case u'\n':
    case u'\v':
    case u'\f':
    case u'\r':
    case u' ':
    case u'\u00a0':
    case u'\u1680':
    case u'\u2028':
    case u'\u2029':
    case u'\u202f':
    case u'\u205f':
    case u'\u3000':
    case u'\ufeff':
        return true;
    default:
        return c >= u'\u2000' && c <= u'\u200a';
    }
}

// The number as the script engine's Number() reads it: the nearest double. Up to 15
// significant digits and 22 decimals, the digits and the power of ten are both exact doubles
// and one division rounds correctly; longer numbers go the long way.
double toNumber(QStringView text)
{
    static constexpr double powers[]
            = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    qsizetype i = 0;
    const bool negative = text[0] == u'-';
    if (negative || text[0] == u'+')
        ++i;
    quint64 digits = 0;
    int significant = 0;
    int decimals = 0;
    bool fraction = false;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == u'.') {
            fraction = true;
            continue;
        }
        if (fraction)
            ++decimals;
        if (digits == 0 && c == u'0')
            continue;
        if (++significant > 15)
            return text.toDouble();
        digits = digits * 10 + (c - u'0');
    }
    if (decimals > 22)
        return text.toDouble();
    const double value = double(digits) / powers[decimals];
    return negative ? -value : value;
}

struct Match
{
    qsizetype numberFrom = 0, numberTo = 0, end = 0;
    bool stable = false, overload = false;
};

// /([A-Za-z]{2})\s*([-+]?\d+(?:\.\d+)?),\s*([01]),\s*([01])/ tried at one position. No part
// of it can give back what it took and let the rest match, so one pass decides.
bool matchAt(QStringView s, qsizetype p, Match &m)
{
    const qsizetype n = s.size();
    if (p + 2 > n || !isLetter(s[p].unicode()) || !isLetter(s[p + 1].unicode()))
        return false;
    qsizetype i = p + 2;
    while (i < n && isSpace(s[i].unicode()))
        ++i;
    m.numberFrom = i;
    if (i < n && (s[i] == u'-' || s[i] == u'+'))
        ++i;
    const qsizetype digits = i;
    while (i < n && isDigit(s[i].unicode()))
        ++i;
    if (i == digits)
        return false;
    if (i + 1 < n && s[i] == u'.' && isDigit(s[i + 1].unicode())) {
        i += 2;
        while (i < n && isDigit(s[i].unicode()))
            ++i;
    }
    m.numberTo = i;
    const auto flag = [&](bool &value) {
        if (i >= n || s[i] != u',')
            return false;
        ++i;
        while (i < n && isSpace(s[i].unicode()))
            ++i;
        if (i >= n || (s[i] != u'0' && s[i] != u'1'))
            return false;
        value = s[i] == u'1';
        ++i;
        return true;
    };
    if (!flag(m.stable) || !flag(m.overload))
        return false;
    m.end = i;
    return true;
}

} // namespace

FrameScanner::FrameScanner(QObject *parent) : QObject(parent) { }

bool FrameScanner::canScan(QObject *port) const
{
    return qobject_cast<SerialPortManager *>(port) != nullptr;
}

// A match starts with its only two letters, so no match starts inside another: the frame a
// left-to-right scan ends with is the match that starts furthest right.
qsizetype FrameScanner::scanTail(QStringView text)
{
    Match m;
    for (qsizetype p = text.size() - 2; p >= 0; --p) {
        if (!matchAt(text, p, m))
            continue;
        m_status = text.mid(p, 2).toString().toUpper();
        m_weight = toNumber(text.mid(m.numberFrom, m.numberTo - m.numberFrom));
        m_stable = m.stable;
        m_overload = m.overload;
        m_raw = text.mid(p, m.end - p).toString();
        return p;
    }
    return -1;
}

bool FrameScanner::scan(const QString &text, int tailLen)
{
    const qsizetype length = tailLen > 0 ? tailLen : 2048;
    m_end = -1;
    return scanTail(QStringView(text).right(length)) >= 0;
}

bool FrameScanner::scanPort(QObject *port)
{
    const auto *manager = qobject_cast<SerialPortManager *>(port);
    if (!manager)
        return false;
    QString text = manager->receivedTail(65);
    QStringView tail = QStringView(text).right(64);
    qsizetype at = scanTail(tail);
    if (at < 0 && text.size() > 64) {
        text = manager->receivedTail(2049);
        tail = QStringView(text).right(2048);
        at = scanTail(tail);
    }
    if (at < 0)
        return false;
    m_end = manager->receivedTextEnd() - double(tail.size()) + double(at + m_raw.size());
    return true;
}

namespace {

// The display's properties, in the order of FrameScanner::m_props.
enum DisplayProperty {
    WeightValue,
    Overload,
    Stable,
    HasWeightFrame,
    StableText,
    Stale,
    LastFrame,
    LastFrameAt,
    LastFrameEnd,
    StaleTimeoutMs,
    OverloadText,
    StableLabel,
    UnstableText,
    Net,
    DisplayPropertyCount
};

constexpr const char *displayPropertyNames[DisplayPropertyCount]
        = {"weightValue",   "overload",
           "stable",        "hasWeightFrame",
           "stableText",    "_stale",
           "lastFrame",     "_lastFrameAt",
           "_lastFrameEnd", "staleTimeoutMs",
           "_overloadText", "_stableLabel",
           "_unstableText", "net"};

} // namespace

QObject *FrameScanner::port() const
{
    return m_port.data();
}

void FrameScanner::setPort(QObject *port)
{
    auto *manager = qobject_cast<SerialPortManager *>(port);
    if (manager == m_port)
        return;
    m_port = manager;
    follow();
    Q_EMIT portChanged();
}

void FrameScanner::setDisplay(QObject *display)
{
    if (display == m_display)
        return;
    m_display = display;
    m_props.clear();
    if (display) {
        const QMetaObject *meta = display->metaObject();
        for (const char *name : displayPropertyNames)
            m_props.append(meta->property(meta->indexOfProperty(name)));
    }
    follow();
    Q_EMIT displayChanged();
}

void FrameScanner::setTimer(QObject *timer)
{
    if (timer == m_timer)
        return;
    m_timer = timer;
    if (timer) {
        const QMetaObject *meta = timer->metaObject();
        m_timerRunning = meta->property(meta->indexOfProperty("running"));
        m_timerInterval = meta->property(meta->indexOfProperty("interval"));
    }
    Q_EMIT timerChanged();
}

void FrameScanner::follow()
{
    disconnect(m_followed);
    const bool complete = std::all_of(m_props.cbegin(), m_props.cend(),
                                      [](const QMetaProperty &p) { return p.isValid(); });
    if (m_port && m_display && complete && !m_props.isEmpty())
        m_followed = connect(m_port, &SerialPortManager::receivedDataChanged, this,
                             &FrameScanner::takeChunk);
}

// What the display's updateWeightFromBuffer() and the functions it calls do with a native frame.
void FrameScanner::takeChunk()
{
    if (!m_display)
        return;
    if (!m_port->isConnected()) {
        QMetaObject::invokeMethod(m_display, "updateWeightFromBuffer");
        return;
    }
    if (!scanPort(m_port)) {
        QMetaObject::invokeMethod(m_display, "_noFrame");
        return;
    }
    // Only a frame that ends further on in the stream than the one shown is a new reading.
    if (m_end <= read(LastFrameEnd).toDouble()) {
        if (!read(Stale).toBool())
            showReading();
        return;
    }
    write(LastFrameEnd, m_end);
    showReading();
    write(Stale, false);
    QJSEngine *engine = qjsEngine(m_display);
    if (!engine)
        return;
    // The frame object the script parser makes, fields in its order. A literal made in
    // script is far cheaper than setting the fields one by one from here.
    if (m_frameEngine != engine) {
        m_frameEngine = engine;
        m_makeFrame = engine->evaluate(QStringLiteral(
                "(function (status, weight, stable, overload, raw) { return { kind: \"weight\", "
                "status: status, weight: weight, stable: stable, overload: overload, raw: raw } "
                "})"));
    }
    const QJSValue frame
            = m_makeFrame.call({QJSValue(m_status), QJSValue(m_weight), QJSValue(m_stable),
                                QJSValue(m_overload), QJSValue(m_raw)});
    write(LastFrame, QVariant::fromValue(frame));
    write(LastFrameAt, double(QDateTime::currentMSecsSinceEpoch()));
    // The timer is left running while it fires no later than this frame's timeout.
    const int timeout = read(StaleTimeoutMs).toInt();
    if (m_timer
        && (!m_timerRunning.read(m_timer).toBool()
            || m_timerInterval.read(m_timer).toInt() > timeout))
        QMetaObject::invokeMethod(m_timer, "arm", Q_ARG(QVariant, timeout));
}

void FrameScanner::showReading()
{
    write(WeightValue, m_weight);
    write(Overload, m_overload);
    const bool stable = m_stable && !m_overload;
    write(Stable, stable);
    write(HasWeightFrame, true);
    write(Net, false); // a native frame tells nothing of a tare
    write(StableText, read(m_overload ? OverloadText : stable ? StableLabel : UnstableText));
}
