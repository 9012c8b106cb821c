#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <deque>
#include <memory>

class QSerialPort;
class QSocketNotifier;
class QTemporaryDir;
class QTimer;
class PtyPair;

// A simulated weighing sensor at the far end of a serial link. It answers the AT commands
// the tool sends, streams weight lines in the three output formats and can produce the
// faults of a real link on demand (pulled adapter, noise, split lines, full-speed bursts).
//
// On Unix it serves a pseudo-terminal behind a stable symlink, so that the path stays the
// same across unplug() and plug(); elsewhere, or when asked, it attaches to a named serial
// port (one end of a virtual null-modem pair). Everything runs in the caller's thread,
// driven by timers and notifiers; nothing blocks.
class SensorSimulator : public QObject
{
    Q_OBJECT

public:
    // A 115200-baud wire with 8N1 framing carries ten bits per byte.
    static constexpr int WireBytesPerSecond = 11520;

    struct Reading
    {
        double weight = 0; // kg, rounded to the division: net after a tare, else gross
        bool stable = false;
        bool overload = false;
        bool net = false;
    };

    explicit SensorSimulator(QObject *parent = nullptr);
    ~SensorSimulator() override;

    // Lets SIGINT, SIGTERM and SIGHUP end the event loop normally (Unix), so that a simulator
    // still gets to remove its link and folder. Call once the application object exists.
    static void quitOnTerminationSignals();

    // Serves a pseudo-terminal (Unix only) behind a link in a fresh temporary folder, or at
    // linkPath when given (its folder must exist; the link goes again with the sensor);
    // false when none could be made.
    bool start(const QString &linkPath = {});
    // Attaches to a named serial port instead; false when it does not open.
    bool attach(const QString &serialPortName);

    // What the tool opens: the symlink to the pseudo-terminal, or the named port.
    QString portName() const { return m_portName; }
    bool isPlugged() const { return m_plugged; }

    // The pulled adapter: the far end goes away and an open port reports an error.
    void unplug();
    // The adapter comes back under the same name; a power-up of the sensor.
    bool plug();

    // --- the load on the platform
    void setLoad(double kg);
    double load() const { return m_targetLoad; }
    // Time constant of the approach to a new load; 0 jumps at the next sample.
    void setResponseTime(int ms) { m_responseMs = qMax(0, ms); }
    // How long a reading must stay within one division to count as stable.
    void setStableTime(int ms) { m_stableMs = qMax(0, ms); }
    void setNoiseEnabled(bool enabled) { m_noiseEnabled = enabled; }
    // Restarts the noise sequence: the same seed gives the same noise, sample by sample.
    void setSeed(quint32 seed) { m_random.seed(seed); }
    Reading reading() const { return m_reading; }

    // --- the sensor's own settings, as the AT commands set them ("AUTO", "PRINTX", ...)
    QString setting(const QString &key) const { return m_settings.value(key); }
    void setAutoReport(bool on);
    void setFormat(int format);
    void setReportRate(int linesPerSecond);

    // --- traffic
    QStringList commands() const { return m_commands; }
    void clearCommands() { m_commands.clear(); }
    // The current reading as one line of the chosen format, with its line ending.
    QByteArray weightLine();

    // --- faults
    // A sensor that hears commands and acts on them but sends no reply line.
    void setReplying(bool on) { m_replying = on; }
    // Bytes that are not ASCII, as line noise brings them.
    void sendGarbage(int count = 8);
    // The next line that goes out is cut into this many writes, a little apart.
    void splitNextLine(int pieces = 3);
    // count weight lines back to back at the wire's full speed, paced as the wire would.
    void burst(int count);
    // The bytes that end every line sent, replies and weights alike ("\r\n" until set);
    // "\r" is firmware that ends lines with CR alone.
    void setLineEnding(const QByteArray &ending) { m_lineEnding = ending; }

    // --- habits of real firmware (all off by default: the tidy sensor above)
    // How a setting that was carried out is confirmed.
    enum class Confirmation {
        Ok, // "OK"
        Echo, // the setting echoed, "AT+DIV=10"
        OkAndEcho, // "OK", then the echo
        CommandEcho, // every command line echoed as it arrives, then the answer ("OK")
    };
    void setConfirmation(Confirmation confirmation) { m_confirmation = confirmation; }
    // Each answer leaves between minMs and maxMs after its command arrived.
    void setReplyLatency(int minMs, int maxMs);
    // A busy sensor (an answer still due) ignores the commands that arrive meanwhile.
    void setOneCommandAtATime(bool on) { m_oneAtATime = on; }
    // The word a refusal starts with: "ERR" (as "ERR: invalid value") or "ERROR" (alone).
    void setErrorWord(const QString &word) { m_errorWord = word; }
    // Unknown commands get no answer at all.
    void setSilentOnUnknown(bool on) { m_silentOnUnknown = on; }
    // The lines that answer "AT+VERSION?" and "AT+SN".
    void setIdentity(const QString &version, const QString &serialNumber);
    // Settings locked (a calibration switch, a sealed scale): each is answered as if taken and
    // nothing changes.
    void setSettingsLocked(bool locked) { m_locked = locked; }
    // Commands heard but ignored because an answer was still due.
    int ignoredCommands() const { return m_ignored; }
    // Actions this sensor refuses ("ZERO", "TARE", "ZCAL"), as an indicator refuses zero and
    // tare while the load moves: answered "ERR: unstable" (or the error word), nothing done.
    void setRefusedActions(const QStringList &keys) { m_refusedActions = keys; }

Q_SIGNALS:
    void commandReceived(const QString &command);
    // One complete line (reply or weight) has been handed to the link.
    void lineSent(const QByteArray &line);
    void pluggedChanged();
    void burstFinished();

private:
    struct Chunk
    {
        QByteArray bytes;
        int gapMs = 0; // pause on the wire before this chunk
        QByteArray line; // the whole line, on the chunk that completes one
        bool endsBurst = false;
    };

    void initSettings();
    void openLink();
    void closeLink();
    void onLinkReadable();
    void handleInput(const QByteArray &bytes);
    void handleCommand(const QString &command);
    void respond(const QString &command);
    QString settingCommand(const QString &key, const QString &value);
    void reply(const QString &text);
    void refuse(const QString &reason);
    void answer(const QStringList &lines);
    void sendDueAnswers();
    void queueLine(const QByteArray &line);
    void queue(Chunk chunk);
    void drain();
    bool writeToLink(const QByteArray &bytes);
    void dropStaleInput();
    void sample();
    void report();
    void restartReporting();
    void restartSampling();
    void powerUp();
    double grossRaw() const;
    double divisionKg() const;
    QString formatNumber(double kg, int intDigits) const;

    QString m_portName;
    QString m_attachedPort; // non-empty when serving a named serial port
    bool m_plugged = false;

    std::unique_ptr<QTemporaryDir> m_linkDir;
    std::unique_ptr<PtyPair> m_pty;
    QSocketNotifier *m_notifier = nullptr;
    int m_probeFd = -1; // a slave descriptor of our own, to look at the input queue
    int m_lastQueued = 0;
    qint64 m_writtenSinceProbe = 0; // bytes handed to the pseudo-terminal since the last look
    QSerialPort *m_serial = nullptr;

    QHash<QString, QString> m_settings;
    QStringList m_commands;
    QByteArray m_input;

    // load model
    double m_targetLoad = 0;
    double m_platform = 0; // what the load cell feels, moving towards the target
    double m_calZero = 0; // load cell output at the calibrated zero (kg)
    double m_span = 1;
    double m_zeroOffset = 0; // from ZERO and zero tracking, kg of gross
    double m_tare = 0; // kg, 0 when no tare is taken
    bool m_tareActive = false;
    int m_responseMs = 150;
    int m_stableMs = 300;
    bool m_noiseEnabled = true;
    QRandomGenerator m_random{0x5eed};
    Reading m_reading;
    double m_stableRef = 0;
    QElapsedTimer m_stableClock;
    QElapsedTimer m_sampleClock;

    // output
    QTimer *m_sampleTimer;
    QTimer *m_reportTimer;
    QElapsedTimer m_reportClock;
    qint64 m_reportsDone = 0;
    QTimer *m_drainTimer;
    QTimer *m_probeTimer;
    std::deque<Chunk> m_queue;
    QElapsedTimer m_wireClock;
    qint64 m_wireFreeAtNs = 0;
    int m_splitPieces = 0;
    bool m_replying = true;

    // firmware habits
    struct Answer
    {
        qint64 dueMs; // on m_wireClock
        QStringList lines;
    };
    Confirmation m_confirmation = Confirmation::Ok;
    int m_latencyMinMs = 0;
    int m_latencyMaxMs = 0;
    bool m_oneAtATime = false;
    QString m_errorWord = QStringLiteral("ERR");
    bool m_silentOnUnknown = false;
    bool m_locked = false;
    QString m_version = QStringLiteral("V1.0.1");
    QString m_serialNumber = QStringLiteral("SN102145");
    int m_ignored = 0;
    std::deque<Answer> m_answers;
    QTimer *m_answerTimer;
    QStringList *m_answer = nullptr; // where reply() puts the lines of the answer being made
    QByteArray m_lineEnding = QByteArrayLiteral("\r\n");
    QStringList m_refusedActions;
};
