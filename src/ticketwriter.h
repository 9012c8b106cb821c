#pragma once

#include <QObject>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

class QPainter;
class QQmlEngine;
class QJSEngine;
class RecordStore;

// The weighing ticket (称重小票) of one saved record, on a receipt-sized page: to a PDF file,
// to a printer, or painted anywhere else (a picture for the docs). One drawing serves all.
//
// The record is a map: station (32 hex), stationName, number, timeMs, weightKg, tareKg, unit
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
    // A ticket for every automatic record, once it is in the file: to autoPrinter, or as a
    // PDF in the documents folder while that is empty. Kept in the records file.
    Q_PROPERTY(bool autoPrint READ autoPrint WRITE setAutoPrint NOTIFY autoPrintChanged)
    Q_PROPERTY(QString autoPrinter READ autoPrinter WRITE setAutoPrinter NOTIFY autoPrintChanged)
    // How the last automatic ticket went ("" before the first).
    Q_PROPERTY(QString autoResult READ autoResult NOTIFY autoResultChanged)
    // Where a ticket can go: the printers, then a PDF file, last.
    Q_PROPERTY(QStringList targets READ targets NOTIFY printersChanged)

public:
    // Follows store's records for the automatic tickets (none without a store).
    explicit TicketWriter(RecordStore *store, QObject *parent = nullptr);
    static TicketWriter *create(QQmlEngine *engine, QJSEngine *);

    bool autoPrint() const { return m_autoPrint; }
    void setAutoPrint(bool on);
    QString autoPrinter() const { return m_autoPrinter; }
    void setAutoPrinter(const QString &name);
    QString autoResult() const { return m_autoResult; }
    QStringList targets() const { return m_printers + QStringList{tr("保存为 PDF 文件")}; }
    // Prints (or saves) the ticket of a record just written, as the automatic option does.
    void ticketFor(const QVariantMap &record);

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
    void autoPrintChanged();
    void autoResultChanged();

private:
    void takePrinters(int generation, const QStringList &names, const QString &defaultName);

    QStringList m_printers;
    QString m_defaultPrinter;
    int m_generation = 0; // of the newest read: an older read that returns late is dropped
    RecordStore *m_store = nullptr;
    bool m_autoPrint = false;
    QString m_autoPrinter;
    QString m_autoResult;
};
