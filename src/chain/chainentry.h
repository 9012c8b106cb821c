#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QPair>
#include <QString>

// One entry of the records' chain: a weighing, a void, or something that changed what the
// scale reports. Every entry is numbered (seq, from 1, without gaps) and carries the SHA-256
// of its own fields and of the entry before it, so that changing, removing or reordering any
// entry shows. The fields are written as "name TAB value LF" lines (the body), always in the
// same order, so that the same entry hashes the same on any machine.
struct ChainEntry
{
    Q_DECLARE_TR_FUNCTIONS(ChainEntry)

public:
    qint64 seq = 0;
    QString station; // 32 hex digits, made once per records file
    QString kind; // one of the kinds below
    qint64 timeMs = 0;
    QString body;
    QByteArray prevHash; // 32 bytes
    QByteArray hash; // 32 bytes

    static QString recordKind() { return QStringLiteral("record"); }
    static QString voidKind() { return QStringLiteral("void"); }
    static QString voidAllKind() { return QStringLiteral("void-all"); }
    static QString eventKind() { return QStringLiteral("event"); }
    static QString startKind() { return QStringLiteral("start"); }
    // In an export of some days only: an entry of another day between them, its hashes
    // alone, so that the part still links up.
    static QString outsideKind() { return QStringLiteral("outside"); }

    // The hash this entry must carry, over prevHash and every other field.
    QByteArray computeHash() const;
    static QByteArray zeroHash() { return QByteArray(32, '\0'); }

    // A body from its lines; a value's backslash, tab, CR and LF are escaped.
    using Fields = QList<QPair<QString, QString>>;
    static QString makeBody(const Fields &fields);
    // The lines back; false when the text is no well-formed body.
    static bool parseBody(const QString &body, Fields *fields);
    static QString value(const Fields &fields, const QString &name);

    // A record's body. tareKg is NaN when the tare was unknown.
    static QString recordBody(qint64 number, double weightKg, double tareKg, const QString &unit,
                              const QString &mode, const QString &port, bool manual, bool migrated);
    // A weight the shortest way that reads back as the same double.
    static QString number(double value);
    // The operator's word for a field, as the check names it.
    static QString fieldName(const QString &name);
    // The operator's word for a kind ("记录", "作废" ...), and back ("" when unknown).
    static QString kindName(const QString &kind);
    static QString kindFromName(const QString &name);
};
