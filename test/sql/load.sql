-- Loading traces: identifier checks, the analysis schema that the first load
-- of a session creates, and the rules behind its views.
\set SHOW_CONTEXT never

-- An identifier is exactly 20 digits; anything else is refused before any
-- file is touched.
SELECT vr_load_trace(NULL);
\echo :LAST_ERROR_SQLSTATE
SELECT vr_load_trace(NULL, true);
SELECT vr_load_trace('');
SELECT vr_load_trace('0123456789012345678');
SELECT vr_load_trace('012345678901234567890');
SELECT vr_load_trace('0123456789012345678x');
SELECT vr_load_trace(' 0123456789012345678');
SELECT vr_load_trace('/tmp/../../../../etc');
SELECT vr_load_trace('..//..//..//..//../x');
\echo :LAST_ERROR_SQLSTATE

-- A well-formed identifier without a trace directory.
SELECT vr_load_trace('00000000000000000000');
\echo :LAST_ERROR_SQLSTATE
SELECT vr_load_trace('00000000000000000000', true);

-- None of the refused calls created the analysis schema.
SELECT count(*) AS temp_objects FROM pg_class WHERE relnamespace = pg_my_temp_schema();

-- A trace of this session alone.  The activating statement itself is not
-- recorded; the statements after it are.
SELECT vr_activate('load regress', ARRAY[current_user::regrole::oid]) AS tid \gset
SELECT 'recorded after activation' AS marker;

-- In a read-only transaction the analysis tables cannot be created, and the
-- load refuses (its hint names the stream); the stream of the records works
-- there without a transaction id.
BEGIN READ ONLY;
\set VERBOSITY terse
SELECT vr_load_trace(:'tid');
\set VERBOSITY default
\echo :LAST_ERROR_SQLSTATE
ROLLBACK;
BEGIN READ ONLY;
SELECT query, pid = pg_backend_pid() AS own_pid, user_id = current_user::regrole AS own_user,
       query_type, params, rows_updated, explain LIKE 'Result  (cost=%' AS has_plan
  FROM vr_trace_records(:'tid') WHERE query = 'SELECT ''recorded after activation'' AS marker;';
SELECT (r).query FROM (SELECT vr_trace_records(:'tid') r OFFSET 0) s
 WHERE (r).query = 'SELECT ''recorded after activation'' AS marker;';
SELECT txid_current_if_assigned() IS NULL AS no_transaction_id;
ROLLBACK;
SELECT vr_trace_records(NULL);
SELECT vr_trace_records('00000000000000000000');

SELECT vr_load_trace(:'tid');

-- The first load created five tables, two views, three rules and twelve
-- indexes in the session's temporary schema.
SELECT relkind, relname FROM pg_class
 WHERE relnamespace = pg_my_temp_schema() AND relkind IN ('r', 'v')
 ORDER BY relkind, relname;
\pset format unaligned
SELECT c.relname, string_agg(a.attname || ' ' || format_type(a.atttypid, a.atttypmod), ', '
                             ORDER BY a.attnum) AS columns
  FROM pg_class c JOIN pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0
 WHERE c.relnamespace = pg_my_temp_schema() AND c.relkind IN ('r', 'v')
 GROUP BY c.relname ORDER BY c.relname;
SELECT c.relname, r.rulename, r.ev_type, r.is_instead
  FROM pg_rewrite r JOIN pg_class c ON c.oid = r.ev_class
 WHERE c.relnamespace = pg_my_temp_schema() AND r.rulename <> '_RETURN'
 ORDER BY r.rulename;
-- 14 prints the session's own temporary schema (pg_temp_N), later releases
-- pg_temp.
SELECT regexp_replace(pg_get_ruledef(r.oid), 'pg_temp_\d+\.', 'pg_temp.', 'g') AS rule
  FROM pg_rewrite r JOIN pg_class c ON c.oid = r.ev_class
 WHERE c.relnamespace = pg_my_temp_schema() AND r.rulename <> '_RETURN'
 ORDER BY r.rulename;
SELECT tablename, indexname, regexp_replace(indexdef, 'pg_temp_\d+\.', 'pg_temp.', 'g') AS definition
  FROM pg_indexes
 WHERE schemaname = (SELECT nspname FROM pg_namespace WHERE oid = pg_my_temp_schema())
 ORDER BY indexname;
-- Before 16 the columns of a one-table view are printed with the table name.
SELECT regexp_replace(pg_get_viewdef('_vr_tmp_view_query'::regclass), '_vr_tmp_tbl_query\.', '', 'g') AS view_query;
\pset format aligned

-- The trace got number 1; its rows name this session, its user and its
-- database, and the activating statement is not among them.
SELECT id, trace = :'tid' AS same_trace FROM _vr_tmp_tbl_traces;
SELECT trace_id, query_type, rows_updated, query_id > 0 AS has_query_id,
       user_id = current_user::regrole AS own_user,
       db_id = (SELECT oid FROM pg_database WHERE datname = current_database()) AS own_db,
       appl_name = current_setting('application_name') AS own_appl_name,
       pid = pg_backend_pid() AS own_pid,
       start_time <= end_time AS ordered_times, duration >= 0 AS has_duration,
       explain LIKE 'Result  (cost=%' AS has_plan
  FROM _vr_tmp_view_data
 WHERE query = 'SELECT ''recorded after activation'' AS marker;';
SELECT count(*) AS activation_records FROM _vr_tmp_tbl_query WHERE query LIKE '%vr_activate%';
SELECT pid = pg_backend_pid() AS own_pid, pos > 0 AS has_pos FROM _vr_tmp_tbl_prev_succ_load;

-- A second call creates nothing.
SELECT string_agg(oid::text, ',' ORDER BY oid) AS objects
  FROM pg_class WHERE relnamespace = pg_my_temp_schema() \gset
SELECT vr_load_trace(:'tid');
SELECT string_agg(oid::text, ',' ORDER BY oid) = :'objects' AS unchanged
  FROM pg_class WHERE relnamespace = pg_my_temp_schema();

-- With one object of the analysis schema dropped, loading into the rest
-- would lose what it kept (without the positions every record would be
-- loaded again; without a rule profile rows would lose their texts): the
-- load refuses and names the way out.  Dropped indexes only slow it down.
DROP TABLE _vr_tmp_tbl_prev_succ_load;
SELECT vr_load_trace(:'tid', NULL);
\echo :LAST_ERROR_SQLSTATE
SELECT vr_load_trace(:'tid', true);
DISCARD TEMP;
SELECT vr_load_trace(:'tid');
DROP RULE _vr_tmp_update_query ON _vr_tmp_tbl_query;
SELECT vr_load_trace(:'tid');
DROP TABLE _vr_tmp_tbl_vireo CASCADE;
SELECT vr_load_trace(:'tid');
-- DISCARD TEMP starts anew: everything is created again, and the trace is
-- read from the beginning once, under a new number.
DISCARD TEMP;
SELECT vr_load_trace(:'tid', NULL);
SELECT count(*) AS temp_relations FROM pg_class WHERE relnamespace = pg_my_temp_schema();
SELECT count(*) AS marker_rows FROM _vr_tmp_view_data
 WHERE query = 'SELECT ''recorded after activation'' AS marker;';
SELECT count(*) AS position_rows FROM _vr_tmp_tbl_prev_succ_load;

-- Reloading replaces the trace's rows with one fresh copy of each record.
SELECT vr_load_trace(:'tid', true);
SELECT count(*) AS marker_rows FROM _vr_tmp_view_data
 WHERE query = 'SELECT ''recorded after activation'' AS marker;';
SELECT count(*) AS position_rows FROM _vr_tmp_tbl_prev_succ_load;
SELECT id FROM _vr_tmp_tbl_traces;
-- Identical texts share one query row.
SELECT count(*) AS repeated_texts
  FROM (SELECT query FROM _vr_tmp_tbl_query GROUP BY query HAVING count(*) > 1) q;

SELECT vr_deactivate(:'tid');

-- The rules, on rows of our own.
DELETE FROM _vr_tmp_tbl_vireo;
DELETE FROM _vr_tmp_tbl_query;

-- An insert into the data view adds one profile row and one query row.
INSERT INTO _vr_tmp_view_data (trace_id, query_id, start_time, user_id, query, explain,
                               duration, rows_updated, fs_in, tmp_blk_written, pid,
                               query_type, params, paramsarr)
VALUES (7, 5, '2021-03-04 05:06:07+00', 10, 'five', 'plan', 1.5, 3, 11, 28, 123, 1,
        '23 25', '{23,25}');
SELECT trace_id, query_id, start_time AT TIME ZONE 'UTC' AS start_utc, user_id, explain,
       duration, rows_updated, fs_in, tmp_blk_written, pid, query_type
  FROM _vr_tmp_tbl_vireo;
SELECT query_id, query, params, paramsarr FROM _vr_tmp_tbl_query;
SELECT trace_id, query_id, query, params FROM _vr_tmp_view_data;

INSERT INTO _vr_tmp_view_data (trace_id, query_id, query)
VALUES (7, 5, 'five'), (7, 2, 'two'), (7, 9, 'nine');
SELECT query_id, count(*) FROM _vr_tmp_tbl_vireo GROUP BY query_id ORDER BY query_id;

-- The data view is an inner join: a profile row without a query row has no
-- view row.
INSERT INTO _vr_tmp_tbl_vireo (trace_id, query_id) VALUES (7, 77);
SELECT count(*) AS view_rows_77 FROM _vr_tmp_view_data WHERE query_id = 77;

-- Changing a query row's id from 5 to 2 moves the profile rows of 5 along.
UPDATE _vr_tmp_tbl_query SET query_id = 2 WHERE query_id = 5;
SELECT query_id, count(*) FROM _vr_tmp_tbl_vireo GROUP BY query_id ORDER BY query_id;
SELECT query_id, query FROM _vr_tmp_tbl_query ORDER BY query_id, query;
-- Three query rows of id 2 times three profile rows.
SELECT count(*) AS view_rows_2 FROM _vr_tmp_view_data WHERE query_id = 2;

-- Deleting the numbered duplicates leaves one query row per id and does not
-- touch the profile rows.
DELETE FROM _vr_tmp_view_query WHERE r > 1;
SELECT query_id, count(*) FROM _vr_tmp_tbl_query GROUP BY query_id ORDER BY query_id;
SELECT count(*) AS profile_rows FROM _vr_tmp_tbl_vireo;
SELECT count(*) AS view_rows_2 FROM _vr_tmp_view_data WHERE query_id = 2;

SELECT vr_cleanup(:'tid');

-- vr_is_json tells, without an error, whether a cast to json succeeds: a
-- plan of a MERGE into a partitioned table as some releases print it (a
-- field inside an array) is not JSON.
CREATE FUNCTION pg_temp.casts_to_json(t text) RETURNS bool STRICT LANGUAGE plpgsql AS $$
BEGIN
    PERFORM t::json;
    RETURN true;
EXCEPTION WHEN others THEN
    RETURN false;
END $$;
SELECT left(t, 40) AS text, vr_is_json(t) AS is_json,
       vr_is_json(t) IS NOT DISTINCT FROM pg_temp.casts_to_json(t) AS as_the_cast
  FROM (VALUES ('{"Plan": {"Node Type": "ModifyTable", "Operation": "Merge"}}'),
               ('[{"Plan": {"Target Tables": [{"Relation Name": "p1"}, "Tuples Inserted": 1]}}]'),
               ('{"a": 1} x'), ('[1, 2'), (''), ('  '), ('"\u00zz"'), ('"\u0000"'),
               ('  [1.5e3, true, null, "x\"y"]  '), (repeat('[', 500) || repeat(']', 500)),
               (NULL)) v(t);
