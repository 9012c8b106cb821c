#include "serverschema.h"

#include <QSqlError>
#include <QSqlQuery>

namespace {

// Version 1: the chain of every station and the records and events read out of it.
const char step1[] = R"SQL(
CREATE SCHEMA pelora;
REVOKE ALL ON SCHEMA pelora FROM PUBLIC;
CREATE TABLE pelora.meta (key text PRIMARY KEY, value text NOT NULL);
INSERT INTO pelora.meta VALUES ('version', '1');

CREATE TABLE pelora.stations (
    id text PRIMARY KEY CHECK (id ~ '^[A-Za-z0-9]{1,64}$'),
    name text NOT NULL DEFAULT '',
    owner name NOT NULL DEFAULT session_user,
    registered timestamptz NOT NULL DEFAULT now());

CREATE TABLE pelora.entries (
    station text NOT NULL REFERENCES pelora.stations (id),
    seq bigint NOT NULL CHECK (seq > 0),
    kind text NOT NULL,
    time_ms bigint NOT NULL,
    body text NOT NULL,
    prev_hash bytea NOT NULL,
    hash bytea NOT NULL,
    received timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (station, seq));

CREATE TABLE pelora.records (
    station text NOT NULL,
    number bigint NOT NULL,
    seq bigint NOT NULL,
    time_ms bigint NOT NULL,
    weight_kg double precision NOT NULL,
    tare_kg double precision,
    unit text NOT NULL,
    mode text NOT NULL,
    port text NOT NULL,
    manual boolean NOT NULL,
    migrated boolean NOT NULL,
    hash bytea NOT NULL,
    voided_seq bigint,
    PRIMARY KEY (station, number),
    UNIQUE (station, seq),
    FOREIGN KEY (station, seq) REFERENCES pelora.entries (station, seq));
CREATE INDEX records_time ON pelora.records (time_ms);

CREATE VIEW pelora.events AS
    SELECT station, seq, time_ms, body FROM pelora.entries WHERE kind = 'event';

-- Whoever owns the schema (the office's administrator) may act for any station.
CREATE FUNCTION pelora.is_admin() RETURNS boolean LANGUAGE sql STABLE AS $$
    SELECT pg_has_role(session_user, n.nspowner, 'MEMBER')
    FROM pg_namespace n WHERE n.nspname = 'pelora'
$$;

-- A body's value by its name, with its escapes undone.
CREATE FUNCTION pelora.field(p_body text, p_name text) RETURNS text
LANGUAGE sql IMMUTABLE AS $$
    SELECT CASE WHEN v IS NULL OR strpos(v, '\') = 0 THEN v ELSE
        (SELECT string_agg(CASE m[1] WHEN '\' THEN '\' WHEN 't' THEN E'\t'
                                     WHEN 'n' THEN E'\n' WHEN 'r' THEN E'\r'
                                     ELSE coalesce(m[2], '') END, '' ORDER BY i)
         FROM regexp_matches(v, '\\(.)|([^\\]+)', 'g') WITH ORDINALITY AS x(m, i)) END
    FROM (SELECT substring(p_body FROM '(?:^|\n)' || p_name || '\t([^\n]*)') AS v) AS f
$$;

-- Nothing of the chain is ever changed or deleted; a record only ever gains its void mark.
CREATE FUNCTION pelora.refuse_change() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    IF TG_OP = 'UPDATE' AND TG_TABLE_NAME = 'records' AND OLD.voided_seq IS NULL
       AND NEW.voided_seq IS NOT NULL
       AND (NEW.station, NEW.number, NEW.seq, NEW.time_ms, NEW.weight_kg, NEW.tare_kg,
            NEW.unit, NEW.mode, NEW.port, NEW.manual, NEW.migrated, NEW.hash)
           IS NOT DISTINCT FROM
           (OLD.station, OLD.number, OLD.seq, OLD.time_ms, OLD.weight_kg, OLD.tare_kg,
            OLD.unit, OLD.mode, OLD.port, OLD.manual, OLD.migrated, OLD.hash) THEN
        RETURN NEW;
    END IF;
    RAISE EXCEPTION 'pelora: % of % is not allowed', TG_OP, TG_TABLE_NAME
        USING ERRCODE = 'insufficient_privilege';
END
$$;
CREATE TRIGGER entries_frozen BEFORE UPDATE OR DELETE ON pelora.entries
    FOR EACH ROW EXECUTE FUNCTION pelora.refuse_change();
CREATE TRIGGER records_frozen BEFORE UPDATE OR DELETE ON pelora.records
    FOR EACH ROW EXECUTE FUNCTION pelora.refuse_change();
CREATE TRIGGER stations_kept BEFORE DELETE ON pelora.stations
    FOR EACH ROW EXECUTE FUNCTION pelora.refuse_change();

-- The station's row, made by the first role that registers it; only that role (or the
-- administrator) may write for it afterwards.
CREATE FUNCTION pelora.own(p_station text) RETURNS pelora.stations
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelora, pg_temp AS $$
DECLARE
    st pelora.stations;
BEGIN
    SELECT * INTO st FROM pelora.stations WHERE id = p_station FOR UPDATE;
    IF NOT FOUND THEN
        RAISE EXCEPTION 'pelora: station % is not registered', p_station
            USING ERRCODE = 'no_data_found';
    END IF;
    IF st.owner <> session_user AND NOT pelora.is_admin() THEN
        RAISE EXCEPTION 'pelora: station % belongs to role %', p_station, st.owner
            USING ERRCODE = 'insufficient_privilege';
    END IF;
    RETURN st;
END
$$;

CREATE FUNCTION pelora.register(p_station text, p_name text) RETURNS void
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelora, pg_temp AS $$
BEGIN
    INSERT INTO pelora.stations (id, name, owner) VALUES (p_station, p_name, session_user)
        ON CONFLICT (id) DO NOTHING;
    PERFORM pelora.own(p_station);
    UPDATE pelora.stations SET name = p_name WHERE id = p_station AND name <> p_name;
END
$$;

-- The station's last entry: its number (0 for none) and its hash.
CREATE FUNCTION pelora.head(p_station text, OUT seq bigint, OUT hash bytea)
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pelora, pg_temp AS $$
    SELECT coalesce(max(e.seq), 0),
           coalesce((SELECT e2.hash FROM pelora.entries e2 WHERE e2.station = p_station
                     ORDER BY e2.seq DESC LIMIT 1), decode(repeat('00', 32), 'hex'))
    FROM pelora.entries e WHERE e.station = p_station
$$;

-- Takes a batch of a station's entries, oldest first, as a JSON array of
-- {seq, kind, time, body, prev, hash} (hashes in hex). An entry the server already holds
-- with the same hash is passed over, so a batch sent again inserts nothing twice; any other
-- entry must continue the chain: the next number, the last hash, and a hash that is right.
-- Returns the station's last number afterwards.
CREATE FUNCTION pelora.append(p_station text, p_entries jsonb) RETURNS bigint
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelora, pg_temp AS $$
DECLARE
    e jsonb;
    head_seq bigint;
    head_hash bytea;
    s bigint;
    k text;
    t bigint;
    b text;
    p bytea;
    h bytea;
    held bytea;
    added integer := 0;
BEGIN
    PERFORM pelora.own(p_station);
    SELECT x.seq, x.hash INTO head_seq, head_hash FROM pelora.head(p_station) x;
    FOR e IN SELECT value FROM jsonb_array_elements(p_entries) LOOP
        s := (e->>'seq')::bigint;
        k := e->>'kind';
        t := (e->>'time')::bigint;
        b := e->>'body';
        p := decode(e->>'prev', 'hex');
        h := decode(e->>'hash', 'hex');
        IF s <= head_seq THEN
            SELECT x.hash INTO held FROM pelora.entries x WHERE x.station = p_station AND x.seq = s;
            IF held IS DISTINCT FROM h THEN
                RAISE EXCEPTION 'pelora-conflict: entry % differs from the one the server holds', s
                    USING ERRCODE = 'unique_violation';
            END IF;
            CONTINUE;
        END IF;
        IF s <> head_seq + 1 THEN
            RAISE EXCEPTION 'pelora-gap: entry % follows entry %', s, head_seq
                USING ERRCODE = 'check_violation';
        END IF;
        IF p <> head_hash OR k !~ '^[a-z-]+$' OR sha256(p || convert_to(format(
                E'pelora-chain 1\nseq\t%s\nstation\t%s\nkind\t%s\ntime\t%s\n', s, p_station, k, t),
                'UTF8') || convert_to(b, 'UTF8')) <> h THEN
            RAISE EXCEPTION 'pelora-link: entry % does not continue the chain', s
                USING ERRCODE = 'check_violation';
        END IF;
        INSERT INTO pelora.entries (station, seq, kind, time_ms, body, prev_hash, hash)
            VALUES (p_station, s, k, t, b, p, h);
        IF k = 'record' THEN
            INSERT INTO pelora.records (station, number, seq, time_ms, weight_kg, tare_kg, unit,
                                        mode, port, manual, migrated, hash)
            VALUES (p_station, pelora.field(b, 'number')::bigint, s, t,
                    pelora.field(b, 'weight')::double precision,
                    nullif(pelora.field(b, 'tare'), '')::double precision,
                    coalesce(pelora.field(b, 'unit'), ''), coalesce(pelora.field(b, 'mode'), ''),
                    coalesce(pelora.field(b, 'port'), ''), pelora.field(b, 'manual') = '1',
                    pelora.field(b, 'migrated') = '1', h);
        ELSIF k = 'void' THEN
            UPDATE pelora.records SET voided_seq = s
            WHERE station = p_station AND seq = pelora.field(b, 'target')::bigint
              AND voided_seq IS NULL;
        ELSIF k = 'void-all' THEN
            UPDATE pelora.records SET voided_seq = s
            WHERE station = p_station AND voided_seq IS NULL;
        END IF;
        head_seq := s;
        head_hash := h;
        added := added + 1;
    END LOOP;
    IF added > 0 THEN
        PERFORM pg_notify('pelora_records', p_station);
    END IF;
    RETURN head_seq;
END
$$;

-- Checks a station's chain on the server from its first entry: the number of entries, and
-- at the first break its number, what broke ('missing', 'link', 'changed', 'record') and,
-- for a record, its number.
CREATE FUNCTION pelora.check(p_station text, OUT entries bigint, OUT break_seq bigint,
                             OUT problem text, OUT record_number bigint)
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = pelora, pg_temp AS $$
DECLARE
    r record;
    prev bytea := decode(repeat('00', 32), 'hex');
BEGIN
    entries := 0;
    break_seq := 0;
    problem := '';
    FOR r IN SELECT e.seq, e.kind, e.time_ms, e.body, e.prev_hash, e.hash, c.seq AS rseq,
                    c.number, c.time_ms AS rtime, c.weight_kg, c.tare_kg, c.unit, c.mode, c.port,
                    c.manual, c.migrated, c.hash AS rhash
             FROM pelora.entries e
             LEFT JOIN pelora.records c ON c.station = e.station AND c.seq = e.seq
             WHERE e.station = p_station ORDER BY e.seq LOOP
        IF r.seq <> entries + 1 THEN
            break_seq := entries + 1;
            problem := 'missing';
            RETURN;
        END IF;
        break_seq := r.seq;
        IF r.prev_hash <> prev THEN
            problem := 'link';
            RETURN;
        END IF;
        IF sha256(r.prev_hash || convert_to(format(
                E'pelora-chain 1\nseq\t%s\nstation\t%s\nkind\t%s\ntime\t%s\n', r.seq, p_station,
                r.kind, r.time_ms), 'UTF8') || convert_to(r.body, 'UTF8')) <> r.hash THEN
            problem := 'changed';
            RETURN;
        END IF;
        IF r.kind = 'record' AND (r.rseq IS NULL
            OR (r.number, r.rtime, r.weight_kg, r.tare_kg, r.unit, r.mode, r.port, r.manual,
                r.migrated, r.rhash) IS DISTINCT FROM
               (pelora.field(r.body, 'number')::bigint, r.time_ms,
                pelora.field(r.body, 'weight')::double precision,
                nullif(pelora.field(r.body, 'tare'), '')::double precision,
                coalesce(pelora.field(r.body, 'unit'), ''), coalesce(pelora.field(r.body, 'mode'), ''),
                coalesce(pelora.field(r.body, 'port'), ''), pelora.field(r.body, 'manual') = '1',
                pelora.field(r.body, 'migrated') = '1', r.hash)) THEN
            problem := 'record';
            record_number := coalesce(r.number, pelora.field(r.body, 'number')::bigint);
            RETURN;
        END IF;
        prev := r.hash;
        entries := entries + 1;
    END LOOP;
    break_seq := 0;
    -- A record the chain does not hold.
    SELECT c.seq, c.number INTO break_seq, record_number FROM pelora.records c
    WHERE c.station = p_station AND NOT EXISTS (SELECT 1 FROM pelora.entries e
        WHERE e.station = c.station AND e.seq = c.seq AND e.kind = 'record') LIMIT 1;
    IF FOUND THEN
        problem := 'record';
    ELSE
        break_seq := 0;
    END IF;
END
$$;

REVOKE ALL ON ALL TABLES IN SCHEMA pelora FROM PUBLIC;
REVOKE ALL ON ALL FUNCTIONS IN SCHEMA pelora FROM PUBLIC;
GRANT USAGE ON SCHEMA pelora TO pelora_station;
GRANT SELECT ON pelora.meta, pelora.stations, pelora.entries, pelora.records, pelora.events
    TO pelora_station;
GRANT EXECUTE ON FUNCTION pelora.is_admin(), pelora.field(text, text),
    pelora.register(text, text), pelora.head(text), pelora.append(text, jsonb),
    pelora.check(text)
    TO pelora_station;
)SQL";

// Version 2: each station's live reading, one row per station, announced as it changes.
const char step2[] = R"SQL(
CREATE TABLE pelora.status (
    station text PRIMARY KEY REFERENCES pelora.stations (id),
    online boolean NOT NULL DEFAULT false,
    live boolean NOT NULL DEFAULT false,
    weight_kg double precision,
    unit text NOT NULL DEFAULT '',
    stable boolean NOT NULL DEFAULT false,
    overload boolean NOT NULL DEFAULT false,
    net boolean NOT NULL DEFAULT false,
    port text NOT NULL DEFAULT '',
    sent_ms bigint NOT NULL DEFAULT 0,
    updated timestamptz NOT NULL DEFAULT now());

-- The station's live state as a JSON object of the columns above; everyone listening on
-- "pelora_status" gets it at once, with the station's id.
CREATE FUNCTION pelora.publish(p_station text, p_state jsonb) RETURNS void
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelora, pg_temp AS $$
DECLARE
    r pelora.status;
BEGIN
    PERFORM pelora.own(p_station);
    INSERT INTO pelora.status AS s (station, online, live, weight_kg, unit, stable, overload,
                                    net, port, sent_ms, updated)
    VALUES (p_station, coalesce((p_state->>'online')::boolean, false),
            coalesce((p_state->>'live')::boolean, false), (p_state->>'weight')::double precision,
            coalesce(p_state->>'unit', ''), coalesce((p_state->>'stable')::boolean, false),
            coalesce((p_state->>'overload')::boolean, false),
            coalesce((p_state->>'net')::boolean, false), coalesce(p_state->>'port', ''),
            coalesce((p_state->>'sent')::bigint, 0), now())
    ON CONFLICT (station) DO UPDATE SET online = excluded.online, live = excluded.live,
        weight_kg = excluded.weight_kg, unit = excluded.unit, stable = excluded.stable,
        overload = excluded.overload, net = excluded.net, port = excluded.port,
        sent_ms = excluded.sent_ms, updated = excluded.updated
    RETURNING * INTO r;
    PERFORM pg_notify('pelora_status', (to_jsonb(r) - 'updated')::text);
END
$$;

UPDATE pelora.meta SET value = '2' WHERE key = 'version';
REVOKE ALL ON pelora.status FROM PUBLIC;
REVOKE ALL ON FUNCTION pelora.publish(text, jsonb) FROM PUBLIC;
GRANT SELECT ON pelora.status TO pelora_station;
GRANT EXECUTE ON FUNCTION pelora.publish(text, jsonb) TO pelora_station;
)SQL";

} // namespace

QStringList ServerSchema::steps()
{
    return {QString::fromUtf8(step1), QString::fromUtf8(step2)};
}

QString ServerSchema::reason(const QSqlError &error)
{
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.driverText().trimmed();
    if (text.startsWith(QLatin1String("ERROR:")))
        text = text.mid(6).trimmed();
    return text.section(u'\n', 0, 0);
}

int ServerSchema::found(QSqlDatabase &db, QString *why)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT to_regclass('pelora.meta') IS NOT NULL")) || !q.next()) {
        *why = reason(q.lastError());
        return -1;
    }
    if (!q.value(0).toBool())
        return 0;
    if (!q.exec(QStringLiteral("SELECT value FROM pelora.meta WHERE key = 'version'"))
        || !q.next()) {
        *why = reason(q.lastError());
        return -1;
    }
    return q.value(0).toInt();
}

bool ServerSchema::ensure(QSqlDatabase &db, QString *why, int target)
{
    int have = found(db, why);
    if (have < 0)
        return false;
    if (have > version) {
        *why = tr("服务器上的数据结构来自更新的 Pelora（版本 %1），此版本只认识到版本 %2，"
                  "请升级本机的 Pelora")
                       .arg(have)
                       .arg(version);
        return false;
    }
    if (have >= target)
        return true;
    QSqlQuery q(db);
    const auto fail = [&](const QString &text) {
        *why = text;
        q.exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    if (!db.transaction()) {
        *why = reason(db.lastError());
        return false;
    }
    // One upgrade at a time: the others wait here and then find it done.
    if (!q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(7254301)")))
        return fail(reason(q.lastError()));
    have = found(db, why);
    if (have < 0)
        return fail(*why);
    if (!q.exec(QStringLiteral("SELECT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = '%1')")
                        .arg(stationRole()))
        || !q.next())
        return fail(reason(q.lastError()));
    if (!q.value(0).toBool()
        && !q.exec(QStringLiteral("CREATE ROLE %1 NOLOGIN").arg(stationRole()))) {
        return fail(tr("服务器上没有角色 %1，此账户也无权建立（%2）：请管理员先建立它")
                            .arg(stationRole(), reason(q.lastError())));
    }
    const QStringList sql = steps();
    for (int step = have; step < target; ++step) {
        if (!q.exec(sql.at(step))) {
            const QString text = reason(q.lastError());
            if (have == 0)
                return fail(tr("服务器上还没有 Pelora 的数据结构，此账户无权建立（%1）："
                               "请用数据库所有者的账户连接一次")
                                    .arg(text));
            return fail(tr("服务器上的数据结构是旧版本（%1），此账户无权升级（%2）："
                           "请用数据库所有者的账户连接一次")
                                .arg(have)
                                .arg(text));
        }
    }
    if (!db.commit())
        return fail(reason(db.lastError()));
    return true;
}
