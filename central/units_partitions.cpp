// The month partitions of units (units_partitions.h).
#include "central/units_partitions.h"

#include <chrono>
#include <cstdlib>

#include "central/sql_where.h"

namespace {

// tarvolo_uuid_ms: a UUIDv7 text's millisecond, NULL for any other text (never an error: the
// ids are a station's data). tarvolo_month_bound: the smallest id text of a month, its first
// millisecond as 8-4 hex digits, which sorts before every id of that millisecond.
// tarvolo_units_month: a month's partition when missing; the units the default partition
// holds for that month move into it first (a partition cannot be made over them).
constexpr const char* kFunctions = R"sql(
CREATE OR REPLACE FUNCTION tarvolo_uuid_ms(id text) RETURNS bigint LANGUAGE sql IMMUTABLE PARALLEL SAFE AS $f$
  SELECT CASE WHEN id ~ '^[0-9a-f]{8}-[0-9a-f]{4}-7' THEN ('x' || substr(id, 1, 8) || substr(id, 10, 4))::bit(48)::bigint END
$f$;
CREATE OR REPLACE FUNCTION tarvolo_month_bound(month date) RETURNS text LANGUAGE sql IMMUTABLE AS $f$
  SELECT substr(h, 1, 8) || '-' || substr(h, 9, 4)
  FROM (SELECT lpad(to_hex(greatest(0, extract(epoch FROM month::timestamp) * 1000)::bigint), 12, '0') AS h) b
$f$;
CREATE OR REPLACE FUNCTION tarvolo_units_month(month date) RETURNS void LANGUAGE plpgsql AS $f$
DECLARE
  part text := 'units_' || to_char(month, 'YYYY_MM');
  lo text := tarvolo_month_bound(month);
  hi text := tarvolo_month_bound((month + interval '1 month')::date);
BEGIN
  IF to_regclass(quote_ident(part)) IS NOT NULL THEN
    RETURN;
  END IF;
  IF EXISTS (SELECT 1 FROM units_other WHERE attempt_uuid >= lo COLLATE "C" AND attempt_uuid < hi COLLATE "C") THEN
    EXECUTE format('CREATE TABLE %I (LIKE units INCLUDING DEFAULTS INCLUDING CONSTRAINTS)', part);
    EXECUTE format('WITH moved AS (DELETE FROM units_other WHERE attempt_uuid >= %L COLLATE "C" AND '
                   'attempt_uuid < %L COLLATE "C" RETURNING *) INSERT INTO %I SELECT * FROM moved', lo, hi, part);
    EXECUTE format('ALTER TABLE units ATTACH PARTITION %I FOR VALUES FROM (%L) TO (%L)', part, lo, hi);
  ELSE
    EXECUTE format('CREATE TABLE %I PARTITION OF units FOR VALUES FROM (%L) TO (%L)', part, lo, hi);
  END IF;
END $f$;
CREATE OR REPLACE FUNCTION tarvolo_units_ahead(months int) RETURNS void LANGUAGE plpgsql AS $f$
BEGIN
  FOR i IN 0..months LOOP
    PERFORM tarvolo_units_month((date_trunc('month', now() AT TIME ZONE 'UTC') + make_interval(months => i))::date);
  END LOOP;
END $f$;
)sql";

// An older build's units: a plain table. Under its lock (stations' inserts wait, and then go
// to the new table of the same name) it is renamed, a partitioned table with its columns and
// checks takes the name, every month its units span gets a partition (ten years back at
// most: older ones wait in the default partition), the rows move, the grants and row rules
// follow, and the old table goes. Indexes come after, built once over the moved rows.
constexpr const char* kMigration = R"sql(
SET LOCAL lock_timeout = '10s';
DO $m$
DECLARE
  old regclass := to_regclass('units');
  cols text;
  first_ms bigint;
  month date;
  r record;
  n int := 0;
BEGIN
  IF old IS NULL OR (SELECT relkind FROM pg_class WHERE oid = old) <> 'r' THEN
    RETURN;
  END IF;
  LOCK TABLE units IN ACCESS EXCLUSIVE MODE;
  ALTER TABLE units RENAME TO units_unpartitioned;
  FOR r IN SELECT indexrelid::regclass AS idx FROM pg_index WHERE indrelid = old LOOP
    n := n + 1;
    EXECUTE format('ALTER INDEX %s RENAME TO %I', r.idx, 'units_unpartitioned_' || n);
  END LOOP;
  SELECT string_agg(format('%I %s%s%s%s', a.attname, format_type(a.atttypid, a.atttypmod),
           CASE WHEN a.attname = 'attempt_uuid' THEN ' COLLATE "C"' ELSE '' END,
           CASE WHEN a.attnotnull THEN ' NOT NULL' ELSE '' END,
           coalesce(' DEFAULT ' || pg_get_expr(d.adbin, d.adrelid), '')), ', ' ORDER BY a.attnum)
    INTO cols FROM pg_attribute a LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum
    WHERE a.attrelid = old AND a.attnum > 0 AND NOT a.attisdropped;
  EXECUTE format('CREATE TABLE units (%s, PRIMARY KEY (attempt_uuid)) PARTITION BY RANGE (attempt_uuid)', cols);
  FOR r IN SELECT conname, pg_get_constraintdef(oid) AS def FROM pg_constraint WHERE conrelid = old AND contype = 'c' LOOP
    EXECUTE format('ALTER TABLE units ADD CONSTRAINT %I %s', r.conname, r.def);
  END LOOP;
  CREATE TABLE units_other PARTITION OF units DEFAULT;
  SELECT min(tarvolo_uuid_ms(attempt_uuid)) INTO first_ms FROM units_unpartitioned;
  month := date_trunc('month', greatest(coalesce(to_timestamp(first_ms / 1000.0), now()),
                                        now() - interval '10 years') AT TIME ZONE 'UTC')::date;
  WHILE month <= (now() AT TIME ZONE 'UTC')::date LOOP
    PERFORM tarvolo_units_month(month);
    month := (month + interval '1 month')::date;
  END LOOP;
  INSERT INTO units SELECT * FROM units_unpartitioned;
  FOR r IN SELECT CASE WHEN x.grantee = 0 THEN 'PUBLIC' ELSE quote_ident(x.grantee::regrole::text) END AS who,
                  x.privilege_type AS what
           FROM pg_class c, aclexplode(c.relacl) x WHERE c.oid = old LOOP
    EXECUTE format('GRANT %s ON units TO %s', r.what, r.who);
  END LOOP;
  FOR r IN SELECT CASE WHEN x.grantee = 0 THEN 'PUBLIC' ELSE quote_ident(x.grantee::regrole::text) END AS who,
                  x.privilege_type AS what, a.attname
           FROM pg_attribute a, aclexplode(a.attacl) x WHERE a.attrelid = old AND a.attnum > 0 LOOP
    EXECUTE format('GRANT %s (%I) ON units TO %s', r.what, r.attname, r.who);
  END LOOP;
  FOR r IN SELECT * FROM pg_policies WHERE schemaname = current_schema() AND tablename = 'units_unpartitioned' LOOP
    EXECUTE format('CREATE POLICY %I ON units AS %s FOR %s TO %s%s%s', r.policyname, r.permissive, r.cmd,
                   (SELECT string_agg(quote_ident(role), ', ') FROM unnest(r.roles) role),
                   coalesce(' USING (' || r.qual || ')', ''), coalesce(' WITH CHECK (' || r.with_check || ')', ''));
  END LOOP;
  IF (SELECT relrowsecurity FROM pg_class WHERE oid = old) THEN
    ALTER TABLE units ENABLE ROW LEVEL SECURITY;
  END IF;
  DROP TABLE units_unpartitioned;
END $m$;
)sql";

// A new database's units; the shipped columns are added after.
constexpr const char* kFreshTable = R"sql(
CREATE TABLE IF NOT EXISTS units (
  attempt_uuid text COLLATE "C" NOT NULL,
  received timestamptz NOT NULL DEFAULT clock_timestamp(),
  PRIMARY KEY (attempt_uuid)) PARTITION BY RANGE (attempt_uuid);
CREATE TABLE IF NOT EXISTS units_other PARTITION OF units DEFAULT;
)sql";

bool digits(const std::string& text, size_t from, size_t count)
{
    for (size_t i = from; i < from + count; ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

// The month partitions before `firstDay`, oldest first, with the server's current month.
bool monthsBefore(OdbcConnection& db, const std::string& firstDay, std::vector<RetiredMonth>* months,
                  std::string* currentMonth, OdbcError* error)
{
    std::vector<OdbcRow> now, rows;
    if (!db.exec("SELECT to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM')", {}, error, &now) ||
        !db.exec("SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
                 "WHERE i.inhparent = to_regclass('units') AND c.relname ~ '^units_[0-9]{4}_[0-9]{2}$' "
                 "AND c.relname COLLATE \"C\" < 'units_' || to_char(CAST(? AS date), 'YYYY_MM') "
                 "ORDER BY c.relname COLLATE \"C\"",
                 {firstDay}, error, &rows))
        return false;
    *currentMonth = now.empty() ? "" : now[0][0].value_or("");
    for (const OdbcRow& r : rows) {
        RetiredMonth m;
        m.partition = r[0].value_or("");
        if (m.partition.size() != 13)
            continue;
        m.month = m.partition.substr(6, 4) + "-" + m.partition.substr(11, 2);
        months->push_back(std::move(m));
    }
    return true;
}

bool isPartitioned(OdbcConnection& db, bool* partitioned, OdbcError* error)
{
    std::vector<OdbcRow> rows;
    if (!db.exec("SELECT count(*) FROM pg_partitioned_table WHERE partrelid = to_regclass('units')", {}, error,
                 &rows))
        return false;
    *partitioned = !rows.empty() && sqlNumber(rows[0][0]) == 1;
    return true;
}

bool countUnits(OdbcConnection& db, RetiredMonth* m, OdbcError* error)
{
    std::vector<OdbcRow> rows;
    // The name comes from the catalogue and matched ^units_[0-9]{4}_[0-9]{2}$.
    if (!db.exec("SELECT count(*) FROM " + m->partition, {}, error, &rows))
        return false;
    m->units = rows.empty() ? 0 : sqlNumber(rows[0][0]);
    return true;
}

// One month in one transaction: a failure leaves it whole. The detach waits at most 5 s for
// the table's lock (a long query of the dashboard), so stations queued behind it are not held.
bool dropMonth(OdbcConnection& db, RetiredMonth* m, OdbcError* error)
{
    const auto start = std::chrono::steady_clock::now();
    if (!db.begin(error))
        return false;
    if (db.exec("SET LOCAL lock_timeout = '5s'", error) && countUnits(db, m, error) &&
        db.exec("ALTER TABLE units DETACH PARTITION " + m->partition, error) &&
        db.exec("DROP TABLE " + m->partition, error) && db.commit(error)) {
        m->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return true;
    }
    db.rollback();
    return false;
}

}  // namespace

std::string unitsTableSql() { return std::string(kFunctions) + kMigration + kFreshTable; }

std::string unitsMonthsAheadSql() { return "SELECT tarvolo_units_ahead(" + std::to_string(kMonthsAhead) + ");\n"; }

bool parseMonth(const std::string& text, std::string* firstDay)
{
    if (text.size() != 7 || text[4] != '-' || !digits(text, 0, 4) || !digits(text, 5, 2))
        return false;
    const int year = std::atoi(text.substr(0, 4).c_str()), month = std::atoi(text.substr(5, 2).c_str());
    if (year < 1970 || month < 1 || month > 12)
        return false;
    *firstDay = text + "-01";
    return true;
}

bool retireUnitMonths(OdbcConnection& db, const std::string& firstDay, bool dryRun, RetireResult* result,
                      const std::function<void(const RetiredMonth&)>& done, OdbcError* error)
{
    bool partitioned = false;
    if (!isPartitioned(db, &partitioned, error))
        return false;
    if (!partitioned) {
        *error = {"", "the units table is not partitioned by month yet: run tarvolo central init first"};
        return false;
    }
    if (!monthsBefore(db, firstDay, &result->months, &result->currentMonth, error))
        return false;
    if (firstDay.substr(0, 7) > result->currentMonth) {
        result->refusedCurrent = true;
        result->months.clear();
        return true;
    }
    for (RetiredMonth& m : result->months) {
        if (!(dryRun ? countUnits(db, &m, error) : dropMonth(db, &m, error)))
            return false;
        done(m);
    }
    return dryRun || db.exec(unitsMonthsAheadSql(), error);
}
