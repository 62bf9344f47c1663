// One recorded statement as the report reads it: the columns of the
// analysis view _vr_tmp_view_data, or of vr_trace_records, which has the
// same ones.  A row source fills one of these per record and hands it on;
// the consumer may take its strings (swap them out) to avoid copies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TraceRecord
{
	int source = 0; // which trace of the report (one for now)
	int pid = 0;
	int64_t start_us = 0; // Unix epoch microseconds
	int64_t end_us = 0;
	std::string appl_name;
	bool appl_null = true;
	uint32_t user_id = 0;
	uint32_t db_id = 0;
	int query_type = 0;
	std::string query;
	std::vector<uint32_t> params; // parameter types; empty for none
	bool params_null = true;
	std::string plan; // the explain column: text or JSON; empty when absent
	double duration_ms = 0; // the plan's execution time
	int64_t rows = 0;
	// fs_in, fs_out, page_faults, page_reclaims, swaps, sign_recv, msg_recv,
	// msg_snd, vol_contx_switch, invol_contx_switch (NULL reads as 0)
	int64_t usage[10] = {};
	// shared_blk_read, shared_blk_written, shared_blk_hit, local_blk_read,
	// local_blk_written, local_blk_hit, tmp_blk_read, tmp_blk_written:
	// running totals of the server process
	int64_t buffers[8] = {};
};

enum Usage
{
	usage_major_faults = 2,
	usage_minor_faults = 3,
	usage_csw_voluntary = 8,
	usage_csw_involuntary = 9
};

enum Buffer
{
	buffer_shared_read = 0,
	buffer_shared_hit = 2,
	buffer_temp_read = 6,
	buffer_temp_written = 7
};


// The number of columns every row source selects.
constexpr int record_column_count = 30;
