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
