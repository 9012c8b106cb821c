#include "csvformat.h"

#include <QDateTime>
#include <QStringList>

#include <cstdlib>

QString CsvFormat::head()
{
    return QStringLiteral("\uFEFF") + tr("时间,时区(UTC偏移),重量(kg),显示单位,净重/毛重,端口,方式")
            + lineEnd();
}

QString CsvFormat::row(const QVariantMap &record)
{
    const QDateTime time
            = QDateTime::fromMSecsSinceEpoch(record.value(QStringLiteral("timeMs")).toLongLong());
    const QString mode = record.value(QStringLiteral("mode")).toString();
    const QStringList cells{
            dateTimeCell(time),
            offsetCell(time),
            numberCell(record.value(QStringLiteral("weightKg")).toDouble(), 3),
            textCell(record.value(QStringLiteral("unit")).toString()),
            textCell(mode.isEmpty() ? unknownMode() : mode),
            textCell(record.value(QStringLiteral("port")).toString()),
            textCell(record.value(QStringLiteral("manual")).toBool() ? tr("手动") : tr("自动"))};
    return cells.join(u',') + lineEnd();
}

QString CsvFormat::textCell(const QString &text)
{
    static const QString formulaStart = QStringLiteral("=+-@\t\r");
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
