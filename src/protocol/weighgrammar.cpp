#include "weighgrammar.h"

#include <QVariantMap>

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

// [-+]?\d+(?:\.\d+)? from i; the end, or -1.
qsizetype plainNumberEnd(QStringView s, qsizetype i)
{
    const qsizetype n = s.size();
    if (i < n && (s[i] == u'-' || s[i] == u'+'))
        ++i;
    const qsizetype digits = i;
    while (i < n && isDigit(s[i].unicode()))
        ++i;
    if (i == digits)
        return -1;
    if (i + 1 < n && s[i] == u'.' && isDigit(s[i + 1].unicode())) {
        i += 2;
        while (i < n && isDigit(s[i].unicode()))
            ++i;
    }
    return i;
}

qsizetype skipSpaces(QStringView s, qsizetype i)
{
    while (i < s.size() && isSpace(s[i].unicode()))
        ++i;
    return i;
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
    m.numberFrom = skipSpaces(s, p + 2);
    qsizetype i = plainNumberEnd(s, m.numberFrom);
    if (i < 0)
        return false;
    m.numberTo = i;
    const auto flag = [&](bool &value) {
        if (i >= n || s[i] != u',')
            return false;
        i = skipSpaces(s, i + 1);
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

bool isBreak(char16_t c)
{
    return c == u'\r' || c == u'\n';
}

// The script's "." in a pattern: anything but a line terminator.
bool isLineTerminator(char16_t c)
{
    return c == u'\n' || c == u'\r' || c == u'\u2028' || c == u'\u2029';
}

bool hasLineTerminator(QStringView s)
{
    return std::any_of(s.begin(), s.end(), [](QChar c) { return isLineTerminator(c.unicode()); });
}

QStringView trimSpaces(QStringView s)
{
    qsizetype from = 0, to = s.size();
    while (from < to && isSpace(s[from].unicode()))
        ++from;
    while (to > from && isSpace(s[to - 1].unicode()))
        --to;
    return s.mid(from, to - from);
}

bool equalsUpper(QChar c, char16_t upper)
{
    return c.unicode() == upper || (upper >= u'A' && upper <= u'Z' && c.unicode() == upper + 32);
}

// The last piece between runs of line breaks that read() takes, the last piece first;
// skipLast and skipFirst leave out the piece after the last break and the one before the first.
template<typename Read>
bool latestPiece(QStringView tail, bool skipLast, bool skipFirst, Read read,
                 WeighGrammar::Frame &out)
{
    qsizetype to = tail.size();
    bool last = true;
    while (true) {
        qsizetype from = to;
        while (from > 0 && !isBreak(tail[from - 1].unicode()))
            --from;
        const bool first = from == 0;
        if (!(last && skipLast) && !(first && skipFirst) && read(tail.mid(from, to - from), out)) {
            // raw ends where the piece's trailing white space begins
            qsizetype end = to;
            while (end > from && isSpace(tail[end - 1].unicode()))
                --end;
            out.end = end;
            return true;
        }
        if (first)
            return false;
        last = false;
        to = from;
        while (to > 0 && isBreak(tail[to - 1].unicode()))
            --to;
    }
}

} // namespace

WeighGrammar::Format WeighGrammar::formatOf(int index)
{
    return index == 2 ? Merovant : index == 3 ? Ascii : Native;
}

// The line without its breaks and surrounding white space. A line without breaks (nearly
// every one) is only narrowed; the others are copied into storage without them.
static QStringView lineView(QStringView line, QString &storage)
{
    if (std::none_of(line.begin(), line.end(), [](QChar c) { return isBreak(c.unicode()); }))
        return trimSpaces(line);
    storage.reserve(line.size());
    for (QChar c : line) {
        if (!isBreak(c.unicode()))
            storage.append(c);
    }
    return trimSpaces(storage);
}

QString WeighGrammar::trimLine(QStringView line)
{
    QString storage;
    return lineView(line, storage).toString();
}

bool WeighGrammar::nativeLine(QStringView line, Frame &out)
{
    QString storage;
    const QStringView raw = lineView(line, storage);
    Match m;
    if (!matchAt(raw, 0, m) || skipSpaces(raw, m.end) != raw.size())
        return false;
    out = Frame{Native,
                raw.left(2).toString().toUpper(),
                toNumber(raw.mid(m.numberFrom, m.numberTo - m.numberFrom)),
                m.stable,
                m.overload,
                -1,
                raw.toString(),
                -1};
    return true;
}

// ^([sw])([ng])\s*([-+]?(?:\d+(?:\.\d*)?|\.\d+))\s*(kg|g)\s*$
bool WeighGrammar::merovantLine(QStringView line, Frame &out)
{
    QString storage;
    const QStringView s = lineView(line, storage);
    const qsizetype n = s.size();
    if (n < 4 || (s[0] != u's' && s[0] != u'w') || (s[1] != u'n' && s[1] != u'g'))
        return false;
    qsizetype i = skipSpaces(s, 2);
    const qsizetype numberFrom = i;
    if (i < n && (s[i] == u'-' || s[i] == u'+'))
        ++i;
    const qsizetype intFrom = i;
    while (i < n && isDigit(s[i].unicode()))
        ++i;
    if (i > intFrom) {
        if (i < n && s[i] == u'.') {
            ++i;
            while (i < n && isDigit(s[i].unicode()))
                ++i;
        }
    } else {
        if (i >= n || s[i] != u'.')
            return false;
        const qsizetype fraction = ++i;
        while (i < n && isDigit(s[i].unicode()))
            ++i;
        if (i == fraction)
            return false;
    }
    const qsizetype numberTo = i;
    i = skipSpaces(s, i);
    bool grams;
    if (i + 1 < n && s[i] == u'k' && s[i + 1] == u'g') {
        grams = false;
        i += 2;
    } else if (i < n && s[i] == u'g') {
        grams = true;
        ++i;
    } else {
        return false;
    }
    if (skipSpaces(s, i) != n)
        return false;
    double weight = toNumber(s.mid(numberFrom, numberTo - numberFrom));
    if (grams)
        weight /= 1000;
    out = Frame{Merovant, s.left(2).toString().toUpper(), weight,       s[0] == u's',
                false,    s[1] == u'n' ? 1 : 0,           s.toString(), -1};
    return true;
}

bool WeighGrammar::numberLine(QStringView line, Frame &out)
{
    QString storage;
    const QStringView raw = lineView(line, storage);
    if (raw.isEmpty() || plainNumberEnd(raw, 0) != raw.size())
        return false;
    out = Frame{Ascii, QString(), toNumber(raw), true, false, -1, raw.toString(), -1};
    return true;
}

bool WeighGrammar::latest(Format format, QStringView text, qsizetype tailLen, Frame &out)
{
    if (text.isEmpty())
        return false;
    const qsizetype length = tailLen > 0 ? tailLen : DefaultTailLength;
    const QStringView tail = text.size() > length ? text.right(length) : text;
    const qsizetype offset = text.size() - tail.size();
    switch (format) {
    case Merovant:
        // The unterminated last piece counts too: until its unit has arrived it cannot match.
        if (!latestPiece(tail, false, false, merovantLine, out))
            return false;
        out.end += offset;
        return true;
    case Ascii: {
        // A bare number is whole only once its line break has arrived, and a tail that starts
        // inside a line starts with the end of a longer one ("0.000" of "20.000").
        const bool cutInLine = tail.size() < text.size()
                && !isBreak(text[text.size() - tail.size() - 1].unicode());
        if (!latestPiece(tail, true, cutInLine, numberLine, out))
            return false;
        out.end += offset;
        return true;
    }
    case Native:
        break;
    }
    // A match starts with its only two letters, so no match starts inside another: the frame
    // a left-to-right scan ends with is the match that starts furthest right.
    Match m;
    for (qsizetype p = tail.size() - 2; p >= 0; --p) {
        if (!matchAt(tail, p, m))
            continue;
        out = Frame{Native,
                    tail.mid(p, 2).toString().toUpper(),
                    toNumber(tail.mid(m.numberFrom, m.numberTo - m.numberFrom)),
                    m.stable,
                    m.overload,
                    -1,
                    tail.mid(p, m.end - p).toString(),
                    offset + m.end};
        return true;
    }
    return false;
}

WeighGrammar::Line WeighGrammar::classify(QStringView line)
{
    Line r;
    r.raw = trimLine(line);
    const QStringView s(r.raw);
    const qsizetype n = s.size();
    if (n == 0)
        return r;
    if (s == u"OK") {
        r.kind = Ok;
        return r;
    }
    // ^V\d+(?:\.\d+)*$, any case
    if (equalsUpper(s[0], u'V')) {
        qsizetype i = 1;
        bool ok = true;
        while (ok) {
            const qsizetype digits = i;
            while (i < n && isDigit(s[i].unicode()))
                ++i;
            ok = i > digits;
            if (!ok || i == n || s[i] != u'.')
                break;
            ++i;
        }
        if (ok && i == n) {
            r.kind = Version;
            r.value = r.raw;
            return r;
        }
    }
    if (merovantLine(s, r.frame)) {
        r.kind = Weight;
        return r;
    }
    // ^AT\+([A-Z]+)\s*=\s*(.+)$, any case
    if (n > 3 && equalsUpper(s[0], u'A') && equalsUpper(s[1], u'T') && s[2] == u'+') {
        qsizetype i = 3;
        while (i < n && isLetter(s[i].unicode()))
            ++i;
        const qsizetype keyEnd = i;
        i = skipSpaces(s, i);
        if (keyEnd > 3 && i < n && s[i] == u'=') {
            // (.+)$ takes what the spaces after "=" leave, when no line terminator is in it
            const QStringView rest = s.mid(skipSpaces(s, i + 1));
            if (!rest.isEmpty() && !hasLineTerminator(rest)) {
                r.kind = Echo;
                r.key = s.mid(3, keyEnd - 3).toString().toUpper();
                r.value = trimSpaces(rest).toString();
                return r;
            }
        }
    }
    // ^SN\\s*(.+)$, any case
    if (n > 2 && equalsUpper(s[0], u'S') && equalsUpper(s[1], u'N')) {
        const QStringView rest = s.mid(skipSpaces(s, 2));
        if (!rest.isEmpty() && !hasLineTerminator(rest)) {
            r.kind = SerialNumber;
            r.value = trimSpaces(rest).toString();
            return r;
        }
    }
    if (nativeLine(s, r.frame)) {
        r.kind = Weight;
        return r;
    }
    r.kind = Text;
    return r;
}

bool WeighGrammar::isWeightLine(QStringView line)
{
    Frame frame;
    return merovantLine(line, frame) || nativeLine(line, frame) || numberLine(line, frame);
}

bool WeighGrammar::isRefusal(QStringView line)
{
    return line.startsWith(u"ERR", Qt::CaseInsensitive);
}

QVariant WeighGrammar::frameValue(const Frame &frame)
{
    QVariantMap map{{QStringLiteral("kind"), QStringLiteral("weight")},
                    {QStringLiteral("weight"), frame.weight},
                    {QStringLiteral("stable"), frame.stable},
                    {QStringLiteral("overload"), frame.overload},
                    {QStringLiteral("raw"), frame.raw}};
    if (frame.format != Ascii)
        map.insert(QStringLiteral("status"), frame.status);
    if (frame.format == Merovant) {
        map.insert(QStringLiteral("net"), frame.net == 1);
        map.insert(QStringLiteral("unit"), QStringLiteral("kg"));
    }
    return map;
}

QVariant WeighGrammar::latestFrame(int format, const QString &text, int tailLen) const
{
    Frame frame;
    if (!latest(formatOf(format), text, tailLen, frame))
        return QVariant::fromValue(nullptr);
    return frameValue(frame);
}

QVariant WeighGrammar::parseLine(const QString &line) const
{
    const Line l = classify(line);
    const auto raw = [&l](QVariantMap map) {
        map.insert(QStringLiteral("raw"), l.raw);
        return map;
    };
    switch (l.kind) {
    case Empty:
        return QVariant::fromValue(nullptr);
    case Ok:
        return raw({{QStringLiteral("kind"), QStringLiteral("ok")}});
    case Version:
        return raw({{QStringLiteral("kind"), QStringLiteral("version")},
                    {QStringLiteral("version"), l.value}});
    case Echo:
        return raw({{QStringLiteral("kind"), QStringLiteral("echo")},
                    {QStringLiteral("key"), l.key},
                    {QStringLiteral("value"), l.value}});
    case SerialNumber:
        return raw(
                {{QStringLiteral("kind"), QStringLiteral("sn")}, {QStringLiteral("sn"), l.value}});
    case Weight:
        return frameValue(l.frame);
    case Text:
        break;
    }
    return raw({{QStringLiteral("kind"), QStringLiteral("text")}, {QStringLiteral("text"), l.raw}});
}
