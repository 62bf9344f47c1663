// The two row sources and the decoder of COPY's binary rows.
#include "row_source.hpp"

#include "errors.hpp"

#include <cstring>

namespace {

struct Column
{
	const char *name;
	const char *type;
	uint32_t type_oid; // as a row value's binary form names it
};

// The record's columns as _vr_tmp_view_data and vr_trace_records name them.
const Column columns[record_column_count] = {
    {"pid", "int4", 23},
    {"start_time", "timestamptz", 1184},
    {"end_time", "timestamptz", 1184},
    {"appl_name", "text", 25},
    {"user_id", "oid", 26},
    {"db_id", "oid", 26},
    {"query_type", "int2", 21},
    {"query", "text", 25},
    {"params", "oid[]", 1028},
    {"explain", "text", 25},
    {"duration", "float8", 701},
    {"rows_updated", "int8", 20},
    {"fs_in", "int8", 20},
    {"fs_out", "int8", 20},
    {"page_faults", "int8", 20},
    {"page_reclaims", "int8", 20},
    {"swaps", "int8", 20},
    {"sign_recv", "int8", 20},
    {"msg_recv", "int8", 20},
    {"msg_snd", "int8", 20},
    {"vol_contx_switch", "int8", 20},
    {"invol_contx_switch", "int8", 20},
    {"shared_blk_read", "int8", 20},
    {"shared_blk_written", "int8", 20},
    {"shared_blk_hit", "int8", 20},
    {"local_blk_read", "int8", 20},
    {"local_blk_written", "int8", 20},
    {"local_blk_hit", "int8", 20},
    {"tmp_blk_read", "int8", 20},
    {"tmp_blk_written", "int8", 20},
};

// Microseconds between the Unix epoch and PostgreSQL's (2000-01-01).
constexpr int64_t postgres_epoch_us = 946684800LL * 1000000LL;

uint32_t get32(const unsigned char *p)
{
	return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t get64(const unsigned char *p)
{
	return (uint64_t{get32(p)} << 32) | get32(p + 4);
}

class Decoder
{
public:
	// row_value: each row is one column, the record as a row value.
	Decoder(const RecordSink &sink, bool row_value) : sink_(sink), row_value_(row_value)
	{
	}

	// One CopyData message: a row (the first one preceded by the header),
	// or the trailer.
	void message(const char *data, size_t size)
	{
		const auto *p = reinterpret_cast<const unsigned char *>(data);
		const unsigned char *end = p + size;
		if (!header_seen_)
		{
			static const char signature[] = "PGCOPY\n\377\r\n";
			if (size < 19 || std::memcmp(p, signature, 11) != 0)
				throw Failure("the server's COPY data does not begin with the binary header");
			uint32_t extension = get32(p + 15);
			if (size < 19 + static_cast<size_t>(extension))
				throw Failure("the server's COPY header is cut short");
			p += 19 + extension;
			header_seen_ = true;
			if (p == end)
				return;
		}
		need(p, end, 2);
		int16_t fields = static_cast<int16_t>((p[0] << 8) | p[1]);
		p += 2;
		if (fields == -1)
			return;
		if (!row_value_)
		{
			if (fields != record_column_count)
				throw Failure("the server sent rows of " + std::to_string(fields) + " columns, not " +
				              std::to_string(record_column_count));
			read_columns(p, end, false);
			return;
		}
		// One column, the row value in its binary form: the number of its
		// columns, then each column's type and value.
		if (fields != 1)
			throw Failure("the server sent rows of " + std::to_string(fields) + " columns, not one");
		need(p, end, 4);
		int32_t length = static_cast<int32_t>(get32(p));
		p += 4;
		if (length < 4)
			throw Failure("the server sent a record that is not a row");
		need(p, end, static_cast<size_t>(length));
		const unsigned char *row_end = p + length;
		if (get32(p) != static_cast<uint32_t>(record_column_count))
			throw Failure("the server sent records of " + std::to_string(get32(p)) + " columns, not " +
			              std::to_string(record_column_count));
		read_columns(p + 4, row_end, true);
	}

private:
	// The record's columns, each its length and value, after its type when
	// with_types; then the record goes to the sink.
	void read_columns(const unsigned char *p, const unsigned char *end, bool with_types)
	{
		for (int column = 0; column < record_column_count; column++)
		{
			if (with_types)
			{
				need(p, end, 4);
				if (get32(p) != columns[column].type_oid)
					throw Failure(std::string("the server sent the record's column ") + columns[column].name +
					              " with another type than " + columns[column].type);
				p += 4;
			}
			need(p, end, 4);
			int32_t length = static_cast<int32_t>(get32(p));
			p += 4;
			if (length >= 0)
				need(p, end, static_cast<size_t>(length));
			field(column, length < 0 ? nullptr : p, length < 0 ? 0 : static_cast<size_t>(length));
			if (length > 0)
				p += length;
		}
		sink_(record_);
	}

	static void need(const unsigned char *p, const unsigned char *end, size_t bytes)
	{
		if (static_cast<size_t>(end - p) < bytes)
			throw Failure("a row of the server's COPY data is cut short");
	}

	static int64_t integer(const unsigned char *p, size_t size)
	{
		if (p == nullptr)
			return 0;
		if (size == 8)
			return static_cast<int64_t>(get64(p));
		if (size == 4)
			return static_cast<int32_t>(get32(p));
		if (size == 2)
			return static_cast<int16_t>((p[0] << 8) | p[1]);
		throw Failure("unexpected size of an integer in the server's COPY data");
	}

	static void text(std::string &to, bool &is_null, const unsigned char *p, size_t size)
	{
		is_null = p == nullptr;
		to.assign(reinterpret_cast<const char *>(p != nullptr ? p : reinterpret_cast<const unsigned char *>("")), size);
	}

	// oid[] in binary: dimensions, has-nulls flag, element type, then per
	// dimension its length and lower bound, then each element.
	void oid_array(const unsigned char *p, size_t size)
	{
		record_.params.clear();
		record_.params_null = p == nullptr;
		if (p == nullptr)
			return;
		const unsigned char *end = p + size;
		need(p, end, 12);
		int32_t dims = static_cast<int32_t>(get32(p));
		p += 12;
		if (dims == 0)
			return;
		if (dims != 1)
			throw Failure("a parameter list of the trace has more than one dimension");
		need(p, end, 8);
		int32_t count = static_cast<int32_t>(get32(p));
		p += 8;
		for (int32_t i = 0; i < count; i++)
		{
			need(p, end, 4);
			int32_t length = static_cast<int32_t>(get32(p));
			p += 4;
			if (length != 4)
			{
				if (length > 0)
					p += length;
				record_.params.push_back(0);
				continue;
			}
			need(p, end, 4);
			record_.params.push_back(get32(p));
			p += 4;
		}
	}

	void field(int column, const unsigned char *p, size_t size)
	{
		TraceRecord &r = record_;
		bool ignored;
		switch (column)
		{
			case 0:
				r.pid = static_cast<int>(integer(p, size));
				break;
			case 1:
				r.start_us = integer(p, size) + postgres_epoch_us;
				break;
			case 2:
				r.end_us = integer(p, size) + postgres_epoch_us;
				break;
			case 3:
				text(r.appl_name, r.appl_null, p, size);
				break;
			case 4:
				r.user_id = static_cast<uint32_t>(integer(p, size));
				break;
			case 5:
				r.db_id = static_cast<uint32_t>(integer(p, size));
				break;
			case 6:
				r.query_type = static_cast<int>(integer(p, size));
				break;
			case 7:
				text(r.query, ignored, p, size);
				break;
			case 8:
				oid_array(p, size);
				break;
			case 9:
				text(r.plan, ignored, p, size);
				break;
			case 10:
			{
				uint64_t bits = p != nullptr && size == 8 ? get64(p) : 0;
				std::memcpy(&r.duration_ms, &bits, sizeof bits);
				break;
			}
			case 11:
				r.rows = integer(p, size);
				break;
			default:
				if (column < 22)
					r.usage[column - 12] = integer(p, size);
				else
					r.buffers[column - 22] = integer(p, size);
		}
	}

	const RecordSink &sink_;
	const bool row_value_;
	TraceRecord record_;
	bool header_seen_ = false;
};

// "p.pid::int4, p.start_time::timestamptz, ..." with each column written
// by name(column).
template <typename Name>
std::string select_list(Name name)
{
	std::string list;
	for (const Column &c : columns)
		list += (list.empty() ? "" : ", ") + name(c.name) + "::" + c.type;
	return list;
}

void copy_records(Connection &db, const std::string &query, const RecordSink &sink, bool row_value)
{
	Decoder decoder(sink, row_value);
	db.copy_out("COPY (" + query + ") TO STDOUT (FORMAT binary)",
	            [&decoder](const char *data, size_t size) { decoder.message(data, size); });
}

} // namespace

void read_loaded_records(Connection &db, long long trace_number, const RecordSink &sink)
{
	// The profile table and the query table joined as _vr_tmp_view_data
	// joins them; in each process's records the order of their end, which
	// is the order of the data file.
	std::string list = select_list([](const std::string &name) {
		if (name == "query")
			return std::string("q.query");
		if (name == "params")
			return std::string("coalesce(q.params::oid[], q.paramsarr)");
		return "p." + name;
	});
	copy_records(db,
	             "SELECT " + list +
	                 " FROM pg_temp._vr_tmp_tbl_vireo p JOIN pg_temp._vr_tmp_tbl_query q"
	                 " ON q.query_id = p.query_id WHERE p.trace_id = " +
	                 std::to_string(trace_number) + " ORDER BY p.pid, p.end_time, p.ctid",
	             sink, false);
}

void read_streamed_records(Connection &db, const std::string &schema, const std::string &trace_id,
                           const RecordSink &sink)
{
	// COPY takes no parameters; the identifier was checked to be 20 digits.
	// The function runs in the select list of a subquery that is not
	// flattened, once per row, so that the server does not gather the set
	// before sending it.  Each row goes out whole, as one row value: taking
	// its columns apart on the server (r).pid, (r).start_time, ... costs a
	// walk over the row per column, more than the row's binary form.
	for (char c : trace_id)
	{
		if (c < '0' || c > '9')
			throw Failure("\"" + trace_id + "\" is not a trace identifier");
	}
	copy_records(db,
	             "SELECT r FROM (SELECT " + schema + ".vr_trace_records('" + trace_id +
	                 "') AS r OFFSET 0) s",
	             sink, true);
}
