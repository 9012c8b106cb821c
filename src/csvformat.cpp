#include "csvformat.h"

#include "chainentry.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>
#include <QTimeZone>

#include <cmath>
#include <cstdlib>

QStringList CsvFormat::columns()
{
    return tr("时间,时区(UTC偏移),重量(kg),显示单位,净重/毛重,端口,方式,站点ID,序号,记录编号,"
              "类型,皮重(kg),作废,UTC时间,内容,上一校验值,校验值")
            .split(u',');
}

QString CsvFormat::head()
{
    return QStringLiteral("\uFEFF") + columns().join(u',') + lineEnd();
}

void CsvFormat::appendEntry(QString *line, LocalTimes *times, const ChainEntry &entry,
                            const QString &unit, const QString &mode, const QString &port,
                            double weightKg, bool manual, const Extra *record)
{
    if (entry.kind == ChainEntry::outsideKind()) {
        *line += QStringLiteral(",,,,,,");
    } else if (record) {
        appendRow(line, times, entry.timeMs, weightKg, unit, mode, port, manual);
        line->chop(lineEnd().size());
    } else {
        const auto [offset, text] = times->at(entry.timeMs);
        *line += text + u',' + offset + QStringLiteral(",,,,,");
    }
    const QString cells[] = {
            textCell(entry.station),
            QString::number(entry.seq),
            record ? QString::number(record->number) : QString(),
            ChainEntry::kindName(entry.kind),
            record && std::isfinite(record->tareKg) ? numberCell(record->tareKg, 3) : QString(),
            record ? textCell(record->voided) : QString(),
            entry.kind == ChainEntry::outsideKind() ? QString()
                                                    : utc(entry.timeMs).toString(Qt::ISODateWithMs),
            textCell(entry.body),
            QString::fromLatin1(entry.prevHash.toHex()),
            QString::fromLatin1(entry.hash.toHex()),
    };
    for (const QString &cell : cells) {
        *line += u',';
        *line += cell;
    }
    *line += lineEnd();
}

QString CsvFormat::row(const QVariantMap &record)
{
    QString line;
    LocalTimes times;
    appendRow(&line, &times, record.value(QStringLiteral("timeMs")).toLongLong(),
              record.value(QStringLiteral("weightKg")).toDouble(),
              record.value(QStringLiteral("unit")).toString(),
              record.value(QStringLiteral("mode")).toString(),
              record.value(QStringLiteral("port")).toString(),
              record.value(QStringLiteral("manual")).toBool());
    return line;
}

void CsvFormat::appendRow(QString *line, LocalTimes *times, qint64 timeMs, double weightKg,
                          const QString &unit, const QString &mode, const QString &port,
                          bool manual)
{
    const auto [offset, text] = times->at(timeMs);
    *line += text;
    *line += u',';
    *line += offset;
    *line += u',';
    *line += numberCell(weightKg, 3);
    *line += u',';
    *line += textCell(unit);
    *line += u',';
    *line += textCell(mode.isEmpty() ? unknownMode() : mode);
    *line += u',';
    *line += textCell(port);
    *line += u',';
    *line += manual ? tr("手动") : tr("自动");
    *line += lineEnd();
}

// The zone's offset holds for a quarter of an hour at a time at least (zones change on
// whole quarters), so it is asked for once per quarter, and the wall time is counted out.
std::pair<QString, QString> CsvFormat::LocalTimes::at(qint64 timeMs)
{
    constexpr qint64 quarter = 15 * 60 * 1000;
    const qint64 block = timeMs >= 0 ? timeMs / quarter : (timeMs - quarter + 1) / quarter;
    if (block != m_block || m_offsetText.isEmpty()) {
        const QDateTime start = QDateTime::fromMSecsSinceEpoch(block * quarter);
        const QDateTime end = QDateTime::fromMSecsSinceEpoch(block * quarter + quarter - 1);
        m_block = block;
        m_offsetMs = qint64(start.offsetFromUtc()) * 1000;
        m_exact = start.offsetFromUtc() == end.offsetFromUtc();
        m_offsetText = offsetCell(start);
    }
    if (!m_exact) { // the quarter a zone changes in: each time asked for
        const QDateTime time = QDateTime::fromMSecsSinceEpoch(timeMs);
        return {offsetCell(time), dateTimeCell(time)};
    }
    const qint64 wall = timeMs + m_offsetMs;
    constexpr qint64 dayMs = 24 * 3600 * 1000;
    const qint64 days = wall >= 0 ? wall / dayMs : (wall - dayMs + 1) / dayMs;
    const qint64 ms = wall - days * dayMs;
    const QDate date = QDate::fromJulianDay(QDate(1970, 1, 1).toJulianDay() + days);
    const auto two = [](qint64 n) {
        return QString(QChar(u'0' + int(n / 10))) + QChar(u'0' + int(n % 10));
    };
    const qint64 seconds = ms / 1000;
    return {m_offsetText,
            QString::number(date.year()).rightJustified(4, u'0') + u'-' + two(date.month()) + u'-'
                    + two(date.day()) + u' ' + two(seconds / 3600) + u':' + two(seconds / 60 % 60)
                    + u':' + two(seconds % 60)};
}

QString CsvFormat::textCell(const QString &text)
{
    static const QString formulaStart = QStringLiteral("=+-@\t\r'");
    static const QString special = QStringLiteral(",\"\r\n");
    const bool formula = !text.isEmpty() && formulaStart.contains(text.front());
    bool quote = formula;
    for (QChar c : text)
        quote = quote || special.contains(c);
    if (!quote)
        return text;
    QString copy = text;
    copy.replace(u'"', QStringLiteral("\"\""));
    return u'"' + (formula ? u'\'' + copy : copy) + u'"';
}

QString CsvFormat::numberCell(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QString CsvFormat::dateTimeCell(const QDateTime &time)
{
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString CsvFormat::offsetCell(const QDateTime &time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return QStringLiteral("UTC%1%2:%3")
            .arg(QChar(offset < 0 ? u'-' : u'+'))
            .arg(minutes / 60, 2, 10, QLatin1Char('0'))
            .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

int CsvFormat::offsetSeconds(const QString &cell)
{
    static const QRegularExpression form(QStringLiteral("^UTC([+-])(\\d\\d):(\\d\\d)$"));
    const QRegularExpressionMatch m = form.match(cell);
    if (!m.hasMatch())
        return 0;
    const int seconds = m.captured(2).toInt() * 3600 + m.captured(3).toInt() * 60;
    return m.captured(1) == QStringLiteral("-") ? -seconds : seconds;
}

QDateTime CsvFormat::utc(qint64 timeMs)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    return QDateTime::fromMSecsSinceEpoch(timeMs, QTimeZone::UTC);
#else
    return QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC);
#endif
}
