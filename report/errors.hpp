// The failures vireo-report reports: each one becomes one line on standard
// error and a non-zero exit status.
#pragma once

#include <stdexcept>
#include <string>

// Something the user can act on: a trace that does not exist, no privilege,
// a server without the extension.  The message is one line without the
// program's name.
class Failure : public std::runtime_error
{
public:
	explicit Failure(const std::string &message) : std::runtime_error(message)
	{
	}
};

// Wrong use of the command line: reported with a hint to --help.
class UsageError : public Failure
{
public:
	using Failure::Failure;
};

// The user pressed ^C (or the program got SIGTERM).
class Interrupted : public Failure
{
public:
	Interrupted() : Failure("interrupted")
	{
	}
};

// An error the server reported for one of our statements.
class SqlError : public Failure
{
public:
	SqlError(const std::string &sqlstate, const std::string &message)
	    : Failure(message), sqlstate_(sqlstate)
	{
	}
	const std::string &sqlstate() const
	{
		return sqlstate_;
	}

private:
	std::string sqlstate_;
};

// The trace, or what the filters leave of it, holds no statement: exit 3,
// and no output is written.
class NothingToReport : public Failure
{
public:
	using Failure::Failure;
};
