#!/usr/bin/env bash
# Makes a records file holding COUNT weighing records, one every STEP_MS milliseconds from
# FIRST_MS (milliseconds since 1970; by default the history ends now): a long history, as a
# busy station gathers over a few years, to try the records page and its benchmark on.
#   scripts/make-records.sh FILE COUNT [FIRST_MS [STEP_MS]]
# The file must be new or already a records file; the records are added to what it holds.
set -euo pipefail
file="$1"
count="$2"
step="${4:-60000}"
first="${3:-$(( $(date +%s) * 1000 - count * step ))}"
mkdir -p "$(dirname "$file")"
command -v sqlite3 >/dev/null || { echo "make-records.sh: needs sqlite3 (scripts/setup.sh)" >&2; exit 1; }
sqlite3 -bail "$file" <<SQL
CREATE TABLE IF NOT EXISTS records (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time_ms INTEGER NOT NULL,
  weight_kg REAL NOT NULL,
  unit TEXT NOT NULL DEFAULT '',
  mode TEXT NOT NULL DEFAULT '',
  port TEXT NOT NULL DEFAULT '',
  manual INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS records_time ON records(time_ms);
CREATE TABLE IF NOT EXISTS state (key TEXT PRIMARY KEY, value NOT NULL);
PRAGMA user_version=2;
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < $count)
INSERT INTO records (time_ms, weight_kg, unit, mode, port, manual)
SELECT $first + i * $step,
       round(0.5 + (i * 7919 % 50000) / 1000.0, 3),
       CASE i % 5 WHEN 0 THEN '斤' ELSE '公斤' END,
       CASE i % 3 WHEN 0 THEN '净重' WHEN 1 THEN '毛重' ELSE '' END,
       '/dev/ttyUSB0',
       i % 10 = 0
FROM n;
COMMIT;
SQL
