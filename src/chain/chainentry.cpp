#include "chainentry.h"

#include <QCryptographicHash>
#include <QLocale>

#include <cmath>

namespace {

bool plain(const QString &text)
{
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\\' || u == u'\t' || u == u'\n' || u == u'\r')
            return false;
    }
    return true;
}

QString escaped(const QString &text)
{
    if (plain(text))
        return text;
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        switch (c.unicode()) {
        case u'\\':
            out += QStringLiteral("\\\\");
            break;
        case u'\t':
            out += QStringLiteral("\\t");
            break;
        case u'\n':
            out += QStringLiteral("\\n");
            break;
        case u'\r':
            out += QStringLiteral("\\r");
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool unescaped(QStringView text, QString *out)
{
    out->clear();
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\') {
            *out += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i].unicode()) {
        case u'\\':
            *out += u'\\';
            break;
        case u't':
            *out += u'\t';
            break;
        case u'n':
            *out += u'\n';
            break;
        case u'r':
            *out += u'\r';
            break;
        default:
            return false;
        }
    }
    return true;
}
} // namespace

QByteArray ChainEntry::computeHash() const
{
    // Built in one buffer per thread: a million entries are checked in seconds.
    thread_local QByteArray bytes;
    bytes.clear();
    bytes += prevHash;
    bytes += "pelora-chain 1\nseq\t";
    bytes += QByteArray::number(seq);
    bytes += "\nstation\t";
    bytes += escaped(station).toUtf8();
    bytes += "\nkind\t";
    bytes += escaped(kind).toUtf8();
    bytes += "\ntime\t";
    bytes += QByteArray::number(timeMs);
    bytes += '\n';
    bytes += body.toUtf8();
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QString ChainEntry::makeBody(const Fields &fields)
{
    QString body;
    body.reserve(160);
    for (const auto &[name, value] : fields)
        body += name + u'\t' + escaped(value) + u'\n';
    return body;
}

bool ChainEntry::parseBody(const QString &body, Fields *fields)
{
    fields->clear();
    if (body.isEmpty())
        return true;
    if (!body.endsWith(u'\n'))
        return false;
    const QStringView view(body);
    qsizetype start = 0;
    while (start < view.size()) {
        const qsizetype end = view.indexOf(u'\n', start);
        const QStringView line = view.mid(start, end - start);
        const qsizetype tab = line.indexOf(u'\t');
        QString value;
        if (tab <= 0 || !unescaped(line.mid(tab + 1), &value))
            return false;
        fields->append({line.left(tab).toString(), value});
        start = end + 1;
    }
    return true;
}

QString ChainEntry::value(const Fields &fields, const QString &name)
{
    for (const auto &field : fields) {
        if (field.first == name)
            return field.second;
    }
    return QString();
}

QString ChainEntry::number(double value)
{
    if (value == 0)
        return QStringLiteral("0"); // -0 too
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

QString ChainEntry::recordBody(qint64 number, double weightKg, double tareKg, const QString &unit,
                               const QString &mode, const QString &port, bool manual, bool migrated)
{
    // The same lines makeBody() would write, without the list: it runs for every record a
    // check reads.
    QString body;
    body.reserve(128);
    body += QLatin1String("number\t");
    body += QString::number(number);
    body += QLatin1String("\nweight\t");
    body += ChainEntry::number(weightKg);
    body += QLatin1String("\ntare\t");
    if (std::isfinite(tareKg))
        body += ChainEntry::number(tareKg);
    body += QLatin1String("\nunit\t");
    body += escaped(unit);
    body += QLatin1String("\nmode\t");
    body += escaped(mode);
    body += QLatin1String("\nport\t");
    body += escaped(port);
    body += manual ? QLatin1String("\nmanual\t1") : QLatin1String("\nmanual\t0");
    body += migrated ? QLatin1String("\nmigrated\t1\n") : QLatin1String("\nmigrated\t0\n");
    return body;
}

QString ChainEntry::fieldName(const QString &name)
{
    static const QList<QPair<QString, const char *>> names{
            {QStringLiteral("number"), QT_TR_NOOP("记录编号")},
            {QStringLiteral("weight"), QT_TR_NOOP("重量")},
            {QStringLiteral("tare"), QT_TR_NOOP("皮重")},
            {QStringLiteral("unit"), QT_TR_NOOP("显示单位")},
            {QStringLiteral("mode"), QT_TR_NOOP("净重/毛重")},
            {QStringLiteral("port"), QT_TR_NOOP("端口")},
            {QStringLiteral("manual"), QT_TR_NOOP("方式")},
            {QStringLiteral("migrated"), QT_TR_NOOP("迁移标记")},
            {QStringLiteral("time"), QT_TR_NOOP("时间")},
            {QStringLiteral("station"), QT_TR_NOOP("站点")},
            {QStringLiteral("kind"), QT_TR_NOOP("类型")},
            {QStringLiteral("reason"), QT_TR_NOOP("原因")},
            {QStringLiteral("target"), QT_TR_NOOP("作废对象")},
    };
    for (const auto &[key, text] : names) {
        if (key == name)
            return tr(text);
    }
    return name;
}

namespace {
const QList<QPair<QString, const char *>> &kindNames()
{
    static const QList<QPair<QString, const char *>> names{
            {ChainEntry::recordKind(), QT_TRANSLATE_NOOP("ChainEntry", "记录")},
            {ChainEntry::voidKind(), QT_TRANSLATE_NOOP("ChainEntry", "作废")},
            {ChainEntry::voidAllKind(), QT_TRANSLATE_NOOP("ChainEntry", "全部作废")},
            {ChainEntry::eventKind(), QT_TRANSLATE_NOOP("ChainEntry", "事件")},
            {ChainEntry::startKind(), QT_TRANSLATE_NOOP("ChainEntry", "起始")},
            {ChainEntry::outsideKind(), QT_TRANSLATE_NOOP("ChainEntry", "范围外")},
    };
    return names;
}
} // namespace

QString ChainEntry::kindName(const QString &kind)
{
    for (const auto &[key, text] : kindNames()) {
        if (key == kind)
            return tr(text);
    }
    return kind;
}

QString ChainEntry::kindFromName(const QString &name)
{
    for (const auto &[key, text] : kindNames()) {
        if (tr(text) == name || key == name)
            return key;
    }
    return QString();
}
