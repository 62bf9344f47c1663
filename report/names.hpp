// Names of roles and databases across the servers of a report.  Records
// carry the oids of their server; a report of several servers counts the
// same role or database by its name, so each oid is turned into a number of
// the report's own as the record arrives: one number per name, whichever
// server the oid comes from.  An oid that its server no longer knows (a
// dropped role) stands as "role 16384".
#pragma once

#include "connection.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class NameBook
{
public:
	explicit NameBook(size_t sources);

	// Reads the roles and databases of the server of source.
	void add_source(size_t source, Connection &db);

	// The report's numbers (1 and up) for a server's oids.
	uint32_t role(size_t source, uint32_t oid)
	{
		return roles_.id_of(source, oid);
	}
	uint32_t database(size_t source, uint32_t oid)
	{
		return databases_.id_of(source, oid);
	}
	const std::string &role_name(uint32_t id) const
	{
		return roles_.names.at(id);
	}
	const std::string &database_name(uint32_t id) const
	{
		return databases_.names.at(id);
	}
	// The numbers of these names; a name that no server has matches
	// nothing (the number 0, which no record carries).
	std::vector<uint32_t> roles_named(const std::vector<std::string> &names) const
	{
		return roles_.named(names);
	}
	std::vector<uint32_t> databases_named(const std::vector<std::string> &names) const
	{
		return databases_.named(names);
	}

private:
	struct Kind
	{
		explicit Kind(const char *unknown_prefix, size_t sources);
		uint32_t intern(const std::string &name);
		uint32_t id_of(size_t source, uint32_t oid);
		std::vector<uint32_t> named(const std::vector<std::string> &wanted) const;

		const char *unknown;
		std::vector<std::string> names; // by number; 0 is nobody
		std::unordered_map<std::string, uint32_t> ids;
		std::vector<std::unordered_map<uint32_t, uint32_t>> by_source;
	};
	Kind roles_;
	Kind databases_;
};
