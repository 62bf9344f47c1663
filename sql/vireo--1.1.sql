-- vireo: statement profiler
\echo Use "CREATE EXTENSION vireo" to load this file. \quit

-- Members of vireo_admin may trace other users and end their traces.  The
-- role belongs to the cluster, so it may exist already from another database.
DO $$
BEGIN
    IF NOT EXISTS (SELECT 1 FROM pg_catalog.pg_roles WHERE rolname = 'vireo_admin') THEN
        CREATE ROLE vireo_admin NOLOGIN;
    END IF;
END
$$;

CREATE FUNCTION vr_version()
RETURNS float8
AS 'MODULE_PATHNAME', 'vr_version'
LANGUAGE C IMMUTABLE PARALLEL SAFE;

-- Starts a trace and returns its identifier.
CREATE FUNCTION vr_activate(
    comment text,
    users oid[] DEFAULT NULL,
    databases oid[] DEFAULT NULL,
    max_size_mb int4 DEFAULT NULL,
    log_min_duration_ms int4 DEFAULT NULL,
    time_limit interval DEFAULT NULL)
RETURNS text
AS 'MODULE_PATHNAME', 'vr_activate'
LANGUAGE C CALLED ON NULL INPUT VOLATILE PARALLEL UNSAFE;

-- Ends a running trace.
CREATE FUNCTION vr_deactivate(trace_id text)
RETURNS bool
AS 'MODULE_PATHNAME', 'vr_deactivate'
LANGUAGE C CALLED ON NULL INPUT VOLATILE PARALLEL UNSAFE;

-- The running traces the caller may see.
CREATE FUNCTION vr_active_traces(
    OUT trace_id text,
    OUT owner oid,
    OUT start_time timestamptz,
    OUT "max_trace_size (MB)" int4,
    OUT "curr_log_size (MB)" int4,
    OUT log_min_duration int4,
    OUT running_queries int4,
    OUT users_list oidvector,
    OUT database_list oidvector)
RETURNS SETOF record
AS 'MODULE_PATHNAME', 'vr_active_traces'
LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;

-- Every stored trace.
CREATE FUNCTION vr_traces_list(
    OUT trace_id text,
    OUT comments text,
    OUT start_time timestamptz,
    OUT owner oid,
    OUT users_list oidvector,
    OUT database_list oidvector,
    OUT max_size int4,
    OUT end_time timestamptz,
    OUT finish_time timestamptz,
    OUT status int4,
    OUT version float8,
    OUT plan_min_duration int4,
    OUT sample_rate float8)
RETURNS SETOF record
AS 'MODULE_PATHNAME', 'vr_traces_list'
LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;

-- Removes one stored trace, or all of them when trace_id is NULL.
CREATE FUNCTION vr_cleanup(trace_id text DEFAULT NULL, force bool DEFAULT false)
RETURNS bool
AS 'MODULE_PATHNAME', 'vr_cleanup'
LANGUAGE C CALLED ON NULL INPUT VOLATILE PARALLEL UNSAFE;

-- Loads a trace into this session's analysis tables (_vr_tmp_*).
CREATE FUNCTION vr_load_trace(trace_id text, reload bool DEFAULT false)
RETURNS bool
AS 'MODULE_PATHNAME', 'vr_load_trace'
LANGUAGE C CALLED ON NULL INPUT VOLATILE PARALLEL UNSAFE;

-- Whether a text is JSON that a cast to json accepts, without an error for
-- one that is not (some releases print invalid JSON for a few plans).
CREATE FUNCTION vr_is_json(text)
RETURNS bool
AS 'MODULE_PATHNAME', 'vr_is_json'
LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

-- One trace's records as rows, read from its files without writing
-- anything: it works on a hot standby and in a read-only transaction.
-- Called in the select list it streams; in FROM the executor collects the
-- rows first (spilling to temporary files beyond work_mem).
CREATE FUNCTION vr_trace_records(trace_id text)
RETURNS TABLE (
    pid int4, start_time timestamptz, end_time timestamptz,
    appl_name text, user_id oid, db_id oid, query_type int2,
    query text, params oid[], explain text, duration float8,
    rows_updated int8, fs_in int8, fs_out int8, page_faults int8,
    page_reclaims int8, swaps int8, sign_recv int8, msg_recv int8,
    msg_snd int8, vol_contx_switch int8, invol_contx_switch int8,
    shared_blk_read int8, shared_blk_written int8, shared_blk_hit int8,
    local_blk_read int8, local_blk_written int8, local_blk_hit int8,
    tmp_blk_read int8, tmp_blk_written int8)
AS 'MODULE_PATHNAME', 'vr_trace_records'
LANGUAGE C CALLED ON NULL INPUT VOLATILE PARALLEL UNSAFE ROWS 100000;

-- The functions work only in a server that preloads the module: refuse the
-- installation with the message they would give, rather than install
-- functions that refuse every call.
SELECT pg_catalog.count(*) FROM vr_active_traces();
