#pragma once

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// The shared server's tables, in the schema "pelora" of a PostgreSQL database, and the steps
// that bring an empty or older one to this version. Stations never write a table directly:
// they call functions that check the caller owns the station and that each entry continues
// the station's chain; the tables themselves refuse any change or deletion of a record.
//
// Version 1: stations, entries (the chain of each station), records, events.
// Version 2: the live status row of each station, announced on the channel "pelora_status".
class ServerSchema
{
    Q_DECLARE_TR_FUNCTIONS(ServerSchema)

public:
    static constexpr int version = 2;
    // The group role whose members may replicate; its members are the stations' own roles.
    static QString stationRole() { return QStringLiteral("pelora_station"); }
    static QString statusChannel() { return QStringLiteral("pelora_status"); }
    static QString recordsChannel() { return QStringLiteral("pelora_records"); }

    // The SQL of each step, from version n to n + 1 (index n).
    static QStringList steps();

    // The version the server holds (0 for none), or -1 with *why when it cannot be read.
    static int found(QSqlDatabase &db, QString *why);
    // Brings the server to `target` (this version unless a test asks for an older one), in
    // one transaction under a lock, so that stations connecting at once do it once. A role
    // that may not do it gets a clear *why; so does a server newer than this program.
    static bool ensure(QSqlDatabase &db, QString *why, int target = version);

    // The error's own words (the server's message, without Qt's prefixes).
    static QString reason(const QSqlError &error);
};
