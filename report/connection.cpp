// Connecting and running statements.
#include "connection.hpp"

#include "errors.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// libpq's messages end in a line feed and sometimes hold several lines;
// ours are one line each.
std::string one_line(const char *message)
{
	std::string text(message != nullptr ? message : "");
	while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
		text.pop_back();
	for (char &c : text)
	{
		if (c == '\n' || c == '\t')
			c = ' ';
	}
	return text;
}

// Reads a password from the terminal without echo, like psql's prompt.
std::string prompt_password(const std::string &prompt)
{
	FILE *tty = std::fopen("/dev/tty", "r+");
	if (tty == nullptr)
		throw Failure("the server asks for a password, and there is no terminal to ask it on "
		              "(use ~/.pgpass or PGPASSWORD)");
	int fd = fileno(tty);
	struct termios saved;
	bool restore = tcgetattr(fd, &saved) == 0;
	if (restore)
	{
		struct termios quiet = saved;
		quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
		tcsetattr(fd, TCSAFLUSH, &quiet);
	}
	std::fputs(prompt.c_str(), tty);
	std::fflush(tty);
	char buffer[1024];
	bool got = std::fgets(buffer, sizeof buffer, tty) != nullptr;
	if (restore)
		tcsetattr(fd, TCSAFLUSH, &saved);
	std::fputs("\n", tty);
	std::fclose(tty);
	if (!got)
		throw Failure("no password given");
	std::string password(buffer);
	if (!password.empty() && password.back() == '\n')
		password.pop_back();
	return password;
}

std::string array_literal(const std::vector<std::string> &items, bool quote)
{
	std::string literal = "{";
	for (size_t i = 0; i < items.size(); i++)
	{
		if (i > 0)
			literal += ',';
		if (!quote)
		{
			literal += items[i];
			continue;
		}
		literal += '"';
		for (char c : items[i])
		{
			if (c == '"' || c == '\\')
				literal += '\\';
			literal += c;
		}
		literal += '"';
	}
	return literal + "}";
}

} // namespace

Result::~Result()
{
	if (result_ != nullptr)
		PQclear(result_);
}

int Result::rows() const
{
	return PQntuples(result_);
}

bool Result::null(int row, int column) const
{
	return PQgetisnull(result_, row, column) != 0;
}

std::string Result::text(int row, int column) const
{
	return std::string(PQgetvalue(result_, row, column),
	                   static_cast<size_t>(PQgetlength(result_, row, column)));
}

double Result::number(int row, int column) const
{
	return null(row, column) ? 0.0 : std::strtod(PQgetvalue(result_, row, column), nullptr);
}

long long Result::integer(int row, int column) const
{
	return null(row, column) ? 0 : std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
}

bool Result::flag(int row, int column) const
{
	return !null(row, column) && PQgetvalue(result_, row, column)[0] == 't';
}

Connection::Connection(const Options &options, Progress &progress, const std::string &conninfo)
    : progress_(progress)
{
	progress_.step("connecting");
	// The page declares UTF-8; the text summary follows the terminal's
	// locale unless PGCLIENTENCODING says otherwise.
	const char *encoding = "UTF8";
	if (options.format == OutputFormat::text)
		encoding = std::getenv("PGCLIENTENCODING") != nullptr ? nullptr : "auto";

	std::string password;
	bool have_password = false;
	if (options.prompt == PasswordPrompt::always)
	{
		progress_.clear();
		password = prompt_password("Password: ");
		have_password = true;
	}
	// The options first; what a --source connection string names overrides
	// them, so that they serve as its defaults.
	std::vector<std::pair<std::string, std::string>> settings;
	auto set = [&settings](const std::string &keyword, const std::string &v) {
		if (v.empty())
			return;
		for (auto &s : settings)
		{
			if (s.first == keyword)
			{
				s.second = v;
				return;
			}
		}
		settings.emplace_back(keyword, v);
	};
	set("host", options.host);
	set("port", options.port);
	set("user", options.user);
	set("dbname", options.dbname);
	set("fallback_application_name", "vireo-report");
	if (encoding != nullptr)
		set("client_encoding", encoding);
	if (!conninfo.empty())
	{
		char *error = nullptr;
		PQconninfoOption *parsed = PQconninfoParse(conninfo.c_str(), &error);
		if (parsed == nullptr)
		{
			std::string message = one_line(error);
			PQfreemem(error);
			throw Failure("invalid connection string \"" + conninfo + "\": " + message);
		}
		for (PQconninfoOption *o = parsed; o->keyword != nullptr; o++)
		{
			if (o->val != nullptr)
				set(o->keyword, o->val);
		}
		PQconninfoFree(parsed);
	}
	for (;;)
	{
		std::vector<const char *> keywords;
		std::vector<const char *> values;
		for (const auto &s : settings)
		{
			keywords.push_back(s.first.c_str());
			values.push_back(s.second.c_str());
		}
		if (have_password)
		{
			keywords.push_back("password");
			values.push_back(password.c_str());
		}
		keywords.push_back(nullptr);
		values.push_back(nullptr);
		// Only -d may be a connection string itself; a --source string has
		// been taken apart above.
		int expand = conninfo.empty() ? 1 : 0;
		conn_ = PQconnectdbParams(keywords.data(), values.data(), expand);
		if (conn_ == nullptr)
			throw Failure("out of memory while connecting");
		if (PQstatus(conn_) == CONNECTION_OK)
		{
			// Notices (a missing traces directory, DROP ... IF EXISTS) are
			// not for the user of a report.
			PQsetNoticeProcessor(
			    conn_, [](void *, const char *) {}, nullptr);
			break;
		}
		if (PQconnectionNeedsPassword(conn_) && !have_password &&
		    options.prompt != PasswordPrompt::never)
		{
			std::string user = PQuser(conn_);
			PQfinish(conn_);
			conn_ = nullptr;
			progress_.clear();
			password = prompt_password("Password for user " + user + ": ");
			have_password = true;
			continue;
		}
		std::string message = one_line(PQerrorMessage(conn_));
		PQfinish(conn_);
		conn_ = nullptr;
		throw Failure(message);
	}
}

Connection::~Connection()
{
	if (conn_ != nullptr)
		PQfinish(conn_);
}

std::string Connection::database() const
{
	return PQdb(conn_);
}

std::string Connection::server() const
{
	const char *host = PQhost(conn_);
	std::string where = host != nullptr ? host : "";
	if (where.empty() || where[0] == '/')
		where = "local socket " + where;
	return where + ":" + PQport(conn_);
}

std::string Connection::short_server() const
{
	const char *host = PQhost(conn_);
	std::string where = host != nullptr ? host : "";
	if (where.empty() || where[0] == '/')
		where = "local";
	return where + ":" + PQport(conn_);
}

std::string Connection::quote_identifier(const std::string &name) const
{
	char *quoted = PQescapeIdentifier(conn_, name.c_str(), name.size());
	if (quoted == nullptr)
		throw Failure(one_line(PQerrorMessage(conn_)));
	std::string result(quoted);
	PQfreemem(quoted);
	return result;
}

void Connection::cancel_if_interrupted(bool &cancel_sent)
{
	if (interrupt_requested() && !cancel_sent)
		interrupt_cancel(cancel_sent);
}

void Connection::throw_result_error(PGresult *result)
{
	const char *state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
	const char *primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
	std::string message = one_line(primary != nullptr ? primary : PQresultErrorMessage(result));
	std::string sqlstate = state != nullptr ? state : "";
	PQclear(result);
	throw SqlError(sqlstate, message);
}

// Waits a moment for data from the server and reads it, ticking the
// progress line; a signal cancels the running statement.
void Connection::wait_for_input(bool &cancel_sent)
{
	cancel_if_interrupted(cancel_sent);
	struct pollfd wait = {PQsocket(conn_), POLLIN, 0};
	int ready = poll(&wait, 1, 150);
	if (ready < 0 && errno != EINTR)
		throw Failure(std::string("could not wait for the server: ") + std::strerror(errno));
	if (!PQconsumeInput(conn_))
		throw Failure(one_line(PQerrorMessage(conn_)));
	progress_.tick();
}

// Waits until the whole result has arrived; a cancelled statement's error
// is then read and dropped.
void Connection::wait_for_result()
{
	bool cancel_sent = false;
	while (PQisBusy(conn_))
	{
		wait_for_input(cancel_sent);
	}
}

Result Connection::query(const std::string &sql, const std::vector<Param> &params)
{
	check_interrupt();
	std::vector<const char *> values;
	for (const Param &p : params)
		values.push_back(p ? p->c_str() : nullptr);
	if (!PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
	                       values.data(), nullptr, nullptr, 0))
		throw Failure(one_line(PQerrorMessage(conn_)));

	PGresult *last = nullptr;
	for (;;)
	{
		wait_for_result();
		PGresult *next = PQgetResult(conn_);
		if (next == nullptr)
			break;
		if (last != nullptr)
			PQclear(last);
		last = next;
	}
	Result result(last);
	check_interrupt();
	if (last == nullptr)
		throw Failure(one_line(PQerrorMessage(conn_)));
	ExecStatusType status = PQresultStatus(last);
	if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
	{
		const char *state = PQresultErrorField(last, PG_DIAG_SQLSTATE);
		const char *primary = PQresultErrorField(last, PG_DIAG_MESSAGE_PRIMARY);
		throw SqlError(state != nullptr ? state : "",
		               one_line(primary != nullptr ? primary : PQresultErrorMessage(last)));
	}
	return result;
}

void Connection::copy_out(const std::string &sql,
                          const std::function<void(const char *data, size_t size)> &row)
{
	check_interrupt();
	if (!PQsendQuery(conn_, sql.c_str()))
		throw Failure(one_line(PQerrorMessage(conn_)));
	PGresult *start = nullptr;
	wait_for_result();
	start = PQgetResult(conn_);
	if (start == nullptr)
		throw Failure(one_line(PQerrorMessage(conn_)));
	if (PQresultStatus(start) != PGRES_COPY_OUT)
	{
		// An error before the first row: drain what follows, then report.
		for (PGresult *next; (next = PQgetResult(conn_)) != nullptr;)
			PQclear(next);
		check_interrupt();
		throw_result_error(start);
	}
	PQclear(start);

	bool cancel_sent = false;
	std::string failure;
	for (;;)
	{
		char *buffer = nullptr;
		int size = PQgetCopyData(conn_, &buffer, 1);
		if (size > 0)
		{
			// A failure of the consumer (or ^C) cancels the COPY; its rows
			// are then read and dropped until the server stops.
			if (failure.empty() && !cancel_sent)
			{
				try
				{
					row(buffer, static_cast<size_t>(size));
				}
				catch (const std::exception &e)
				{
					failure = e.what();
					interrupt_cancel(cancel_sent);
				}
			}
			PQfreemem(buffer);
			continue;
		}
		if (size == -1)
			break;
		if (size == -2)
			throw Failure(one_line(PQerrorMessage(conn_)));
		wait_for_input(cancel_sent);
	}
	PGresult *end = nullptr;
	for (PGresult *next; (next = PQgetResult(conn_)) != nullptr;)
	{
		if (end != nullptr)
			PQclear(end);
		end = next;
	}
	check_interrupt();
	if (!failure.empty())
	{
		if (end != nullptr)
			PQclear(end);
		throw Failure(failure);
	}
	if (end == nullptr)
		throw Failure(one_line(PQerrorMessage(conn_)));
	if (PQresultStatus(end) != PGRES_COMMAND_OK)
		throw_result_error(end);
	PQclear(end);
}

void Connection::interrupt_cancel(bool &cancel_sent)
{
	PGcancel *cancel = PQgetCancel(conn_);
	char message[256];
	if (cancel != nullptr)
	{
		PQcancel(cancel, message, sizeof message);
		PQfreeCancel(cancel);
	}
	cancel_sent = true;
}

void Connection::run(const std::string &sql, const std::vector<Param> &params)
{
	query(sql, params);
}

Param int_array(const std::vector<int> &values)
{
	if (values.empty())
		return std::nullopt;
	std::vector<std::string> items;
	for (int v : values)
		items.push_back(std::to_string(v));
	return array_literal(items, false);
}

Param int8_array(const std::vector<long long> &values)
{
	std::vector<std::string> items;
	for (long long v : values)
		items.push_back(std::to_string(v));
	return array_literal(items, false);
}

Param text_array(const std::vector<std::string> &values)
{
	if (values.empty())
		return std::nullopt;
	return array_literal(values, true);
}
