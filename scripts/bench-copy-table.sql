-- The table that scripts/bench and scripts/bench-report COPY a trace's data
-- files into, to compare reading a trace with the server's own bulk
-- loading: the record's 29 columns, in the order of the data files, as a
-- temporary table without indexes (the analysis tables are temporary too).
CREATE TEMP TABLE copied (start_time timestamptz, end_time timestamptz, appl_name text,
    user_id oid, db_id oid, query_type int2, query text, explain text, duration float8,
    rows_updated int8, fs_in int8, fs_out int8, page_faults int8, page_reclaims int8, swaps int8,
    sign_recv int8, msg_recv int8, msg_snd int8, vol_contx_switch int8, invol_contx_switch int8,
    shared_blk_read int8, shared_blk_written int8, shared_blk_hit int8, local_blk_read int8,
    local_blk_written int8, local_blk_hit int8, tmp_blk_read int8, tmp_blk_written int8,
    params oidvector);
