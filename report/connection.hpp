// The report's one database session, on libpq: connecting like psql does
// (asking for a password only when the server wants one), and running
// statements while the progress line ticks and ^C cancels.
#pragma once

#include "options.hpp"
#include "progress.hpp"

#include <functional>
#include <libpq-fe.h>
#include <optional>
#include <string>
#include <vector>

// One result set; values are read as text, NULL as empty or 0.
class Result
{
public:
	explicit Result(PGresult *result) : result_(result)
	{
	}
	~Result();
	Result(Result &&other) noexcept : result_(other.result_)
	{
		other.result_ = nullptr;
	}
	Result(const Result &) = delete;
	Result &operator=(const Result &) = delete;
	Result &operator=(Result &&) = delete;

	int rows() const;
	bool null(int row, int column) const;
	std::string text(int row, int column) const;
	double number(int row, int column) const;
	long long integer(int row, int column) const;
	bool flag(int row, int column) const;

private:
	PGresult *result_;
};

using Param = std::optional<std::string>;

class Connection
{
public:
	// Connects with the options' -h, -p, -U and -d (and libpq's defaults);
	// conninfo, when given (a connection string or URI), overrides what it
	// names.
	Connection(const Options &options, Progress &progress, const std::string &conninfo = "");
	~Connection();
	Connection(const Connection &) = delete;
	Connection &operator=(const Connection &) = delete;

	// Runs one statement with $1... parameters (std::nullopt for NULL) and
	// returns its rows; throws SqlError when the server refuses it.
	Result query(const std::string &sql, const std::vector<Param> &params = {});
	// The same for statements whose result does not matter.
	void run(const std::string &sql, const std::vector<Param> &params = {});
	// Runs a COPY ... TO STDOUT and hands each data message to the
	// callback as it arrives: the client holds one row at a time.
	void copy_out(const std::string &sql,
	              const std::function<void(const char *data, size_t size)> &row);

	std::string quote_identifier(const std::string &name) const;
	std::string database() const;
	std::string server() const;
	// host:port, or "local:port" for a Unix socket: a server's short name.
	std::string short_server() const;

private:
	void wait_for_result();
	void wait_for_input(bool &cancel_sent);
	void cancel_if_interrupted(bool &cancel_sent);
	void interrupt_cancel(bool &cancel_sent);
	[[noreturn]] void throw_result_error(PGresult *result);

	PGconn *conn_ = nullptr;
	Progress &progress_;
};

// {1,2,3} and {"a","b"}: array literals for parameters; nullopt for none.
Param int_array(const std::vector<int> &values);
Param int8_array(const std::vector<long long> &values);
Param text_array(const std::vector<std::string> &values);
