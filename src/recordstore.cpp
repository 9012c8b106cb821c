#include "recordstore.h"

#include "csvformat.h"
#include "recordlistmodel.h"
#include "tools.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QThreadPool>
#include <cmath>

namespace {
// A day runs from its first local millisecond to the next day's, whatever its length.
qint64 dayStart(QDate day)
{
    return day.startOfDay().toMSecsSinceEpoch();
}
} // namespace

RecordStore::RecordStore(const QString &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
    , m_thread(new QThread(this))
    , m_worker(new RecordWorker(path))
    , m_list(new RecordListModel(this))
    , m_clock([] { return QDateTime::currentDateTime(); })
{
    m_thread->setObjectName(QStringLiteral("records"));
    m_worker->moveToThread(m_thread);
    connect(m_worker, &RecordWorker::healthChanged, this, &RecordStore::setHealth);
    connect(m_worker, &RecordWorker::stateLoaded, this, [this](const QVariantMap &state) {
        m_state = state;
        for (auto it = m_stateWritten.cbegin(); it != m_stateWritten.cend(); ++it)
            m_state.insert(it.key(), it.value()); // set here while the file was being read
        m_stateKnown = true;
        Q_EMIT stateLoaded();
        Q_EMIT stationChanged();
    });
    connect(m_worker, &RecordWorker::saved, this, [this](qint64 ticket, const QVariantMap &record) {
        m_pending = qMax(0, m_pending - 1);
        m_list->takeSaved(record);
        updateError();
        Q_EMIT pendingChanged();
        Q_EMIT recordSaved(ticket, record.value(QStringLiteral("id")).toLongLong());
        QVariantMap written = record;
        written.insert(QStringLiteral("stationName"), stationName());
        Q_EMIT recordWritten(written);
    });
    connect(m_worker, &RecordWorker::voided, this, [this](qint64 id) {
        m_list->takeVoided(id);
        Q_EMIT recordsRemoved();
    });
    connect(m_worker, &RecordWorker::allVoided, this, [this] {
        m_list->takeAllVoided();
        Q_EMIT recordsRemoved();
    });
    connect(m_worker, &RecordWorker::voidRefused, this, &RecordStore::voidFailed);
    connect(m_worker, &RecordWorker::chainChanged, this,
            [this](RecordWorker::ChainState state, qint64, const QString &text, double) {
                m_chainState = state;
                m_chainText = text;
                Q_EMIT chainChanged();
            });
    connect(m_worker, &RecordWorker::stationKnown, this, [this](const QString &id) {
        m_stationId = id;
        Q_EMIT stationChanged();
    });
    connect(m_worker, &RecordWorker::totals, this, [this](int count, int day, double total) {
        m_count = count;
        m_todayCount = day;
        m_todayTotal = total;
        Q_EMIT recordsChanged();
    });
    connect(m_worker, &RecordWorker::page, m_list, &RecordListModel::takePage);
    connect(m_worker, &RecordWorker::between, this, &RecordStore::recordsFetched);
    connect(m_worker, &RecordWorker::exportProgress, this, [this](qint64 done, qint64 total) {
        m_progress = total > 0 ? double(done) / double(total) : 1.0;
        Q_EMIT exportChanged();
    });
    connect(m_worker, &RecordWorker::exportDone, this,
            [this](const QString &path, const QString &error) {
                m_exporting = false;
                Q_EMIT exportChanged();
                Q_EMIT exportFinished(path, error);
            });
    m_thread->start();
    post([w = m_worker] { w->open(); });
    m_midnight.setSingleShot(true);
    connect(&m_midnight, &QTimer::timeout, this, &RecordStore::followDay);
    followDay();
    m_list->reload();
}

RecordStore::~RecordStore()
{
    // What is still queued is written first: the worker goes after it, then the thread.
    post([w = m_worker] { delete w; });
    m_thread->quit();
    m_thread->wait();
}

template<typename F>
void RecordStore::post(F &&f)
{
    QMetaObject::invokeMethod(m_worker, std::forward<F>(f), Qt::QueuedConnection);
}

RecordStore *RecordStore::create(QQmlEngine *engine, QJSEngine *)
{
    // The page and the recorder share one store per engine.
    const char *key = "_peloraRecordStore";
    if (auto *store = engine->property(key).value<RecordStore *>())
        return store;
    auto *store = new RecordStore(defaultPath(), engine);
    QQmlEngine::setObjectOwnership(store, QQmlEngine::CppOwnership);
    engine->setProperty(key, QVariant::fromValue(store));
    return store;
}

QString RecordStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
            + QStringLiteral("/records.sqlite");
}

bool RecordStore::writable() const
{
    return m_health != RecordWorker::ReadOnly && m_health != RecordWorker::Unusable;
}

void RecordStore::setHealth(RecordWorker::Health health, const QString &text)
{
    m_health = health;
    m_healthText = text;
    updateError();
    Q_EMIT errorTextChanged(); // writable() follows the health
    if (health == RecordWorker::Ok)
        m_list->resume();
}

// What the file's trouble is, and what waits for it: said for as long as it lasts, and gone
// the moment the file takes records again.
void RecordStore::updateError()
{
    QString text = m_healthText;
    if (m_pending > 0 && m_health != RecordWorker::Ok && m_health != RecordWorker::Opening)
        text += tr("；%1 条记录暂存在内存中，等待保存").arg(m_pending);
    if (text == m_error)
        return;
    m_error = text;
    Q_EMIT errorTextChanged();
}

void RecordStore::setClock(std::function<QDateTime()> clock)
{
    m_clock = std::move(clock);
    followDay();
}

// Today is the local calendar day, both ends: looked at again at each midnight, so that
// the day's count starts afresh, and a record dated tomorrow is never today's.
void RecordStore::followDay()
{
    const QDateTime now = m_clock();
    const qint64 start = dayStart(now.date());
    const qint64 end = dayStart(now.date().addDays(1));
    post([w = m_worker, start, end] { w->setDay(start, end); });
    m_midnight.start(
            int(qBound(qint64(1), end - now.toMSecsSinceEpoch() + 1, qint64(3600 * 1000))));
}

qint64 RecordStore::addRecord(double weightKg, const QString &unit, const QString &mode,
                              const QString &port, bool manual, qint64 timeMs, double tareKg)
{
    if (!writable())
        return -1;
    if (timeMs < 0)
        timeMs = m_clock().toMSecsSinceEpoch();
    const QVariantMap record{
            {QStringLiteral("timeMs"), timeMs},
            {QStringLiteral("weightKg"), weightKg},
            {QStringLiteral("unit"), unit},
            {QStringLiteral("mode"), mode},
            {QStringLiteral("port"), port},
            {QStringLiteral("manual"), manual},
            {QStringLiteral("tareKg"), std::isfinite(tareKg) ? QVariant(tareKg) : QVariant()}};
    const qint64 ticket = ++m_tickets;
    ++m_pending;
    post([w = m_worker, ticket, record] { w->add(ticket, record); });
    updateError();
    Q_EMIT pendingChanged();
    return ticket;
}

namespace {
QString reasonProblem(const QString &reason)
{
    if (reason.trimmed().isEmpty())
        return RecordStore::tr("请填写作废原因");
    if (reason.trimmed().size() > 200)
        return RecordStore::tr("作废原因最多 200 个字");
    return QString();
}
} // namespace

QString RecordStore::voidRecord(qint64 id, const QString &reason)
{
    if (!writable())
        return tr("记录文件不能修改");
    const QString problem = reasonProblem(reason);
    if (!problem.isEmpty())
        return problem;
    post([w = m_worker, id, r = reason.trimmed()] { w->voidRecord(id, r); });
    return QString();
}

QString RecordStore::voidAll(const QString &reason)
{
    if (!writable())
        return tr("记录文件不能修改");
    const QString problem = reasonProblem(reason);
    if (!problem.isEmpty())
        return problem;
    post([w = m_worker, r = reason.trimmed()] { w->voidAll(r); });
    return QString();
}

void RecordStore::addEvent(const QString &type, const QVariantMap &fields)
{
    if (!writable())
        return;
    const qint64 timeMs = m_clock().toMSecsSinceEpoch();
    post([w = m_worker, timeMs, type, fields] { w->addEvent(timeMs, type, fields); });
}

void RecordStore::verifyChain()
{
    post([w = m_worker] { w->verify(); });
}

void RecordStore::verifyCsv(const QUrl &file)
{
    const QString path = file.isLocalFile() ? file.toLocalFile() : file.toString();
    m_checkingCsv = true;
    Q_EMIT csvChecked(QString(), false, QString());
    QPointer<RecordStore> self(this);
    // A million rows take seconds: read on a pool thread, the answer posted back.
    QThreadPool::globalInstance()->start([self, path] {
        ChainVerifier verifier;
        const QString error = ::verifyCsv(path, &verifier);
        const bool intact = error.isEmpty() && !verifier.broken();
        const QString text = error.isEmpty() ? verifier.summary() : error;
        QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, path, intact, text] {
                    if (!self)
                        return;
                    self->m_checkingCsv = false;
                    Q_EMIT self->csvChecked(path, intact, text);
                },
                Qt::QueuedConnection);
    });
}

void RecordStore::setStationName(const QString &name)
{
    const QString old = stationName();
    if (name == old || !setStateValue(stationNameKey(), name))
        return;
    addEvent(QStringLiteral("station-name"),
             {{QStringLiteral("old"), old}, {QStringLiteral("new"), name}});
    Q_EMIT stationChanged();
}

QVariant RecordStore::stateValue(const QString &key, const QVariant &fallback) const
{
    return m_state.value(key, fallback);
}

bool RecordStore::setStateValue(const QString &key, const QVariant &value)
{
    if (!writable())
        return false;
    m_state.insert(key, value);
    m_stateWritten.insert(key, value);
    post([w = m_worker, key, value] { w->setState(key, value); });
    return true;
}

int RecordStore::requestRecords(qint64 fromMs, qint64 toMs)
{
    const int request = ++m_requests;
    post([w = m_worker, request, fromMs, toMs] { w->fetchBetween(request, fromMs, toMs); });
    return request;
}

void RecordStore::requestPage(int generation, qint64 beforeTimeMs, qint64 beforeId, int limit,
                              bool withVoided)
{
    post([=, w = m_worker] {
        w->fetchPage(generation, beforeTimeMs, beforeId, limit, withVoided);
    });
}

QString RecordStore::exportCsv(const QUrl &file, qint64 fromMs, qint64 toMs)
{
    return exportCsvToPath(file.isLocalFile() ? file.toLocalFile() : file.toString(), fromMs, toMs);
}

QString RecordStore::exportCsvToPath(const QString &path, qint64 fromMs, qint64 toMs)
{
    if (m_exporting)
        return tr("上一次导出还未完成");
    if (m_health == RecordWorker::Unusable)
        return tr("记录数据库无法读取，无法导出");
    m_exporting = true;
    m_progress = 0;
    m_cancel = std::make_shared<std::atomic_bool>(false);
    post([w = m_worker, path, fromMs, toMs, cancel = m_cancel] {
        w->exportCsv(path, fromMs, toMs, cancel);
    });
    Q_EMIT exportChanged();
    return QString();
}

void RecordStore::cancelExport()
{
    if (m_cancel)
        m_cancel->store(true);
}

QString RecordStore::csvField(const QString &text)
{
    return CsvFormat::textCell(text);
}

QString RecordStore::suggestedExportPath() const
{
    // The documents folder is made by the export; where it cannot be, the home folder will do.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !Tools::canMakeFolder(folder))
        folder = QDir::homePath();
    return QDir(folder).filePath(
            QStringLiteral("pelora-records-%1.csv").arg(today().toString(Qt::ISODate)));
}

QVariantMap RecordStore::dayRange(const QString &from, const QString &to) const
{
    QVariantMap range{{QStringLiteral("fromMs"), -1}, {QStringLiteral("toMs"), -1}};
    QDate days[2];
    const QString texts[2] = {from.trimmed(), to.trimmed()};
    for (int i : {0, 1}) {
        if (texts[i].isEmpty())
            continue; // an open bound
        // fromString() also takes a time after the date; the pattern holds it to the day alone.
        static const QRegularExpression form(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
        days[i] = QDate::fromString(texts[i], Qt::ISODate);
        if (!form.match(texts[i]).hasMatch() || !days[i].isValid()) {
            range.insert(QStringLiteral("error"),
                         tr("日期 %1 无效，应为实际存在的日期，如 2026-01-31").arg(texts[i]));
            return range;
        }
    }
    if (days[0].isValid() && days[1].isValid() && days[0] > days[1]) {
        range.insert(QStringLiteral("error"), tr("开始日期晚于结束日期"));
        return range;
    }
    if (days[0].isValid())
        range.insert(QStringLiteral("fromMs"), dayStart(days[0]));
    if (days[1].isValid())
        range.insert(QStringLiteral("toMs"), dayStart(days[1].addDays(1)) - 1);
    return range;
}

QVariantMap RecordStore::exportToday()
{
    const QDate day = today();
    const QString path = suggestedExportPath();
    return {{QStringLiteral("path"), path},
            {QStringLiteral("error"),
             exportCsvToPath(path, dayStart(day), dayStart(day.addDays(1)) - 1)}};
}
