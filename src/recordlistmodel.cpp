#include "recordlistmodel.h"

#include "recordstore.h"

#include <algorithm>

namespace {
// Newest first: by time, then by id, as the file's index orders them.
bool newer(const QVariantMap &a, const QVariantMap &b)
{
    const qint64 ta = a.value(QStringLiteral("timeMs")).toLongLong();
    const qint64 tb = b.value(QStringLiteral("timeMs")).toLongLong();
    if (ta != tb)
        return ta > tb;
    return a.value(QStringLiteral("id")).toLongLong() > b.value(QStringLiteral("id")).toLongLong();
}
} // namespace

RecordListModel::RecordListModel(RecordStore *store) : QAbstractListModel(store), m_store(store) { }

int RecordListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant RecordListModel::data(const QModelIndex &index, int role) const
{
    if (role != RecordRole || !checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    return m_rows.at(index.row());
}

QHash<int, QByteArray> RecordListModel::roleNames() const
{
    return {{RecordRole, "record"}};
}

QVariantMap RecordListModel::get(int row) const
{
    return row >= 0 && row < m_rows.size() ? m_rows.at(row) : QVariantMap();
}

bool RecordListModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && !m_complete && !m_loading;
}

void RecordListModel::fetchMore(const QModelIndex &parent)
{
    if (!canFetchMore(parent))
        return;
    setLoading(true);
    const QVariantMap last = m_rows.isEmpty() ? QVariantMap() : m_rows.constLast();
    m_store->requestPage(m_generation,
                         last.isEmpty() ? -1 : last.value(QStringLiteral("timeMs")).toLongLong(),
                         last.value(QStringLiteral("id")).toLongLong(), pageSize, m_showVoided);
}

// No rows; pages asked for before are dropped when they come.
void RecordListModel::clearRows(bool complete)
{
    beginResetModel();
    m_rows.clear();
    m_ids.clear();
    ++m_generation;
    m_complete = complete;
    m_failed = false;
    endResetModel();
    setLoading(false);
}

void RecordListModel::reload()
{
    clearRows(false);
    fetchMore({});
}

void RecordListModel::takePage(int generation, const QVariantList &rows, bool complete, bool failed)
{
    if (generation != m_generation)
        return; // asked for before a reload
    m_failed = failed;
    // A record written while its page was on the way is here already (takeSaved()).
    QList<QVariantMap> fresh;
    for (const QVariant &row : rows) {
        const QVariantMap record = row.toMap();
        if (!m_ids.contains(record.value(QStringLiteral("id")).toLongLong()))
            fresh.append(record);
    }
    if (!fresh.isEmpty()) {
        beginInsertRows({}, int(m_rows.size()), int(m_rows.size() + fresh.size() - 1));
        for (const QVariantMap &record : std::as_const(fresh)) {
            m_ids.insert(record.value(QStringLiteral("id")).toLongLong());
            m_rows.append(record);
        }
        endInsertRows();
    }
    // A page the file could not give (another program holds it) is asked for again when
    // the file is back: resume().
    m_complete = complete || failed;
    setLoading(false);
}

void RecordListModel::resume()
{
    if (!m_failed)
        return;
    m_failed = false;
    m_complete = false;
    fetchMore({});
}

void RecordListModel::takeSaved(const QVariantMap &record)
{
    if (m_ids.contains(record.value(QStringLiteral("id")).toLongLong()))
        return; // its page brought it already
    const auto at = std::lower_bound(m_rows.begin(), m_rows.end(), record, newer);
    // Older than every loaded row while more are still to come: its page will bring it.
    if (at == m_rows.end() && !m_complete)
        return;
    const int row = int(at - m_rows.begin());
    beginInsertRows({}, row, row);
    m_ids.insert(record.value(QStringLiteral("id")).toLongLong());
    m_rows.insert(row, record);
    endInsertRows();
}

void RecordListModel::takeVoided(qint64 id)
{
    if (m_showVoided) {
        reload(); // the row stays, with its void
        return;
    }
    for (int row = 0; row < m_rows.size(); ++row) {
        if (m_rows.at(row).value(QStringLiteral("id")).toLongLong() == id) {
            beginRemoveRows({}, row, row);
            m_ids.remove(id);
            m_rows.removeAt(row);
            endRemoveRows();
            return;
        }
    }
}

void RecordListModel::takeAllVoided()
{
    if (m_showVoided)
        reload();
    else
        clearRows(true);
}

void RecordListModel::setShowVoided(bool show)
{
    if (show == m_showVoided)
        return;
    m_showVoided = show;
    Q_EMIT showVoidedChanged();
    reload();
}

void RecordListModel::setLoading(bool loading)
{
    if (m_loading == loading)
        return;
    m_loading = loading;
    Q_EMIT loadingChanged();
}
