// Connecting to the sources' servers and finding their traces.
#include "sources.hpp"

#include "errors.hpp"

#include <cstdio>

namespace {

// host:port from a connection string, for a server that could not be
// reached; never the whole string, which may hold a password.
std::string label_of(const SourceSpec &spec, const Options &options, size_t index)
{
	std::string host = options.host;
	std::string port = options.port;
	char *error = nullptr;
	PQconninfoOption *parsed =
	    spec.conninfo.empty() ? nullptr : PQconninfoParse(spec.conninfo.c_str(), &error);
	if (error != nullptr)
		PQfreemem(error);
	for (PQconninfoOption *o = parsed; o != nullptr && o->keyword != nullptr; o++)
	{
		if (o->val == nullptr || *o->val == '\0')
			continue;
		if (std::string(o->keyword) == "host" ||
		    (std::string(o->keyword) == "hostaddr" && host.empty()))
			host = o->val;
		else if (std::string(o->keyword) == "port")
			port = o->val;
	}
	if (parsed != nullptr)
		PQconninfoFree(parsed);
	if (host.empty() && port.empty())
		return "server " + std::to_string(index + 1);
	if (host.empty() || host[0] == '/')
		host = "local";
	return host + ":" + (port.empty() ? "5432" : port);
}

// What tells two servers apart: when the server started, its port, and the
// cluster's system identifier (which a standby shares with its primary)
// where the role may read it.
std::string identity_of(Connection &db)
{
	Result r = db.query(
	    "SELECT pg_catalog.pg_postmaster_start_time()::text || ' port ' ||"
	    "       pg_catalog.current_setting('port') || ' system ' ||"
	    "       coalesce(CASE WHEN pg_catalog.has_function_privilege("
	    "                              'pg_catalog.pg_control_system()', 'EXECUTE')"
	    "            THEN (SELECT system_identifier FROM pg_catalog.pg_control_system())::text END, '')");
	return r.text(0, 0);
}

int64_t time_of(Connection &db, const std::string &text, const char *option)
{
	try
	{
		return db.query("SELECT (extract(epoch FROM $1::timestamptz) * 1000000)::int8", {text})
		    .integer(0, 0);
	}
	catch (const SqlError &e)
	{
		throw UsageError(std::string("invalid ") + option + " time \"" + text + "\": " + e.what());
	}
}

} // namespace

void check_module_version(Connection &db, Progress &progress, const std::string &label)
{
	db.run("SET vireo.enabled = off");
	Result r =
	    db.query("SELECT pg_catalog.current_setting('vireo.version', true),"
	             "       pg_catalog.current_setting('vireo.explain_format', true) IS NOT NULL");
	std::string module = r.null(0, 0) ? "" : r.text(0, 0);
	if (module == VIREO_VERSION || (module.empty() && !r.flag(0, 1)))
		return;
	progress.clear();
	std::fprintf(stderr, "vireo-report: warning: %s runs vireo %s; this is vireo-report %s\n",
	             label.empty() ? "the server" : label.c_str(),
	             module.empty() ? "older than 1.1" : module.c_str(), VIREO_VERSION);
}

std::vector<Source> open_sources(const Options &options, Progress &progress)
{
	bool servers = options.sources.size() > 1 && !options.compare;
	std::vector<Source> sources;
	for (size_t i = 0; i < options.sources.size(); i++)
	{
		Source s;
		s.spec = options.sources[i];
		s.label = label_of(s.spec, options, i);
		s.trace.info.id = s.spec.trace_id;
		s.trace.info.label = s.label;
		try
		{
			s.db = std::make_unique<Connection>(options, progress, s.spec.conninfo);
		}
		catch (const Interrupted &)
		{
			throw;
		}
		catch (const Failure &e)
		{
			// One server of several: the others make the report.
			if (!servers)
				throw;
			s.unreachable = e.what();
		}
		sources.push_back(std::move(s));
	}
	size_t reached = 0;
	std::string why;
	for (const Source &s : sources)
	{
		reached += s.db ? 1 : 0;
		if (!s.db)
			why += (why.empty() ? "" : "; ") + s.label + ": " + s.unreachable;
	}
	if (reached == 0)
		throw Failure("none of the " + std::to_string(sources.size()) +
		              " servers could be reached (" + why + ")");

	std::vector<std::pair<std::string, size_t>> identities;
	for (size_t i = 0; i < sources.size(); i++)
	{
		Source &s = sources[i];
		if (!s.db)
			continue;
		// Recording off before anything else, then the module's release.
		check_module_version(*s.db, progress, servers ? s.label : "");
		bool standby = s.db->query("SELECT pg_catalog.pg_is_in_recovery()").flag(0, 0);
		s.label = s.db->short_server() + (standby ? " (standby)" : "");
		if (servers)
		{
			std::string identity = identity_of(*s.db);
			for (const auto &seen : identities)
			{
				if (seen.first == identity)
					throw Failure("--source " + sources[seen.second].label + " and --source " +
					              s.label + " are the same server: give each server once");
			}
			identities.emplace_back(identity, i);
		}
		s.trace = find_trace(*s.db, s.spec.trace_id, options.load, progress);
		s.trace.info.label = s.label;
		s.trace.info.standby = standby;
	}
	// Labels tell the servers apart on the page.
	for (size_t i = 0; i < sources.size(); i++)
	{
		int same = 0;
		for (size_t j = 0; j < i; j++)
			same += sources[j].label == sources[i].label ? 1 : 0;
		if (same > 0 && !options.compare)
			sources[i].label += " #" + std::to_string(same + 1);
	}
	return sources;
}

NameBook read_names(std::vector<Source> &sources)
{
	NameBook names(sources.size());
	for (size_t i = 0; i < sources.size(); i++)
	{
		if (sources[i].db)
			names.add_source(i, *sources[i].db);
	}
	return names;
}

Filter resolve_filter(std::vector<Source> &sources, const NameBook &names, const Options &options)
{
	Filter f;
	f.pids = options.pids;
	f.applications = options.applications;
	if (!options.users.empty())
		f.users = names.roles_named(options.users);
	if (!options.databases.empty())
		f.databases = names.databases_named(options.databases);
	Connection *db = nullptr;
	for (Source &s : sources)
	{
		if (s.db && db == nullptr)
			db = s.db.get();
	}
	if (!options.from.empty())
		f.from_us = time_of(*db, options.from, "--from");
	if (!options.to.empty())
		f.to_us = time_of(*db, options.to, "--to");
	return f;
}
