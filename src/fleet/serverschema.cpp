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
    INSERT INTO pelora.stations (id, name, owner)
        VALUES (p_station, coalesce(p_name, ''), session_user)
        ON CONFLICT (id) DO NOTHING;
    PERFORM pelora.own(p_station);
    UPDATE pelora.stations SET name = coalesce(p_name, '')
        WHERE id = p_station AND name <> coalesce(p_name, '');
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

-- A record's body read into its fields, which always come in this order: NULL for a body
-- of another form.
CREATE FUNCTION pelora.record_fields(p_body text) RETURNS text[]
LANGUAGE sql IMMUTABLE AS $$
    SELECT CASE WHEN cardinality(l) = 9 AND l[9] = ''
                 AND starts_with(l[1], E'number\t') AND substr(l[1], 8) ~ '^[0-9]{1,18}$'
                 AND starts_with(l[2], E'weight\t') AND starts_with(l[3], E'tare\t')
                 AND starts_with(l[4], E'unit\t') AND starts_with(l[5], E'mode\t')
                 AND starts_with(l[6], E'port\t') AND l[7] IN (E'manual\t0', E'manual\t1')
                 AND l[8] IN (E'migrated\t0', E'migrated\t1')
           THEN ARRAY[substr(l[1], 8), substr(l[2], 8), substr(l[3], 6), substr(l[4], 6),
                      substr(l[5], 6), substr(l[6], 6), substr(l[7], 8), substr(l[8], 10)] END
    FROM (SELECT string_to_array(p_body, E'\n') AS l) AS x
$$;

-- An escaped value as it was written.
CREATE FUNCTION pelora.unescape(v text) RETURNS text LANGUAGE sql IMMUTABLE AS $$
    SELECT CASE WHEN v IS NULL OR strpos(v, '\') = 0 THEN v ELSE
        (SELECT string_agg(CASE m[1] WHEN '\' THEN '\' WHEN 't' THEN E'\t'
                                     WHEN 'n' THEN E'\n' WHEN 'r' THEN E'\r'
                                     ELSE coalesce(m[2], '') END, '' ORDER BY i)
         FROM regexp_matches(v, '\\(.)|([^\\]+)', 'g') WITH ORDINALITY AS x(m, i)) END
$$;

-- A body's value by its name, with its escapes undone.
CREATE FUNCTION pelora.field(p_body text, p_name text) RETURNS text
LANGUAGE sql IMMUTABLE AS $$
    SELECT pelora.unescape(substring(p_body FROM '(?:^|\n)' || p_name || '\t([^\n]*)'))
$$;

-- The hash an entry must carry, as the stations compute it.
CREATE FUNCTION pelora.entry_hash(p_prev bytea, p_seq bigint, p_station text, p_kind text,
                                  p_time bigint, p_body text) RETURNS bytea
LANGUAGE sql IMMUTABLE AS $$
    SELECT sha256(p_prev || convert_to(format(
        E'pelora-chain 1\nseq\t%s\nstation\t%s\nkind\t%s\ntime\t%s\n', p_seq, p_station, p_kind,
        p_time), 'UTF8') || convert_to(p_body, 'UTF8'))
$$;

-- Takes a batch of a station's entries, oldest first, as a JSON array of
-- {seq, kind, time, body, prev, hash} (hashes in hex). An entry the server already holds
-- with the same hash is passed over, so a batch sent again inserts nothing twice; any other
-- entry must continue the chain: the next number, the last hash, and a hash that is right.
-- The batch goes in whole or not at all. Returns the station's last number afterwards.
CREATE FUNCTION pelora.append(p_station text, p_entries jsonb) RETURNS bigint
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pelora, pg_temp AS $$
DECLARE
    head_seq bigint;
    head_hash bytea;
    bad bigint;
    last_seq bigint;
    v record;
BEGIN
    PERFORM pelora.own(p_station);
    SELECT x.seq, x.hash INTO head_seq, head_hash FROM pelora.head(p_station) x;
    CREATE TEMP TABLE IF NOT EXISTS pelora_batch (seq bigint, kind text, time_ms bigint,
        body text, prev_hash bytea, hash bytea, fields text[]) ON COMMIT DROP;
    TRUNCATE pelora_batch;
    INSERT INTO pelora_batch
    SELECT x.seq, x.kind, x.time, x.body, decode(x.prev, 'hex'), decode(x.hash, 'hex'),
           CASE WHEN x.kind = 'record' THEN pelora.record_fields(x.body) END
    FROM jsonb_to_recordset(p_entries)
         AS x(seq bigint, kind text, time bigint, body text, prev text, hash text);
    -- Entries the server holds already must be the same.
    SELECT b.seq INTO bad FROM pelora_batch b
    LEFT JOIN pelora.entries e ON e.station = p_station AND e.seq = b.seq
    WHERE b.seq <= head_seq AND e.hash IS DISTINCT FROM b.hash ORDER BY b.seq LIMIT 1;
    IF FOUND THEN
        RAISE EXCEPTION 'pelora-conflict: entry % differs from the one the server holds', bad
            USING ERRCODE = 'unique_violation';
    END IF;
    DELETE FROM pelora_batch WHERE seq <= head_seq;
    -- The rest must follow on, each from the one before, each hashed right.
    SELECT n.seq INTO bad FROM (
        SELECT b.*, row_number() OVER (ORDER BY b.seq) AS i,
               coalesce(lag(b.hash) OVER (ORDER BY b.seq), head_hash) AS before
        FROM pelora_batch b) n
    WHERE n.seq <> head_seq + n.i OR n.prev_hash <> n.before OR n.kind !~ '^[a-z-]+$'
       OR pelora.entry_hash(n.prev_hash, n.seq, p_station, n.kind, n.time_ms, n.body) <> n.hash
       OR (n.kind = 'record' AND n.fields IS NULL)
    ORDER BY n.seq LIMIT 1;
    IF FOUND THEN
        RAISE EXCEPTION 'pelora-link: entry % does not continue the chain', bad
            USING ERRCODE = 'check_violation';
    END IF;
    SELECT max(seq) INTO last_seq FROM pelora_batch;
    IF last_seq IS NULL THEN
        RETURN head_seq;
    END IF;
    INSERT INTO pelora.entries (station, seq, kind, time_ms, body, prev_hash, hash)
    SELECT p_station, seq, kind, time_ms, body, prev_hash, hash FROM pelora_batch ORDER BY seq;
    INSERT INTO pelora.records (station, number, seq, time_ms, weight_kg, tare_kg, unit, mode,
                                port, manual, migrated, hash)
    SELECT p_station, fields[1]::bigint, seq, time_ms, fields[2]::double precision,
           nullif(fields[3], '')::double precision, pelora.unescape(fields[4]),
           pelora.unescape(fields[5]), pelora.unescape(fields[6]), fields[7] = '1',
           fields[8] = '1', hash
    FROM pelora_batch WHERE kind = 'record' ORDER BY seq;
    -- Voids in their order: one record, or every record still valid before it.
    FOR v IN SELECT seq, kind, body FROM pelora_batch WHERE kind IN ('void', 'void-all')
             ORDER BY seq LOOP
        IF v.kind = 'void' THEN
            UPDATE pelora.records SET voided_seq = v.seq
            WHERE station = p_station AND seq = pelora.field(v.body, 'target')::bigint
              AND voided_seq IS NULL;
        ELSE
            UPDATE pelora.records SET voided_seq = v.seq
            WHERE station = p_station AND seq < v.seq AND voided_seq IS NULL;
        END IF;
    END LOOP;
    PERFORM pg_notify('pelora_records', p_station);
    RETURN last_seq;
END
$$;

-- Checks a station's chain on the server after its entry p_after (0: from the first, else
-- the part after a part already checked): the number of entries, and at the first break its
-- number, what broke ('missing', 'link', 'changed', 'record') and, for a record, its number.
CREATE FUNCTION pelora.check(p_station text, p_after bigint DEFAULT 0, OUT entries bigint,
                             OUT break_seq bigint, OUT problem text, OUT record_number bigint)
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = pelora, pg_temp AS $$
DECLARE
    start_hash bytea := decode(repeat('00', 32), 'hex');
BEGIN
    IF p_after > 0 THEN
        SELECT x.hash INTO start_hash FROM pelora.entries x
        WHERE x.station = p_station AND x.seq = p_after;
    END IF;
    SELECT count(*) + p_after INTO entries FROM pelora.entries x
    WHERE x.station = p_station AND x.seq > p_after;
    SELECT n.seq, n.problem, n.number INTO break_seq, problem, record_number FROM (
        SELECT e.seq,
               CASE WHEN e.seq <> p_after + row_number() OVER w THEN 'missing'
                    WHEN e.prev_hash IS DISTINCT FROM
                         coalesce(lag(e.hash) OVER w, start_hash) THEN 'link'
                    WHEN pelora.entry_hash(e.prev_hash, e.seq, p_station, e.kind, e.time_ms,
                                           e.body) <> e.hash THEN 'changed'
                    WHEN e.kind = 'record' AND (c.seq IS NULL
                        OR (c.number::text, c.time_ms, c.weight_kg, c.tare_kg, c.unit, c.mode,
                            c.port, c.manual, c.migrated, c.hash) IS DISTINCT FROM
                           (f[1], e.time_ms, f[2]::double precision,
                            nullif(f[3], '')::double precision, pelora.unescape(f[4]),
                            pelora.unescape(f[5]), pelora.unescape(f[6]), f[7] = '1',
                            f[8] = '1', e.hash)) THEN 'record'
               END AS problem,
               coalesce(c.number, f[1]::bigint) AS number,
               row_number() OVER w AS i
        FROM pelora.entries e
        LEFT JOIN pelora.records c ON c.station = e.station AND c.seq = e.seq
        -- Read once per entry (OFFSET 0 keeps the planner from repeating it for each field).
        CROSS JOIN LATERAL (SELECT CASE WHEN e.kind = 'record'
                                        THEN pelora.record_fields(e.body) END AS f
                            OFFSET 0) AS p
        WHERE e.station = p_station AND e.seq > p_after
        WINDOW w AS (ORDER BY e.seq)) n
    WHERE n.problem IS NOT NULL ORDER BY n.seq LIMIT 1;
    IF FOUND THEN
        -- A missing entry is named by the number that should have come.
        IF problem = 'missing' THEN
            SELECT p_after + count(*) + 1 INTO break_seq FROM pelora.entries x
            WHERE x.station = p_station AND x.seq > p_after AND x.seq < break_seq;
        END IF;
        RETURN;
    END IF;
    break_seq := 0;
    problem := '';
    record_number := NULL;
    -- A record the chain does not hold.
    SELECT c.seq, c.number INTO break_seq, record_number FROM pelora.records c
    WHERE c.station = p_station AND c.seq > p_after AND NOT EXISTS (SELECT 1 FROM pelora.entries e
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
    pelora.record_fields(text), pelora.unescape(text),
    pelora.entry_hash(bytea, bigint, text, text, bigint, text),
    pelora.register(text, text), pelora.head(text), pelora.append(text, jsonb),
    pelora.check(text, bigint)
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
    read_ms bigint NOT NULL DEFAULT 0, -- when the station took the reading
    sent_ms bigint NOT NULL DEFAULT 0, -- when it sent it
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
                                    net, port, read_ms, sent_ms, updated)
    VALUES (p_station, coalesce((p_state->>'online')::boolean, false),
            coalesce((p_state->>'live')::boolean, false), (p_state->>'weight')::double precision,
            coalesce(p_state->>'unit', ''), coalesce((p_state->>'stable')::boolean, false),
            coalesce((p_state->>'overload')::boolean, false),
            coalesce((p_state->>'net')::boolean, false), coalesce(p_state->>'port', ''),
            coalesce((p_state->>'read')::bigint, 0), coalesce((p_state->>'sent')::bigint, 0),
            now())
    ON CONFLICT (station) DO UPDATE SET online = excluded.online, live = excluded.live,
        weight_kg = excluded.weight_kg, unit = excluded.unit, stable = excluded.stable,
        overload = excluded.overload, net = excluded.net, port = excluded.port,
        read_ms = excluded.read_ms, sent_ms = excluded.sent_ms, updated = excluded.updated
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
