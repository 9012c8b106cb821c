#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QtQml/qqmlregistration.h>

#include <deque>

#include "serialportmanager.h"

class QTimer;

// The lines that crossed the serial link, newest last, for the traffic console: each with
// its time (ms), direction and bytes, shown as printable text or as hex. Bounded to the
// newest `capacity` lines; arrivals are gathered and handed to views a few times a second,
// so a stream at the wire's full speed costs a view one insertion per batch. CR, LF and
// CR LF each end a received line. With hideWeights the views see every line but the
// received weight lines.
class TrafficLog : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(SerialPortManager *serialPort READ serialPort WRITE setSerialPort NOTIFY
                       serialPortChanged)
    Q_PROPERTY(bool paused READ paused WRITE setPaused NOTIFY pausedChanged)
    Q_PROPERTY(bool hexView READ hexView WRITE setHexView NOTIFY hexViewChanged)
    Q_PROPERTY(int capacity READ capacity WRITE setCapacity NOTIFY capacityChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(bool hideWeights READ hideWeights WRITE setHideWeights NOTIFY hideWeightsChanged)

public:
    enum Role { TimeRole = Qt::UserRole + 1, DirectionRole, TextRole, SentRole };
    Q_ENUM(Role)

    explicit TrafficLog(QObject *parent = nullptr);

    SerialPortManager *serialPort() const { return m_port; }
    void setSerialPort(SerialPortManager *port);
    bool paused() const { return m_paused; }
    void setPaused(bool paused);
    bool hexView() const { return m_hexView; }
    void setHexView(bool hex);
    int capacity() const { return m_capacity; }
    void setCapacity(int lines);
    // The rows views see: with hideWeights, fewer than the lines kept.
    int count() const { return int(m_rows.size()); }
    QString lastError() const { return m_lastError; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Lines received and sent, as they come (also what the port's traffic feeds in).
    void addReceived(const QByteArray &bytes);
    void addSent(const QByteArray &bytes);

    Q_INVOKABLE void clear();
    // Hands gathered lines to the views now (a view also gets them within 100 ms).
    Q_INVOKABLE void flush();
    // Every line shown, one a line: "time direction text" in the current view.
    Q_INVOKABLE QString text() const;
    // Writes text() to filePath as a whole or not at all, making its folder when missing;
    // on failure lastError says why.
    Q_INVOKABLE bool saveToFile(const QString &filePath);
    // A new file name in the user's documents folder (or the home folder when that cannot be
    // made), stamped with the present time.
    Q_INVOKABLE QString suggestedFilePath() const;

    bool hideWeights() const { return m_hideWeights; }
    void setHideWeights(bool hide);

Q_SIGNALS:
    void serialPortChanged();
    void pausedChanged();
    void hexViewChanged();
    void capacityChanged();
    void countChanged();
    void lastErrorChanged();
    void hideWeightsChanged();

private:
    struct Line
    {
        qint64 msecs; // since the epoch, at the line's first byte
        bool sent;
        QByteArray bytes;
        qint64 seq = 0; // one more for each line added, in arrival order
        bool weight = false; // a received weight line, which hideWeights leaves out
    };

    void add(Line line);
    QString render(const Line &line) const;
    void setError(const QString &error);
    const Line &lineAt(int row) const;
    bool shows(const Line &line) const { return !(m_hideWeights && line.weight); }
    void appendToLine(qint64 seq, const QByteArray &bytes);

    QPointer<SerialPortManager> m_port;
    QList<QMetaObject::Connection> m_connections;
    std::deque<Line> m_lines; // every line handed over, shown or not
    std::deque<Line> m_incoming; // complete lines not yet handed over
    Line m_open{0, false, {}}; // the received line still arriving
    bool m_paused = false;
    bool m_hexView = false;
    int m_capacity = 10000;
    QString m_lastError;
    QTimer *m_flushTimer;
    bool m_hideWeights = false;
    std::deque<qint64> m_rows; // the seq of each line views see, in order
    qint64 m_nextSeq = 0;
    qint64 m_crEndedSeq = -1; // the line a CR at the end of the last chunk ended, if any
};
