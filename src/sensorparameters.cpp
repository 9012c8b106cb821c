#include "sensorparameters.h"

#include "sensorchannel.h"

SensorParameters::SensorParameters(SensorChannel *channel, QObject *parent)
    : QObject(parent), m_channel(channel)
{
    if (channel) {
        connect(channel, &SensorChannel::replied, this, &SensorParameters::onReplied);
        connect(channel, &SensorChannel::failed, this, &SensorParameters::onFailed);
    }
}

bool SensorParameters::read(const QString &key, const QString &query)
{
    const int id = m_channel ? m_channel->request(query) : -1;
    if (id < 0)
        return false;
    m_pending.insert(id, {Step::Read, key, {}, query});
    update(key, {{QStringLiteral("phase"), QStringLiteral("reading")}});
    return true;
}

bool SensorParameters::write(const QString &key, const QString &command, const QString &value,
                             const QString &query)
{
    const int id = m_channel ? m_channel->request(command) : -1;
    if (id < 0)
        return false;
    Pending p{Step::Write, key, value, query};
    p.previous = m_rows.value(key).toMap().value(QStringLiteral("value")).toString();
    m_pending.insert(id, p);
    update(key,
           {{QStringLiteral("phase"), QStringLiteral("setting")},
            {QStringLiteral("attempted"), value},
            {QStringLiteral("message"), QString()}});
    return true;
}

void SensorParameters::readIdentity(const QString &versionQuery, const QString &snQuery)
{
    if (!m_channel)
        return;
    const int version = m_channel->request(versionQuery);
    const int sn = m_channel->request(snQuery);
    if (version >= 0) {
        m_pending.insert(version, {Step::Version, {}, {}, {}});
        ++m_identityOpen;
    }
    if (sn >= 0) {
        m_pending.insert(sn, {Step::SerialNumber, {}, {}, {}});
        ++m_identityOpen;
    }
    if (m_identityOpen > 0) {
        m_identityState = QStringLiteral("reading");
        Q_EMIT identityChanged();
    }
}

bool SensorParameters::hasValue(const QString &key) const
{
    return !m_rows.value(key).toMap().value(QStringLiteral("value")).toString().isEmpty();
}

void SensorParameters::clear()
{
    m_pending.clear();
    m_identityOpen = 0;
    if (!m_rows.isEmpty()) {
        m_rows.clear();
        Q_EMIT rowsChanged();
    }
    m_version.clear();
    m_serialNumber.clear();
    m_identityState = QStringLiteral("idle");
    Q_EMIT identityChanged();
}

bool SensorParameters::isWrite(int id) const
{
    const auto found = m_pending.constFind(id);
    return found != m_pending.cend() && found->step == Step::Write;
}

bool SensorParameters::sameValue(const QString &a, const QString &b)
{
    bool aNumber = false;
    bool bNumber = false;
    const double x = a.toDouble(&aNumber);
    const double y = b.toDouble(&bNumber);
    if (aNumber && bNumber)
        return x == y;
    return a.trimmed().compare(b.trimmed(), Qt::CaseInsensitive) == 0;
}

void SensorParameters::update(const QString &key, const QVariantMap &fields)
{
    QVariantMap row = m_rows.value(key).toMap();
    for (auto it = fields.begin(); it != fields.end(); ++it)
        row.insert(it.key(), it.value());
    m_rows.insert(key, row);
    Q_EMIT rowsChanged();
}

std::optional<SensorParameters::Pending> SensorParameters::take(int id)
{
    const auto found = m_pending.find(id);
    if (found == m_pending.end())
        return std::nullopt;
    const Pending p = *found;
    m_pending.erase(found);
    return p;
}

void SensorParameters::onReplied(int id, bool ok, const QString &text)
{
    const std::optional<Pending> taken = take(id);
    if (!taken)
        return;
    const Pending &p = *taken;
    const QString phase = QStringLiteral("phase");
    const QString message = QStringLiteral("message");
    switch (p.step) {
    case Step::Version:
    case Step::SerialNumber:
        if (ok && p.step == Step::Version) {
            m_version = text;
        } else if (ok) {
            // "SN102145" and a bare "20230512" are both the number.
            QString sn = text;
            if (sn.startsWith(QLatin1String("SN"), Qt::CaseInsensitive))
                sn = sn.mid(2).trimmed();
            m_serialNumber = sn.isEmpty() ? text : sn;
        }
        identityDone();
        return;
    case Step::Read: {
        const QString value = SensorChannel::echoValue(text, p.key);
        if (ok && !value.isEmpty())
            update(p.key,
                   {{QStringLiteral("value"), value},
                    {phase, QStringLiteral("value")},
                    {message, QString()}});
        else
            update(p.key, {{phase, QStringLiteral("error")}, {message, text}});
        return;
    }
    case Step::Write: {
        Pending answered = p;
        answered.reply = text;
        if (!ok) {
            settle(answered, QStringLiteral("refused"), {{message, text}});
            return;
        }
        // Accepted is not yet done: the value read back decides.
        readBack(answered, true);
        return;
    }
    case Step::ReadBack: {
        const QString value = SensorChannel::echoValue(text, p.key);
        if (!ok || value.isEmpty()) {
            settle(p, p.setAnswered ? QStringLiteral("unconfirmed") : QStringLiteral("setNoReply"));
            return;
        }
        const bool took = sameValue(value, p.value);
        settle(p,
               took                    ? QStringLiteral("set")
                       : p.setAnswered ? QStringLiteral("notApplied")
                                       : QStringLiteral("setNoReply"),
               {{QStringLiteral("value"), value}});
        if (took)
            Q_EMIT confirmed(p.key, value);
        return;
    }
    }
}

void SensorParameters::onFailed(int id, const QString &reason)
{
    const std::optional<Pending> taken = take(id);
    if (!taken)
        return;
    const Pending &p = *taken;
    const QString phase = QStringLiteral("phase");
    const bool timedOut = reason == QLatin1String("timeout");
    const bool wasSent = reason != QLatin1String("unsent");
    switch (p.step) {
    case Step::Version:
    case Step::SerialNumber:
        identityDone();
        return;
    case Step::Read:
        update(p.key, {{phase, wasSent ? QStringLiteral("noreply") : QStringLiteral("idle")}});
        return;
    case Step::Write:
        if (!wasSent) {
            settle(p, hasValue(p.key) ? QStringLiteral("value") : QStringLiteral("idle"));
        } else if (!timedOut) {
            settle(p, QStringLiteral("lost"));
        } else {
            // No answer: perhaps only the answer was lost. Reading back tells.
            readBack(p, false);
        }
        return;
    case Step::ReadBack:
        settle(p,
               !timedOut               ? QStringLiteral("lost")
                       : p.setAnswered ? QStringLiteral("unconfirmed")
                                       : QStringLiteral("setNoReply"));
        return;
    }
}

void SensorParameters::readBack(const Pending &write, bool answered)
{
    Pending back = write;
    back.step = Step::ReadBack;
    back.setAnswered = answered;
    const int id = m_channel ? m_channel->request(write.query) : -1;
    if (id < 0) {
        settle(back, answered ? QStringLiteral("unconfirmed") : QStringLiteral("setNoReply"));
        return;
    }
    m_pending.insert(id, back);
    update(write.key, {{QStringLiteral("phase"), QStringLiteral("verifying")}});
}

void SensorParameters::identityDone()
{
    if (m_identityOpen > 0)
        --m_identityOpen;
    if (m_identityOpen == 0)
        m_identityState = QStringLiteral("done");
    Q_EMIT identityChanged();
}

void SensorParameters::settle(const Pending &write, const QString &phase, QVariantMap fields)
{
    fields.insert(QStringLiteral("phase"), phase);
    update(write.key, fields);
    // The phases in the words of the records' audit log; a write never sent ends back at
    // the value (or at nothing) it started from.
    static const QHash<QString, QString> outcomes{
            {QStringLiteral("set"), QStringLiteral("confirmed")},
            {QStringLiteral("refused"), QStringLiteral("refused")},
            {QStringLiteral("notApplied"), QStringLiteral("not-applied")},
            {QStringLiteral("unconfirmed"), QStringLiteral("unconfirmed")},
            {QStringLiteral("setNoReply"), QStringLiteral("no-reply")},
            {QStringLiteral("lost"), QStringLiteral("lost")},
    };
    Q_EMIT writeSettled(write.key, write.previous, write.value,
                        outcomes.value(phase, QStringLiteral("unsent")), write.reply);
}
