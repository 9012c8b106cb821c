#pragma once

#include <QCoreApplication>
#include <QString>
#include <QVariantMap>

#include <utility>

class QDateTime;
struct ChainEntry;

// How a weighing record becomes a line of CSV that a spreadsheet reads right: times as local
// date-times it recognises, weights as numbers, and no text it could take for a formula.
// Pure functions, shared by every export.
class CsvFormat
{
    Q_DECLARE_TR_FUNCTIONS(CsvFormat)

public:
    static QString lineEnd() { return QStringLiteral("\r\n"); }
    // Written when the reading never said whether a weight was net or gross.
    static QString unknownMode() { return QStringLiteral("—"); }

    // The byte order mark and the header line, with its line end.
    static QString head();
    // The header's names: the seven a person reads first, then the chain's own, from which
    // an export can be checked.
    static QStringList columns();
    // A record ({timeMs, weightKg, unit, mode, port, manual}) as one line with its line end.
    static QString row(const QVariantMap &record);

    // Local wall times and offsets of a run of times, the zone asked once per quarter hour:
    // what makes an export of a million records quick.
    class LocalTimes
    {
    public:
        // {offset cell, date-time cell} of a time.
        std::pair<QString, QString> at(qint64 timeMs);

    private:
        qint64 m_block = 0;
        qint64 m_offsetMs = 0;
        bool m_exact = false;
        QString m_offsetText;
    };
    // The same line, added to *line, for an export that goes through many in order.
    static void appendRow(QString *line, LocalTimes *times, qint64 timeMs, double weightKg,
                          const QString &unit, const QString &mode, const QString &port,
                          bool manual);

    // What an export adds to a record's cells: its place in the chain and the proof.
    struct Extra
    {
        qint64 number = 0;
        double tareKg = 0; // NaN: unknown
        QString voided; // "第 12 条：原因" for a voided record
    };
    // One entry of the chain as a line: a record (extra given) with its seven cells, any
    // other entry with its time alone, and then the chain's cells (an entry outside the
    // export's days with its number and hashes alone).
    static void appendEntry(QString *line, LocalTimes *times, const ChainEntry &entry,
                            const QString &unit, const QString &mode, const QString &port,
                            double weightKg, bool manual, const Extra *record);

    // A text cell. Text a spreadsheet would take for a formula (one starting with =, +, -, @,
    // a tab or a CR) gets an apostrophe in front and is quoted; so is text holding a comma,
    // a quote or a line break. Text that starts with an apostrophe gets one more, so that
    // taking one off always gives the text back.
    static QString textCell(const QString &text);
    // A number cell, never quoted nor prefixed.
    static QString numberCell(double value, int decimals);
    // "2025-06-01 10:00:00" in the time's own zone, which spreadsheets read as a date-time.
    static QString dateTimeCell(const QDateTime &time);
    // That zone's offset from UTC, "UTC+02:00".
    static QString offsetCell(const QDateTime &time);
    // A time in UTC ("2026-03-01T08:00:00.000Z" as text).
    static QDateTime utc(qint64 timeMs);
    // The offset of such a cell, in seconds (0 when it is none).
    static int offsetSeconds(const QString &cell);
};
