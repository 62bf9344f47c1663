// Role and database names across servers.
#include "names.hpp"

NameBook::Kind::Kind(const char *unknown_prefix, size_t sources)
    : unknown(unknown_prefix), names(1), by_source(sources)
{
}

uint32_t NameBook::Kind::intern(const std::string &name)
{
	auto found = ids.find(name);
	if (found != ids.end())
		return found->second;
	auto id = static_cast<uint32_t>(names.size());
	names.push_back(name);
	ids.emplace(name, id);
	return id;
}

uint32_t NameBook::Kind::id_of(size_t source, uint32_t oid)
{
	auto &map = by_source.at(source);
	auto found = map.find(oid);
	if (found != map.end())
		return found->second;
	uint32_t id = intern(unknown + std::to_string(oid));
	map.emplace(oid, id);
	return id;
}

std::vector<uint32_t> NameBook::Kind::named(const std::vector<std::string> &wanted) const
{
	std::vector<uint32_t> out;
	for (const std::string &name : wanted)
	{
		auto found = ids.find(name);
		if (found != ids.end())
			out.push_back(found->second);
	}
	if (out.empty())
		out.push_back(0);
	return out;
}

NameBook::NameBook(size_t sources) : roles_("role ", sources), databases_("database ", sources)
{
}

void NameBook::add_source(size_t source, Connection &db)
{
	for (auto [kind, query] :
	     {std::pair<Kind *, const char *>{&roles_, "SELECT oid, rolname FROM pg_catalog.pg_roles"},
	      {&databases_, "SELECT oid, datname FROM pg_catalog.pg_database"}})
	{
		Result r = db.query(query);
		for (int i = 0; i < r.rows(); i++)
			kind->by_source.at(source)[static_cast<uint32_t>(r.integer(i, 0))] =
			    kind->intern(r.text(i, 1));
	}
}
