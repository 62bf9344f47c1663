-- vireo 1.0 to 1.1
\echo Use "ALTER EXTENSION vireo UPDATE TO '1.1'" to load this file. \quit

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

-- Every stored trace, now with what its records hold of each statement: the
-- plan only from plan_min_duration milliseconds on (-1: always), and the
-- client's statements sampled at sample_rate.
DROP FUNCTION vr_traces_list();
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
