-- Trace store through SQL: starting, ending, listing and removing traces as a
-- superuser, as a member of vireo_admin and as a plain user.
--
-- Identifiers and times change from run to run.  Each trace started here is
-- kept in the table ids under a short name, and the views and helpers below
-- print that name, and compare times instead of printing them.

-- This session records nothing itself, so its traces hold only trace.ini.
SET vireo.enabled = off;
-- End whatever earlier tests left running: all 15 slots are free from here on.
SELECT count(vr_deactivate(trace_id)) >= 0 AS ended FROM vr_active_traces();

CREATE ROLE regress_vireo_alice;
CREATE ROLE regress_vireo_bob;
CREATE ROLE regress_vireo_admin IN ROLE vireo_admin;

CREATE TEMP TABLE ids (name text PRIMARY KEY, id text NOT NULL UNIQUE, started timestamptz);
GRANT ALL ON ids TO PUBLIC;

-- A role by name; the bootstrap superuser, whose name is the name of whoever
-- runs the tests, is shown as "superuser".
CREATE FUNCTION pg_temp.who(r oid) RETURNS text LANGUAGE sql STABLE AS $$
    SELECT CASE WHEN r = 10 THEN 'superuser'
                ELSE coalesce((SELECT rolname::text FROM pg_roles WHERE oid = r), r::text) END
$$;
CREATE FUNCTION pg_temp.whos(v oidvector) RETURNS text LANGUAGE sql STABLE AS $$
    SELECT string_agg(pg_temp.who(u), ',' ORDER BY n) FROM unnest(v::oid[]) WITH ORDINALITY AS x(u, n)
$$;
-- Databases by name; this test's database is "this".
CREATE FUNCTION pg_temp.dbs(v oidvector) RETURNS text LANGUAGE sql STABLE AS $$
    SELECT string_agg(coalesce((SELECT CASE WHEN datname = current_database() THEN 'this'
                                            ELSE datname::text END
                                  FROM pg_database WHERE oid = d), d::text), ',' ORDER BY n)
      FROM unnest(v::oid[]) WITH ORDINALITY AS x(d, n)
$$;
-- Identifiers of known traces replaced by <name>.
CREATE FUNCTION pg_temp.masked(t text) RETURNS text LANGUAGE plpgsql STABLE AS $$
DECLARE
    r record;
BEGIN
    FOR r IN SELECT name, id FROM ids LOOP
        t := replace(t, r.id, '<' || r.name || '>');
    END LOOP;
    RETURN t;
END
$$;
-- Runs a query of one value and shows the value, or the error with its SQLSTATE.
CREATE FUNCTION pg_temp.try(query text) RETURNS text LANGUAGE plpgsql AS $$
DECLARE
    result text;
BEGIN
    EXECUTE query INTO result;
    RETURN pg_temp.masked(result);
EXCEPTION WHEN others THEN
    RETURN 'ERROR ' || SQLSTATE || ': ' || pg_temp.masked(SQLERRM);
END
$$;
-- A trace's trace.ini with times, role oids and this database masked.
CREATE FUNCTION pg_temp.ini(trace text) RETURNS text LANGUAGE plpgsql AS $$
DECLARE
    t text;
    r record;
BEGIN
    SELECT pg_read_file('traces/' || id || '/trace.ini') INTO STRICT t FROM ids WHERE name = trace;
    t := regexp_replace(t, '\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d+)?[+-]\d\d(:\d\d)?', '<time>', 'g');
    FOR r IN SELECT oid FROM pg_roles WHERE rolname LIKE 'regress_vireo%' OR oid = 10 LOOP
        t := regexp_replace(t, '\m' || r.oid || '\M', pg_temp.who(r.oid), 'g');
    END LOOP;
    RETURN regexp_replace(t, '\m' || (SELECT oid FROM pg_database WHERE datname = current_database()) || '\M',
                          'this', 'g');
END
$$;
-- Trace directories under the traces root that hold nothing.
CREATE FUNCTION pg_temp.empty_dirs() RETURNS SETOF text LANGUAGE sql AS $$
    SELECT d FROM pg_ls_dir('traces') d
     WHERE d ~ '^\d{20}$' AND (pg_stat_file('traces/' || d)).isdir
       AND NOT EXISTS (SELECT FROM pg_ls_dir('traces/' || d))
$$;

-- The running traces as vr_active_traces shows them to the current user.
CREATE TEMP VIEW active AS
SELECT coalesce(i.name, '?') AS name, pg_temp.who(a.owner) AS owner, a.start_time = i.started AS start_ok,
       a."max_trace_size (MB)" AS max_mb, a."curr_log_size (MB)" AS curr_mb,
       a.log_min_duration AS min_ms, pg_temp.whos(a.users_list) AS users,
       pg_temp.dbs(a.database_list) AS dbs
  FROM vr_active_traces() a LEFT JOIN ids i ON i.id = a.trace_id;
-- The stored traces of this test as vr_traces_list shows them.
CREATE TEMP VIEW listed AS
SELECT i.name, l.comments, l.start_time = i.started AS start_ok, pg_temp.who(l.owner) AS owner,
       pg_temp.whos(l.users_list) AS users, pg_temp.dbs(l.database_list) AS dbs,
       l.max_size AS max_mb,
       CASE WHEN l.end_time IS NULL THEN 'none'
            WHEN l.end_time = l.finish_time THEN 'at finish'
            ELSE (l.end_time - l.start_time)::text END AS end_time,
       l.finish_time IS NOT NULL AS finished, l.status, l.version
  FROM vr_traces_list() l JOIN ids i ON i.id = l.trace_id;
GRANT SELECT ON active, listed TO PUBLIC;

--
-- A superuser traces every user (NULL list) in this database, with a size
-- limit of 100 MB, a minimum duration of 250 ms and a time limit of an hour.
--
INSERT INTO ids
SELECT 'su', vr_activate('superuser''s "first" trace', NULL,
                         ARRAY[(SELECT oid FROM pg_database WHERE datname = current_database())],
                         100, 250, '1 hour'),
       statement_timestamp();
-- The identifier: the statement start in UTC, then the 6-digit activation counter.
SELECT left(id, 14) = to_char(started AT TIME ZONE 'UTC', 'YYYYMMDDHH24MISS') AS starts_with_utc_time,
       right(id, 6) ~ '^\d{6}$' AS counter
  FROM ids WHERE name = 'su';
SELECT * FROM active ORDER BY name;
SELECT * FROM listed ORDER BY name;
SELECT pg_temp.ini('su') AS "trace.ini";
SELECT (pg_stat_file('traces/' || id)).isdir AS trace_directory FROM ids WHERE name = 'su';

-- Defaults: no lists, no size limit, no minimum duration, no time limit.
INSERT INTO ids SELECT 'defaults', vr_activate('defaults'), statement_timestamp();
-- Empty lists mean everybody; -5 ms becomes 0; 100 MB is stored as bytes.
INSERT INTO ids SELECT 'sizes', vr_activate('', '{}', '{}', 100, -5), statement_timestamp();
SELECT * FROM active WHERE name IN ('defaults', 'sizes') ORDER BY name;
SELECT name, comments, max_mb, end_time, status FROM listed WHERE name IN ('defaults', 'sizes') ORDER BY name;
SELECT pg_temp.ini('sizes') AS "trace.ini";

-- Two activations in one statement share its start second; the counter,
-- raised by one at each activation, tells them apart.
INSERT INTO ids
SELECT 'twin' || n, id, statement_timestamp()
  FROM unnest(ARRAY[vr_activate('twin 1'), vr_activate('twin 2')]) WITH ORDINALITY AS t(id, n);
SELECT left(a.id, 14) = left(b.id, 14) AS same_second,
       right(b.id, 6)::int - right(a.id, 6)::int AS step
  FROM ids a, ids b WHERE a.name = 'twin1' AND b.name = 'twin2';

--
-- Refused arguments change nothing: no slot, no directory, no counter step.
--
SELECT count(*) AS dirs_before FROM pg_ls_dir('traces') \gset
SELECT vr_activate(NULL);
\echo :LAST_ERROR_SQLSTATE
SELECT vr_activate('zero', NULL, NULL, NULL, NULL, '0 seconds');
\echo :LAST_ERROR_SQLSTATE
SELECT vr_activate('negative', NULL, NULL, NULL, NULL, '-1 minute');
\echo :LAST_ERROR_SQLSTATE
SELECT vr_activate('one month less 30 days', NULL, NULL, NULL, NULL, '1 month -30 days');
\echo :LAST_ERROR_SQLSTATE
SELECT vr_activate('11 users', array_fill(10::oid, ARRAY[11]));
\echo :LAST_ERROR_SQLSTATE
SELECT vr_activate('11 databases', NULL, array_fill(1::oid, ARRAY[11]));
\echo :LAST_ERROR_SQLSTATE
SELECT vr_activate('NULL user', ARRAY[10, NULL]::oid[]);
\echo :LAST_ERROR_SQLSTATE
SELECT vr_activate('NULL database', NULL, ARRAY[NULL]::oid[]);
\echo :LAST_ERROR_SQLSTATE
SELECT vr_activate('2-D users', '{{10},{10}}');
\echo :LAST_ERROR_SQLSTATE
SELECT vr_activate('2-D databases', NULL, '{{1,1}}');
\echo :LAST_ERROR_SQLSTATE
SELECT count(*) = :dirs_before AS no_new_directory FROM pg_ls_dir('traces');
SELECT count(*) AS running FROM active;
-- Exactly ten of each are taken.
SELECT array_agg(oid ORDER BY oid) AS ten_roles FROM (SELECT oid FROM pg_roles ORDER BY oid LIMIT 10) r \gset
INSERT INTO ids
SELECT 'ten', vr_activate('ten of each', :'ten_roles',
                          array_fill((SELECT oid FROM pg_database WHERE datname = current_database()), ARRAY[10])),
       statement_timestamp();
SELECT right(t.id, 6)::int - right(w.id, 6)::int AS step_since_twin2
  FROM ids t, ids w WHERE t.name = 'ten' AND w.name = 'twin2';
SELECT array_to_string(a.users_list::oid[], ',') = array_to_string(:'ten_roles'::oid[], ',') AS users_kept, pg_temp.dbs(a.database_list) AS dbs
  FROM vr_active_traces() a JOIN ids i ON i.id = a.trace_id WHERE i.name = 'ten';
SELECT array_to_string(l.users_list::oid[], ',') = array_to_string(:'ten_roles'::oid[], ',') AS users_kept, pg_temp.dbs(l.database_list) AS dbs
  FROM vr_traces_list() l JOIN ids i ON i.id = l.trace_id WHERE i.name = 'ten';

--
-- An unknown user or database, and a plain user who names someone else,
-- fail before anything is made: no slot is taken and no directory is left
-- behind.
--
DO $$
DECLARE
    before text[] := ARRAY(SELECT pg_temp.empty_dirs());
    running bigint := (SELECT count(*) FROM vr_active_traces());
    made text[];
    id text;
BEGIN
    BEGIN
        PERFORM vr_activate('unknown user', ARRAY[10, 4294967295]::oid[]);
    EXCEPTION WHEN others THEN
        RAISE NOTICE '% %', SQLSTATE, SQLERRM;
    END;
    BEGIN
        PERFORM vr_activate('unknown database', NULL, '{4294967294}');
    EXCEPTION WHEN others THEN
        RAISE NOTICE '% %', SQLSTATE, SQLERRM;
    END;
    BEGIN
        SET ROLE regress_vireo_alice;
        PERFORM vr_activate('alice for bob', ARRAY['regress_vireo_alice'::regrole, 'regress_vireo_bob'::regrole]::oid[]);
    EXCEPTION WHEN others THEN
        RAISE NOTICE '% %', SQLSTATE, SQLERRM;
    END;
    made := ARRAY(SELECT pg_temp.empty_dirs() EXCEPT SELECT unnest(before));
    RAISE NOTICE 'empty directories left behind: %', cardinality(made);
    RAISE NOTICE 'slots taken: %', (SELECT count(*) FROM vr_active_traces()) - running;
    id := vr_activate('takes over');
    INSERT INTO ids VALUES ('takeover', id, statement_timestamp());
END
$$;
SELECT name, comments, status FROM listed WHERE name = 'takeover';
SELECT count(*) AS still_empty FROM pg_temp.empty_dirs() d JOIN ids ON id = d;

--
-- A plain user traces only himself, whatever he passes.
--
SET ROLE regress_vireo_alice;
INSERT INTO ids SELECT 'alice', vr_activate('alice: NULL users'), statement_timestamp();
INSERT INTO ids SELECT 'alice own', vr_activate('alice: her own oid', ARRAY['regress_vireo_alice'::regrole]::oid[]),
                       statement_timestamp();
INSERT INTO ids SELECT 'alice empty', vr_activate('alice: empty list', '{}'), statement_timestamp();
-- ... and sees only her own running traces.
SELECT name, owner, users, dbs FROM active ORDER BY name;
SET ROLE regress_vireo_bob;
INSERT INTO ids SELECT 'bob', vr_activate('bob', NULL, NULL, 1), statement_timestamp();
SELECT name, owner, users, max_mb FROM active ORDER BY name;
-- Everybody lists every stored trace, whoever owns it.
SELECT name, owner, users FROM listed WHERE name LIKE 'alice%' OR name = 'bob' ORDER BY name;

-- A member of vireo_admin traces whom he likes and sees every running trace.
SET ROLE regress_vireo_admin;
INSERT INTO ids
SELECT 'admin', vr_activate('admin: alice and bob', ARRAY['regress_vireo_alice'::regrole, 'regress_vireo_bob'::regrole]::oid[]),
       statement_timestamp();
-- (the built-in roles of "ten" differ between server versions)
SELECT name, owner, CASE WHEN name = 'ten' THEN '...' ELSE users END AS users FROM active ORDER BY name;
RESET ROLE;

-- The sixteenth running trace is refused with 55006, and nothing changes.
SELECT count(*) AS running FROM active;
INSERT INTO ids
SELECT 'filler' || g, vr_activate('filler'), statement_timestamp()
  FROM generate_series(1, 15 - (SELECT count(*) FROM vr_active_traces())) g;
SELECT count(*) AS running FROM active;
SELECT count(*) AS dirs_before FROM pg_ls_dir('traces') \gset
SELECT vr_activate('one too many');
\echo :LAST_ERROR_SQLSTATE
SELECT count(*) AS running FROM active;
SELECT count(*) - :dirs_before AS new_directories FROM pg_ls_dir('traces');
SELECT bool_and(vr_deactivate(id)) AS fillers_ended FROM ids WHERE name LIKE 'filler%';
INSERT INTO ids SELECT 'after fillers', vr_activate('a slot is free again'), statement_timestamp();

--
-- Deactivation
--
-- Somebody else's trace: refused to a plain user.
SET ROLE regress_vireo_bob;
SELECT name, pg_temp.try(format('SELECT vr_deactivate(%L)', id)) FROM ids WHERE name = 'alice';
-- The owner may.
SET ROLE regress_vireo_alice;
SELECT vr_deactivate(id) FROM ids WHERE name = 'alice';
-- So may a member of vireo_admin.
SET ROLE regress_vireo_admin;
SELECT vr_deactivate(id) FROM ids WHERE name = 'alice own';
RESET ROLE;
-- A time-limited trace ended early keeps its planned end time.
SELECT vr_deactivate(id) FROM ids WHERE name = 'su';
SELECT name, finished, end_time, status FROM listed WHERE name IN ('su', 'alice', 'alice own', 'alice empty') ORDER BY name;
SELECT pg_temp.ini('su') AS "trace.ini";
SELECT pg_temp.ini('alice') AS "trace.ini";
SELECT name FROM active WHERE name IN ('su', 'alice', 'alice own');
-- Unknown and ended traces give a warning and false while other traces run.
SELECT vr_deactivate('00000000000000000000');
SET client_min_messages = error;
SELECT vr_deactivate(id) FROM ids WHERE name = 'su';
RESET client_min_messages;
SELECT vr_deactivate(NULL);
\echo :LAST_ERROR_SQLSTATE

--
-- Cleanup of one trace
--
-- A running trace needs force, which deactivates it first.
SELECT pg_temp.try(format('SELECT vr_cleanup(%L)', id)) FROM ids WHERE name = 'defaults';
SELECT pg_temp.try(format('SELECT vr_cleanup(%L, NULL)', id)) FROM ids WHERE name = 'defaults';
SELECT name, status FROM listed WHERE name = 'defaults';
SELECT vr_cleanup(id, true) FROM ids WHERE name = 'defaults';
SELECT count(*) AS left_over FROM listed WHERE name = 'defaults';
SELECT count(*) AS left_over FROM active WHERE name = 'defaults';
SELECT (pg_stat_file('traces/' || id, true)).isdir AS directory FROM ids WHERE name = 'defaults';
-- An ended trace goes without force.
SELECT vr_cleanup(id) FROM ids WHERE name = 'su';
SELECT count(*) AS left_over FROM listed WHERE name = 'su';
-- Only its owner or a superuser removes a trace; vireo_admin is not enough.
SET ROLE regress_vireo_bob;
SELECT pg_temp.try(format('SELECT vr_cleanup(%L)', id)) FROM ids WHERE name = 'alice';
SET ROLE regress_vireo_admin;
SELECT pg_temp.try(format('SELECT vr_cleanup(%L)', id)) FROM ids WHERE name = 'alice';
SELECT pg_temp.try(format('SELECT vr_cleanup(%L)', id)) FROM ids WHERE name = 'alice own';
SET ROLE regress_vireo_alice;
SELECT vr_cleanup(id) FROM ids WHERE name = 'alice';
-- With force, a plain user may not end someone else's trace ...
SET ROLE regress_vireo_bob;
SELECT pg_temp.try(format('SELECT vr_cleanup(%L, true)', id)) FROM ids WHERE name = 'alice empty';
-- ... while vireo_admin may: the trace ends although it is not removed, as
-- files stay written when the statement fails.
SET ROLE regress_vireo_admin;
SELECT pg_temp.try(format('SELECT vr_cleanup(%L, true)', id)) FROM ids WHERE name = 'alice empty';
RESET ROLE;
SELECT name, status FROM listed WHERE name = 'alice empty';
SELECT count(*) AS running FROM active WHERE name = 'alice empty';
-- A trace that does not exist.
SELECT vr_cleanup('00000000000000000000');
\echo :LAST_ERROR_SQLSTATE

--
-- Cleanup of all traces by a plain user: with force, her running traces are
-- ended and removed with the ended ones; other users' traces stay, running
-- or not.
--
SET ROLE regress_vireo_alice;
INSERT INTO ids SELECT 'alice running', vr_activate('alice again'), statement_timestamp();
-- (which running trace the refusal names depends on the directory order)
SELECT split_part(pg_temp.try('SELECT vr_cleanup(NULL, false)'), ':', 1) AS without_force;
SELECT vr_cleanup(NULL, true);
RESET ROLE;
SELECT name, owner, status FROM listed WHERE name NOT LIKE 'filler%' ORDER BY name;
SELECT count(*) AS fillers FROM listed WHERE name LIKE 'filler%';
SELECT name FROM active ORDER BY name;

--
-- A plain user keeps at most vireo.max_ended_traces_per_user ended traces
-- (100 unless a superuser says otherwise); past that his activations fail
-- until he removes some.  Running traces do not count.
--
SHOW vireo.max_ended_traces_per_user;
SET ROLE regress_vireo_alice;
SET vireo.max_ended_traces_per_user = -1;
DO $$
DECLARE
    n int := 0;
BEGIN
    WHILE n < 150 LOOP
        PERFORM vr_deactivate(vr_activate('loop ' || n));
        n := n + 1;
    END LOOP;
    RAISE NOTICE 'no limit after % traces', n;
EXCEPTION WHEN others THEN
    RAISE NOTICE 'refused after % traces: % %', n, SQLSTATE, SQLERRM;
END
$$;
SELECT vr_activate('one more');
-- One removed, one more may run; while it runs, another may start.
SELECT vr_cleanup(trace_id) FROM vr_traces_list() WHERE comments = 'loop 0';
INSERT INTO ids SELECT 'alice quota', vr_activate('room for one'), statement_timestamp();
INSERT INTO ids SELECT 'alice quota 2', vr_activate('running ones do not count'), statement_timestamp();
SELECT count(vr_deactivate(id)) AS ended FROM ids WHERE name LIKE 'alice quota%';
SELECT split_part(pg_temp.try('SELECT vr_activate(''over'')'), ':', 1) AS over_the_limit;
-- A superuser sets the limit, for himself or a role; vireo_admin has none.
RESET ROLE;
SET vireo.max_ended_traces_per_user = 200;
SET ROLE regress_vireo_alice;
INSERT INTO ids SELECT 'alice quota 3', vr_activate('a higher limit'), statement_timestamp();
RESET ROLE;
SET vireo.max_ended_traces_per_user = 0;
SET ROLE regress_vireo_admin;
INSERT INTO ids SELECT 'admin quota', vr_activate('vireo_admin is not limited'), statement_timestamp();
SET ROLE regress_vireo_alice;
SELECT vr_cleanup(NULL, true);
SELECT count(*) AS alice_left FROM vr_traces_list() WHERE owner = 'regress_vireo_alice'::regrole;
RESET ROLE;
RESET vireo.max_ended_traces_per_user;
SELECT vr_deactivate(id) FROM ids WHERE name = 'admin quota';

--
-- Identifiers that are not 20 ASCII digits are refused by every function
-- that takes one, before anything is looked up.
--
SELECT bad AS identifier,
       pg_temp.try(format('SELECT vr_deactivate(%L)', bad)) AS vr_deactivate,
       pg_temp.try(format('SELECT vr_cleanup(%L, true)', bad)) AS vr_cleanup,
       pg_temp.try(format('SELECT vr_load_trace(%L)', bad)) AS vr_load_trace
  FROM (VALUES (''), ('1234567890123456789'), ('123456789012345678901'),
               ('../../../../../../..'), ('"123456789012345678"'), ('0123456789012345678x'),
               (' 1234567890123456789'), ('1234567890123456789 '), ('+1234567890123456789'),
               ('traces/1234567890123')) AS v(bad);
SELECT vr_load_trace(NULL);
\echo :LAST_ERROR_SQLSTATE
-- an identifier that begins with a running trace's is not that trace
SELECT pg_temp.try(format('SELECT vr_deactivate(%L)', id || '0')) FROM ids WHERE name = 'bob';

--
-- The explain format of the activating session fixes the version; each
-- session lists only the traces of its own format.
--
SET vireo.explain_format = json;
INSERT INTO ids SELECT 'json', vr_activate('json'), statement_timestamp();
SELECT name, version, status FROM listed WHERE name IN ('json', 'bob') ORDER BY name;
SELECT vr_deactivate(id) FROM ids WHERE name = 'json';
SELECT name, comments, version, status FROM listed WHERE name IN ('json', 'bob') ORDER BY name;
RESET vireo.explain_format;
SELECT name, version, status FROM listed WHERE name IN ('json', 'bob') ORDER BY name;
-- A text session cannot read, and so cannot remove, a json trace.
SELECT pg_temp.try(format('SELECT vr_cleanup(%L)', id)) FROM ids WHERE name = 'json';
SET vireo.explain_format = json;
SELECT vr_cleanup(id) FROM ids WHERE name = 'json';
RESET vireo.explain_format;

--
-- With nothing running, deactivation reports that vireo is not active.
--
SELECT count(vr_deactivate(id)) AS ended FROM ids i WHERE EXISTS (SELECT FROM active a WHERE a.name = i.name);
SELECT vr_deactivate('00000000000000000000');
\echo :LAST_ERROR_SQLSTATE
SELECT pg_temp.try(format('SELECT vr_deactivate(%L)', id)) FROM ids WHERE name = 'bob';

-- Remove what this test left.
WITH stored AS MATERIALIZED (SELECT name FROM listed)
SELECT bool_and(vr_cleanup(i.id)) AS removed FROM ids i JOIN stored USING (name);
SELECT count(*) AS left_over FROM ids WHERE (pg_stat_file('traces/' || id, true)).isdir;
DROP ROLE regress_vireo_alice, regress_vireo_bob, regress_vireo_admin;
