#include "inicodec.h"

#include <QDataStream>
#include <QFileDevice>
#include <QIODevice>
#include <QMap>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QStringEncoder>
#include <QStringList>

namespace {

constexpr char upperHex[] = "0123456789ABCDEF";

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int octValue(char c)
{
    return c >= '0' && c <= '7' ? c - '0' : -1;
}

bool isHexDigit(char16_t c)
{
    return c < 0x80 && hexValue(char(c)) >= 0;
}

void escapeKey(QStringView key, QByteArray &out)
{
    for (const QChar qc : key) {
        const char16_t c = qc.unicode();
        if (c == u'/') {
            out += '\\';
        } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
                   || c == u'_' || c == u'-' || c == u'.') {
            out += char(c);
        } else if (c <= 0xFF) {
            out += '%';
            out += upperHex[c >> 4];
            out += upperHex[c & 0xF];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += upperHex[(c >> shift) & 0xF];
        }
    }
}

QString unescapeKey(const QByteArray &bytes)
{
    const QString text = QString::fromUtf8(bytes);
    QString key;
    key.reserve(text.size());
    for (qsizetype i = 0; i < text.size();) {
        const QChar c = text.at(i);
        if (c == u'\\') {
            key += u'/';
            ++i;
            continue;
        }
        if (c != u'%' || i == text.size() - 1) {
            key += c;
            ++i;
            continue;
        }
        const bool wide = text.at(i + 1) == u'U';
        const qsizetype first = i + (wide ? 2 : 1), digits = wide ? 4 : 2;
        bool ok = false;
        const ushort code = first + digits <= text.size()
                ? QStringView(text).sliced(first, digits).toUShort(&ok, 16)
                : 0;
        if (!ok) {
            key += u'%';
            ++i;
            continue;
        }
        key += QChar(code);
        i = first + digits;
    }
    return key;
}

QString valueText(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::UnknownType:
        return QStringLiteral("@Invalid()");
    case QMetaType::QByteArray:
        return QStringLiteral("@ByteArray(") + QString::fromLatin1(value.toByteArray()) + u')';
    case QMetaType::QKeySequence:
    case QMetaType::QString:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Bool:
    case QMetaType::Float:
    case QMetaType::Double: {
        QString text = value.toString();
        if (text.contains(QChar::Null))
            return QStringLiteral("@String(") + text + u')';
        if (text.startsWith(u'@'))
            text.prepend(u'@');
        return text;
    }
    case QMetaType::QRect: {
        const QRect r = value.toRect();
        return QString::asprintf("@Rect(%d %d %d %d)", r.x(), r.y(), r.width(), r.height());
    }
    case QMetaType::QSize: {
        const QSize size = value.toSize();
        return QString::asprintf("@Size(%d %d)", size.width(), size.height());
    }
    case QMetaType::QPoint: {
        const QPoint p = value.toPoint();
        return QString::asprintf("@Point(%d %d)", p.x(), p.y());
    }
    default: {
        const bool dateTime = value.metaType().id() == QMetaType::QDateTime;
        QByteArray bytes;
        QDataStream stream(&bytes, QIODevice::WriteOnly);
        stream.setVersion(dateTime ? QDataStream::Qt_5_6 : QDataStream::Qt_4_0);
        stream << value;
        return QLatin1String(dateTime ? "@DateTime(" : "@Variant(") + QString::fromLatin1(bytes)
                + u')';
    }
    }
}

QStringList splitArgs(const QString &text, qsizetype open)
{
    QStringList args;
    QString item;
    for (qsizetype i = open + 1; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u')') {
            args.append(item);
        } else if (c == u' ') {
            args.append(item);
            item.clear();
        } else {
            item.append(c);
        }
    }
    return args;
}

QVariant valueFromText(const QString &text)
{
    if (text.startsWith(u'@')) {
        if (text.endsWith(u')')) {
            if (text.startsWith(QLatin1String("@ByteArray(")))
                return QStringView(text).sliced(11).chopped(1).toLatin1();
            if (text.startsWith(QLatin1String("@String(")))
                return QStringView(text).sliced(8).chopped(1).toString();
            if (text.startsWith(QLatin1String("@Variant("))
                || text.startsWith(QLatin1String("@DateTime("))) {
                const bool dateTime = text.at(1) == u'D';
                QByteArray bytes = QStringView(text).sliced(dateTime ? 10 : 9).toLatin1();
                QDataStream stream(&bytes, QIODevice::ReadOnly);
                stream.setVersion(dateTime ? QDataStream::Qt_5_6 : QDataStream::Qt_4_0);
                QVariant value;
                stream >> value;
                return value;
            }
            if (text.startsWith(QLatin1String("@Rect("))) {
                const QStringList a = splitArgs(text, 5);
                if (a.size() == 4)
                    return QRect(a[0].toInt(), a[1].toInt(), a[2].toInt(), a[3].toInt());
            } else if (text.startsWith(QLatin1String("@Size("))) {
                const QStringList a = splitArgs(text, 5);
                if (a.size() == 2)
                    return QSize(a[0].toInt(), a[1].toInt());
            } else if (text.startsWith(QLatin1String("@Point("))) {
                const QStringList a = splitArgs(text, 6);
                if (a.size() == 2)
                    return QPoint(a[0].toInt(), a[1].toInt());
            } else if (text == QLatin1String("@Invalid()")) {
                return QVariant();
            }
        }
        if (text.startsWith(QLatin1String("@@")))
            return text.sliced(1);
    }
    return text;
}

void escapeText(const QString &text, QByteArray &out)
{
    // Serialised data keeps its bytes as \x escapes; everything else is UTF-8.
    const bool utf8 = !(text.startsWith(QLatin1String("@ByteArray("))
                        || text.startsWith(QLatin1String("@Variant("))
                        || text.startsWith(QLatin1String("@DateTime(")));
    const qsizetype start = out.size();
    QStringEncoder toUtf8(QStringEncoder::Utf8); // keeps a surrogate pair together
    bool needsQuotes = false;
    bool escapeNextHexDigit = false; // "\x1" followed by "2" would read as "\x12"
    for (const QChar qc : text) {
        const char16_t c = qc.unicode();
        if (c == u';' || c == u',' || c == u'=')
            needsQuotes = true;
        if (escapeNextHexDigit && isHexDigit(c)) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextHexDigit = false;
        switch (c) {
        case u'\0':
            out += "\\0";
            escapeNextHexDigit = true;
            break;
        case u'\a':
            out += "\\a";
            break;
        case u'\b':
            out += "\\b";
            break;
        case u'\f':
            out += "\\f";
            break;
        case u'\n':
            out += "\\n";
            break;
        case u'\r':
            out += "\\r";
            break;
        case u'\t':
            out += "\\t";
            break;
        case u'\v':
            out += "\\v";
            break;
        case u'"':
        case u'\\':
            out += '\\';
            out += char(c);
            break;
        default:
            if (c <= 0x1F || (c >= 0x7F && !utf8)) {
                out += "\\x" + QByteArray::number(c, 16);
                escapeNextHexDigit = true;
            } else if (utf8) {
                out += toUtf8(QStringView(&qc, 1));
            } else {
                out += char(c);
            }
        }
    }
    if (needsQuotes
        || (start < out.size() && (out.at(start) == ' ' || out.at(out.size() - 1) == ' '))) {
        out.insert(start, '"');
        out += '"';
    }
}

void escapeValue(const QVariant &value, QByteArray &out)
{
    // A list of one reads back as that one text; Qt writes it so too.
    const int type = value.metaType().id();
    if (type != QMetaType::QStringList
        && (type != QMetaType::QVariantList || value.toList().size() == 1)) {
        escapeText(valueText(value), out);
        return;
    }
    const QVariantList items = value.toList();
    if (items.isEmpty())
        out += "@Invalid()";
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (i != 0)
            out += ", ";
        escapeText(valueText(items.at(i)), out);
    }
}

QByteArray text(const QSettings::SettingsMap &map)
{
    // Sections by name, keys by name within them, as Qt writes them.
    QMap<QString, QByteArray> sections;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const qsizetype slash = it.key().indexOf(u'/');
        QByteArray &body = sections[slash < 0 ? QString() : it.key().left(slash)];
        escapeKey(QStringView(it.key()).sliced(slash + 1), body);
        body += '=';
        escapeValue(it.value(), body);
        body += '\n';
    }
    QByteArray result;
    for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
        QByteArray name;
        escapeKey(it.key(), name);
        if (!result.isEmpty())
            result += '\n';
        if (name.isEmpty())
            result += "[General]";
        else if (name.compare("general", Qt::CaseInsensitive) == 0)
            result += "[%General]"; // a group of that name, not the top level
        else
            result += '[' + name + ']';
        result += '\n' + it.value();
    }
    return result;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The next logical line from `pos`: a quoted value or an escaped line break continues it,
// a ';' outside quotes ends it, and comment lines are skipped.
bool nextLine(const QByteArray &data, qsizetype &pos, qsizetype &start, qsizetype &length,
              qsizetype &equals)
{
    const qsizetype n = data.size();
    bool inQuotes = false;
    equals = -1;
    start = pos;
    while (start < n && isSpace(data.at(start)))
        ++start;
    qsizetype i = start;
    while (i < n) {
        const char c = data.at(i++);
        if (c == '=') {
            if (!inQuotes && equals == -1)
                equals = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (c == '\\') {
            if (i < n) {
                const char escaped = data.at(i++);
                if (i < n) {
                    const char next = data.at(i);
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (c == ';') {
            if (i == start + 1) {
                while (i < n && data.at(i) != '\n' && data.at(i) != '\r')
                    ++i;
                while (i < n && isSpace(data.at(i)))
                    ++i;
                start = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    pos = i;
    length = i - start;
    return length > 0;
}

void chopTrailingSpaces(QString &text, qsizetype limit)
{
    qsizetype n = text.size();
    while (n > limit && (text.at(n - 1) == u' ' || text.at(n - 1) == u'\t'))
        --n;
    text.truncate(n);
}

// A value's text, or its items when it holds an unquoted comma (then answers true).
bool unescapeValue(const QByteArray &bytes, QString &text, QStringList &items)
{
    static constexpr char codes[][2]
            = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'},
               {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    const auto skipSpaces = [&] {
        while (i < n && (bytes.at(i) == ' ' || bytes.at(i) == '\t'))
            ++i;
    };
    bool isList = false, inQuotes = false, quoted = false;
    bool cut = false; // the text ended inside an escape: nothing is chopped then
    skipSpaces();
    qsizetype chopLimit = text.size(); // escaped characters are never chopped
    while (i < n && !cut) {
        const char c = bytes.at(i);
        if (c == '\\') {
            if (++i >= n) {
                cut = true;
                break;
            }
            const char e = bytes.at(i++);
            bool known = false;
            for (const auto &code : codes) {
                if (e == code[0]) {
                    text += QLatin1Char(code[1]);
                    known = true;
                    break;
                }
            }
            if (!known && ((e == 'x' && i < n && hexValue(bytes.at(i)) >= 0) || octValue(e) >= 0)) {
                const int base = e == 'x' ? 16 : 8;
                char16_t code = e == 'x' ? 0 : char16_t(octValue(e));
                for (int digit; i < n
                     && (digit = base == 16 ? hexValue(bytes.at(i)) : octValue(bytes.at(i))) >= 0;
                     ++i)
                    code = char16_t(code * base + digit);
                text += QChar(code);
                cut = i >= n;
            } else if (!known && e == 'x' && i >= n) {
                cut = true;
            } else if (!known && (e == '\n' || e == '\r') && i < n) {
                const char next = bytes.at(i);
                if ((next == '\n' || next == '\r') && next != e)
                    ++i;
            }
            chopLimit = text.size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) {
                skipSpaces();
                chopLimit = text.size();
            }
        } else if (c == ',' && !inQuotes) {
            if (!quoted)
                chopTrailingSpaces(text, chopLimit);
            if (!isList) {
                isList = true;
                items.clear();
            }
            items.append(text);
            text.clear();
            quoted = false;
            ++i;
            skipSpaces();
            chopLimit = 0;
        } else {
            qsizetype j = i + 1;
            while (j < n && bytes.at(j) != '\\' && bytes.at(j) != '"' && bytes.at(j) != ',')
                ++j;
            text += QString::fromUtf8(bytes.constData() + i, j - i);
            i = j;
        }
    }
    if (!cut && !quoted)
        chopTrailingSpaces(text, chopLimit);
    if (isList)
        items.append(text);
    return isList;
}

QVariant listValue(const QStringList &items)
{
    QStringList texts = items;
    for (QString &text : texts) {
        if (!text.startsWith(u'@'))
            continue;
        if (text.size() < 2 || text.at(1) != u'@') {
            QVariantList values;
            for (const QString &item : items)
                values.append(valueFromText(item));
            return values;
        }
        text.remove(0, 1);
    }
    return texts;
}

} // namespace

namespace IniCodec {

bool read(QIODevice &device, QSettings::SettingsMap &map)
{
    QByteArray data = device.readAll();
    if (data.startsWith("\xEF\xBB\xBF"))
        data.remove(0, 3);
    QString prefix;
    qsizetype pos = 0, start = 0, length = 0, equals = -1;
    while (nextLine(data, pos, start, length, equals)) {
        if (data.at(start) == '[') {
            qsizetype close = data.indexOf(']', start);
            if (close < 0 || close >= start + length)
                close = start + length;
            const QByteArray name = data.mid(start + 1, close - start - 1).trimmed();
            if (name.compare("general", Qt::CaseInsensitive) == 0) {
                prefix.clear();
            } else {
                prefix = name.compare("%general", Qt::CaseInsensitive) == 0
                        ? QString::fromLatin1(name.mid(1))
                        : unescapeKey(name);
                prefix += u'/';
            }
        } else if (equals >= 0) {
            QString text;
            QStringList items;
            const QByteArray value = data.mid(equals + 1, start + length - equals - 1);
            map.insert(prefix + unescapeKey(data.mid(start, equals - start).trimmed()),
                       unescapeValue(value, text, items) ? listValue(items) : valueFromText(text));
        }
    }
    // Like Qt's reader, keep whatever could be read; a stray line is passed over.
    return true;
}

bool write(QIODevice &device, const QSettings::SettingsMap &map)
{
    const QByteArray bytes = text(map);
    // QSettings commits the file it hands over when this answers true: a buffer that could
    // not be flushed must answer false, or the cut file would replace the good one.
    auto *file = qobject_cast<QFileDevice *>(&device);
    return device.write(bytes) == bytes.size() && (!file || file->flush());
}

QSettings::Format format()
{
    static const QSettings::Format registered
            = QSettings::registerFormat(QStringLiteral("conf"), read, write);
    return registered;
}

} // namespace IniCodec
