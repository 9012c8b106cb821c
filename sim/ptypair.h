#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal pair: the slave behaves as a serial port that QSerialPort can open by
// its path, the master is the far end (the sensor's side of the cable).
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    // Writes all of data to the master side; false if the pair is closed or the write fails.
    bool write(const QByteArray &data);
    // Reads what is available on the master side, waiting at most timeoutMs for the first byte.
    QByteArray read(int timeoutMs = 0);
    // Reads until exactly count bytes arrived or timeoutMs passed.
    QByteArray readExactly(qsizetype count, int timeoutMs = 5000);

    // Closes the master, as a pulled USB adapter does: the open port reports an error.
    void closeMaster();
    // Closes the slave descriptor that keeps the pair alive while no port has it open.
    void closeSlave();

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};
