#pragma once

#include <QObject>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

class QPainter;

// The weighing ticket (称重小票) of one saved record, on a receipt-sized page: to a PDF file,
// to a printer, or painted anywhere else (a picture for the docs). One drawing serves all.
//
// The record is a map: station (32 hex), stationName, seq, timeMs, weightKg, tareKg, unit
// ("公斤" or "斤"), mode ("净重", "毛重" or empty), manual, hash (64 hex), voidReason. Any key
// may be missing; the ticket then says 未知 rather than guess.
class TicketWriter : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    // The printers' names, read off the GUI thread: CUPS can stall on unreachable network
    // printers. Empty until the first read comes back.
    Q_PROPERTY(QStringList printers READ printers NOTIFY printersChanged)
    Q_PROPERTY(QString defaultPrinter READ defaultPrinter NOTIFY printersChanged)

public:
    explicit TicketWriter(QObject *parent = nullptr);

    QStringList printers() const { return m_printers; }
    QString defaultPrinter() const { return m_defaultPrinter; }

    // Reads the printers again; printersChanged follows when the list (or the default) changed.
    Q_INVOKABLE void refreshPrinters();

    // The ticket's text, one line each, as paint() draws it.
    static QStringList lines(const QVariantMap &record);

    // "" when the PDF is written, else why not. A failed write leaves no file behind.
    Q_INVOKABLE QString writePdf(const QVariantMap &record, const QString &path);
    Q_INVOKABLE QString writePdfUrl(const QVariantMap &record, const QUrl &file);
    // "" when the ticket went to the printer, else why not.
    Q_INVOKABLE QString print(const QVariantMap &record, const QString &printerName);
    Q_INVOKABLE QString suggestedPdfPath(const QVariantMap &record) const;

    // Draws the ticket into page (device coordinates), margins included.
    static void paint(QPainter *painter, const QRectF &page, const QVariantMap &record);

Q_SIGNALS:
    void printersChanged();

private:
    void takePrinters(int generation, const QStringList &names, const QString &defaultName);

    QStringList m_printers;
    QString m_defaultPrinter;
    int m_generation = 0; // of the newest read: an older read that returns late is dropped
};
