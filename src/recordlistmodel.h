#pragma once

#include <QAbstractListModel>
#include <QSet>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

class RecordStore;

// The records list, newest first, a page at a time: a view asks for more as it scrolls, and
// each page comes from the records file's own thread, so that any number of records can be
// seen and none is loaded that is not looked at. New records and voids are
// folded in as they are written, without reloading.
class RecordListModel : public QAbstractListModel
{
    Q_OBJECT
    QML_ANONYMOUS

    Q_PROPERTY(bool loading READ loading NOTIFY loadingChanged)
    // Whether void records are listed too (with their void), or only valid ones.
    Q_PROPERTY(bool showVoided READ showVoided WRITE setShowVoided NOTIFY showVoidedChanged)

public:
    static constexpr int pageSize = 200;
    enum Roles { RecordRole = Qt::UserRole + 1 };

    explicit RecordListModel(RecordStore *store);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;

    bool loading() const { return m_loading; }
    // The record in a row, as a map ({} past the end).
    Q_INVOKABLE QVariantMap get(int row) const;

    // Starts again from the newest record.
    void reload();
    void takePage(int generation, const QVariantList &rows, bool complete, bool failed);
    void takeSaved(const QVariantMap &record);
    void takeVoided(qint64 id);
    void takeAllVoided();
    bool showVoided() const { return m_showVoided; }
    void setShowVoided(bool show);
    void resume();

Q_SIGNALS:
    void loadingChanged();
    void showVoidedChanged();

private:
    void setLoading(bool loading);
    void clearRows(bool complete);

    RecordStore *m_store;
    QList<QVariantMap> m_rows;
    QSet<qint64> m_ids; // of the rows, so that none shows twice
    int m_generation = 0;
    bool m_complete = false;
    bool m_loading = false;
    bool m_failed = false;
    bool m_showVoided = false;
};
