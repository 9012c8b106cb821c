#include "trafficlog.h"

#include "sensorchannel.h"
#include "tools.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <chrono>

using namespace std::chrono_literals;

namespace {

// Received bytes without a line break are cut into lines of this length.
constexpr qsizetype MaxLineBytes = 256;

// The line with this seq in a deque ordered by seq, or its end.
template<typename Lines>
auto findLine(Lines &lines, qint64 seq)
{
    auto it = std::lower_bound(lines.begin(), lines.end(), seq,
                               [](const auto &line, qint64 s) { return line.seq < s; });
    return it != lines.end() && it->seq == seq ? it : lines.end();
}

} // namespace

TrafficLog::TrafficLog(QObject *parent) : QAbstractListModel(parent), m_flushTimer(new QTimer(this))
{
    m_flushTimer->setSingleShot(true);
    m_flushTimer->setInterval(100ms);
    connect(m_flushTimer, &QTimer::timeout, this, &TrafficLog::flush);
}

void TrafficLog::setSerialPort(SerialPortManager *port)
{
    if (m_port == port)
        return;
    for (const auto &c : std::as_const(m_connections))
        disconnect(c);
    m_connections.clear();
    m_port = port;
    if (port) {
        SerialTraffic *traffic = port->traffic();
        m_connections << connect(traffic, &SerialTraffic::received, this, &TrafficLog::addReceived)
                      << connect(traffic, &SerialTraffic::sent, this, &TrafficLog::addSent);
    }
    Q_EMIT serialPortChanged();
}

void TrafficLog::setPaused(bool paused)
{
    if (m_paused == paused)
        return;
    m_paused = paused;
    Q_EMIT pausedChanged();
    if (!paused)
        flush();
}

void TrafficLog::setHexView(bool hex)
{
    if (m_hexView == hex)
        return;
    m_hexView = hex;
    Q_EMIT hexViewChanged();
    if (!m_lines.empty())
        Q_EMIT dataChanged(index(0), index(count() - 1), {TextRole});
}

void TrafficLog::setCapacity(int lines)
{
    lines = qMax(1, lines);
    if (m_capacity == lines)
        return;
    m_capacity = lines;
    Q_EMIT capacityChanged();
    flush();
}

int TrafficLog::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant TrafficLog::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= count())
        return {};
    const Line &line = lineAt(index.row());
    switch (role) {
    case TimeRole:
        return QDateTime::fromMSecsSinceEpoch(line.msecs).toString(QStringLiteral("HH:mm:ss.zzz"));
    case DirectionRole:
        return line.sent ? QStringLiteral("TX") : QStringLiteral("RX");
    case Qt::DisplayRole:
    case TextRole:
        return render(line);
    case SentRole:
        return line.sent;
    }
    return {};
}

QHash<int, QByteArray> TrafficLog::roleNames() const
{
    return {{TimeRole, "time"},
            {DirectionRole, "direction"},
            {TextRole, "content"},
            {SentRole, "sent"}};
}

QString TrafficLog::render(const Line &line) const
{
    if (m_hexView)
        return SerialPortManager::hexRendering(line.bytes);
    // Line breaks show as the escapes the debug log uses, so each line stays one row.
    QString text = SerialPortManager::printableRendering(line.bytes);
    text.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    text.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    return text;
}

const TrafficLog::Line &TrafficLog::lineAt(int row) const
{
    return *findLine(m_lines, m_rows[size_t(row)]);
}

void TrafficLog::addReceived(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qsizetype start = 0;
    // A CR LF cut between two chunks is one break: the LF joins the line its CR ended.
    if (m_crEndedSeq >= 0 && bytes.front() == '\n') {
        appendToLine(m_crEndedSeq, QByteArrayLiteral("\n"));
        start = 1;
    }
    m_crEndedSeq = -1;
    for (qsizetype i = start; i < bytes.size(); ++i) {
        const char c = bytes.at(i);
        // Firmware may end lines with CR alone; a CR with its LF right behind leaves the end
        // to the LF.
        if (c == '\r' && i + 1 < bytes.size() && bytes.at(i + 1) == '\n')
            continue;
        const bool lineEnds = c == '\n' || c == '\r';
        if (!lineEnds && m_open.bytes.size() + (i - start) < MaxLineBytes)
            continue;
        if (m_open.bytes.isEmpty())
            m_open.msecs = now;
        // A full line ends before the byte that would overflow it, which starts the next.
        const qsizetype end = lineEnds ? i + 1 : i;
        m_open.bytes.append(bytes.constData() + start, end - start);
        start = end;
        add(std::exchange(m_open, Line{0, false, {}}));
        if (c == '\r' && start == bytes.size())
            m_crEndedSeq = m_nextSeq - 1;
    }
    if (start < bytes.size()) {
        if (m_open.bytes.isEmpty())
            m_open.msecs = now;
        m_open.bytes.append(bytes.constData() + start, bytes.size() - start);
        // A line still arriving shows at the next flush all the same.
        if (!m_flushTimer->isActive())
            m_flushTimer->start();
    }
}

void TrafficLog::addSent(const QByteArray &bytes)
{
    // What was still arriving is shown before the command that follows it.
    if (!m_open.bytes.isEmpty())
        add(std::exchange(m_open, Line{0, false, {}}));
    add({QDateTime::currentMSecsSinceEpoch(), true, bytes});
}

void TrafficLog::appendToLine(qint64 seq, const QByteArray &bytes)
{
    // The line still waits for the views, or its row changes, or it has gone already.
    if (auto it = findLine(m_incoming, seq); it != m_incoming.end()) {
        it->bytes += bytes;
        return;
    }
    auto it = findLine(m_lines, seq);
    if (it == m_lines.end())
        return;
    it->bytes += bytes;
    const auto row = std::lower_bound(m_rows.begin(), m_rows.end(), seq);
    if (row != m_rows.end() && *row == seq) {
        const QModelIndex changed = index(int(row - m_rows.begin()));
        Q_EMIT dataChanged(changed, changed, {TextRole});
    }
}

void TrafficLog::add(Line line)
{
    line.seq = m_nextSeq++;
    // Judged by the weight grammar alone: a line with noise in it stays in sight.
    line.weight
            = !line.sent && SensorChannel::isWeightLine(QString::fromLatin1(line.bytes).trimmed());
    m_incoming.push_back(std::move(line));
    // Paused, the newest lines are kept for later, no more than the view would show.
    while (m_incoming.size() > size_t(m_capacity))
        m_incoming.pop_front();
    if (!m_paused && !m_flushTimer->isActive())
        m_flushTimer->start();
}

void TrafficLog::flush()
{
    m_flushTimer->stop();
    if (m_paused)
        return;
    // A line that has waited a whole batch is shown unfinished; the rest of it follows
    // as a line of its own.
    if (!m_open.bytes.isEmpty()
        && QDateTime::currentMSecsSinceEpoch() - m_open.msecs >= m_flushTimer->interval())
        add(std::exchange(m_open, Line{0, false, {}}));
    m_flushTimer->stop();
    if (!m_open.bytes.isEmpty())
        m_flushTimer->start();
    const int before = count();
    // The bound counts every line kept, hidden or shown: memory stays bounded whatever the
    // filter, and turning it off shows the same newest lines as if it had never been on.
    const size_t total = m_lines.size() + m_incoming.size();
    const size_t drop
            = qMin<size_t>(m_lines.size(), total > size_t(m_capacity) ? total - m_capacity : 0);
    if (drop > 0) {
        const qint64 firstKept = drop < m_lines.size() ? m_lines[drop].seq : m_nextSeq;
        const int rows
                = int(std::lower_bound(m_rows.begin(), m_rows.end(), firstKept) - m_rows.begin());
        if (rows > 0)
            beginRemoveRows({}, 0, rows - 1);
        m_rows.erase(m_rows.begin(), m_rows.begin() + rows);
        m_lines.erase(m_lines.begin(), m_lines.begin() + qsizetype(drop));
        if (rows > 0)
            endRemoveRows();
    }
    while (m_lines.size() + m_incoming.size() > size_t(m_capacity))
        m_incoming.pop_front();
    const int shown = int(std::count_if(m_incoming.begin(), m_incoming.end(),
                                        [this](const Line &l) { return shows(l); }));
    if (shown > 0)
        beginInsertRows({}, count(), count() + shown - 1);
    for (Line &l : m_incoming) {
        if (shows(l))
            m_rows.push_back(l.seq);
        m_lines.push_back(std::move(l));
    }
    m_incoming.clear();
    if (shown > 0)
        endInsertRows();
    if (count() != before)
        Q_EMIT countChanged();
}

void TrafficLog::clear()
{
    m_incoming.clear();
    m_open = Line{0, false, {}};
    m_crEndedSeq = -1;
    if (m_lines.empty())
        return;
    const int before = count();
    beginResetModel();
    m_lines.clear();
    m_rows.clear();
    endResetModel();
    if (before != 0)
        Q_EMIT countChanged();
}

void TrafficLog::setHideWeights(bool hide)
{
    if (m_hideWeights == hide)
        return;
    const int before = count();
    beginResetModel();
    m_hideWeights = hide;
    m_rows.clear();
    for (const Line &l : m_lines) {
        if (shows(l))
            m_rows.push_back(l.seq);
    }
    endResetModel();
    Q_EMIT hideWeightsChanged();
    if (count() != before)
        Q_EMIT countChanged();
}

QString TrafficLog::text() const
{
    QString out;
    for (int i = 0; i < count(); ++i) {
        const QModelIndex ix = index(i);
        out += data(ix, TimeRole).toString() + QLatin1Char(' ') + data(ix, DirectionRole).toString()
                + QLatin1Char(' ') + data(ix, TextRole).toString() + QLatin1Char('\n');
    }
    return out;
}

bool TrafficLog::saveToFile(const QString &filePath)
{
    if (filePath.isEmpty()) {
        setError(tr("未选择文件"));
        return false;
    }
    // A fresh account may have no documents folder yet.
    const QString folder = QFileInfo(filePath).absolutePath();
    if (!QDir().mkpath(folder)) {
        setError(tr("无法创建文件夹 %1").arg(QDir::toNativeSeparators(folder)));
        return false;
    }
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        setError(file.errorString());
        return false;
    }
    const QByteArray bytes = text().toUtf8();
    // A full disk may show only in the flush, which commit() would not report.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        setError(file.errorString());
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        setError(file.errorString());
        return false;
    }
    setError(QString());
    return true;
}

QString TrafficLog::suggestedFilePath() const
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    // A fresh account may have none yet: saving makes it, so opening the page leaves no folder
    // behind. Where it cannot be made (a file in its way, no rights), the home folder will do.
    if (dir.isEmpty() || !Tools::canMakeFolder(dir))
        dir = QDir::homePath();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    return QDir(dir).filePath(QStringLiteral("pelora-traffic-%1.txt").arg(stamp));
}

void TrafficLog::setError(const QString &error)
{
    if (m_lastError == error)
        return;
    m_lastError = error;
    Q_EMIT lastErrorChanged();
}
