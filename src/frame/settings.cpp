#include "frame/settings.hpp"

#include "capture/record_check.hpp"
#include "frame/pg_compat.hpp"

bool vireo_enabled = true;
bool vireo_use_array_for_paramas = false;
int vireo_explain_format = VRX_EXPLAIN_TEXT;
int vireo_min_free_space = -1;
bool vireo_explain_timing = true;
char *vireo_directory = nullptr;
int vireo_max_ended_traces_per_user = 100;
bool vireo_track_nested = false;
bool vireo_track_utility = false;
int vireo_plan_min_duration = -1;
double vireo_sample_rate = 1.0;

#ifndef VIREO_VERSION
#error "VIREO_VERSION is the release, given by the Makefile from the file VERSION"
#endif
static char *vireo_version = nullptr;

static const struct config_enum_entry explain_format_options[] = {
    {"text", VRX_EXPLAIN_TEXT, false},
    {"json", VRX_EXPLAIN_JSON, false},
    {nullptr, 0, false},
};

// An empty path would put traces into the data directory itself, and a long
// one would not leave room for the names below it.
static bool check_directory(char **newval, void **, GucSource)
{
	if (*newval == nullptr || (*newval)[0] == '\0')
	{
		GUC_check_errdetail("vireo.directory must not be empty.");
		return false;
	}
	if (strlen(*newval) > VRX_DIRECTORY_MAX)
	{
		GUC_check_errdetail("vireo.directory must not be longer than %d bytes.",
		                    static_cast<int>(VRX_DIRECTORY_MAX));
		return false;
	}
	canonicalize_path(*newval);
	return true;
}

void vrx_define_settings(void)
{
	DefineCustomBoolVariable("vireo.enabled", "Enable or Disable Vireo for this session.", nullptr,
	                         &vireo_enabled, true, PGC_USERSET, 0, nullptr, nullptr, nullptr);

	DefineCustomBoolVariable(
	    "vireo.use_array_for_paramas",
	    "Enable/Disable to load the prepared parameters in 'params' (OIDVECTOR) column.", nullptr,
	    &vireo_use_array_for_paramas, false, PGC_USERSET, 0, nullptr, nullptr, nullptr);

	DefineCustomEnumVariable("vireo.explain_format", "EXPLAIN format to be used in the trace.",
	                         nullptr, &vireo_explain_format, VRX_EXPLAIN_TEXT,
	                         explain_format_options, PGC_USERSET, 0, nullptr, nullptr, nullptr);

	DefineCustomBoolVariable(
	    "vireo.explain_timing", "Time every plan node of the statements a new trace records.",
	    "Off records plans with actual rows and buffers but without per-node times; the "
	    "statement's duration is measured either way.  Read when a trace is activated.",
	    &vireo_explain_timing, true, PGC_USERSET, 0, nullptr, nullptr, nullptr);

	DefineCustomBoolVariable(
	    "vireo.track_nested", "Record statements run by functions in the traces this session activates.",
	    "Statements that PL/pgSQL bodies, DO blocks and triggers run, each with a record of its "
	    "own.  Read when a trace is activated; only a superuser or a member of vireo_admin may "
	    "activate a trace with it on.",
	    &vireo_track_nested, false, PGC_USERSET, 0, nullptr, nullptr, nullptr);

	DefineCustomBoolVariable(
	    "vireo.track_utility", "Record utility statements in the traces this session activates.",
	    "Statements that never reach the executor: COMMIT, DDL, COPY FROM, VACUUM, ANALYZE...  "
	    "Read when a trace is activated; only a superuser or a member of vireo_admin may "
	    "activate a trace with it on.",
	    &vireo_track_utility, false, PGC_USERSET, 0, nullptr, nullptr, nullptr);

	DefineCustomIntVariable(
	    "vireo.plan_min_duration",
	    "Minimum duration of a statement whose record carries its plan, in the traces this session activates.",
	    "-1 gives every record its plan; 0 or more records every statement the trace selects, "
	    "with an empty plan when it ran for less.  Read when a trace is activated.",
	    &vireo_plan_min_duration, -1, -1, INT_MAX, PGC_USERSET, GUC_UNIT_MS, nullptr, nullptr,
	    nullptr);

	DefineCustomRealVariable(
	    "vireo.sample_rate", "Fraction of the client's statements that traces this session activates record.",
	    "Each statement of the client is recorded with this probability, and the statements it "
	    "runs (in functions, a cursor's fetches) follow its lot.  Read when a trace is activated.",
	    &vireo_sample_rate, 1.0, 0.0, 1.0, PGC_USERSET, 0, nullptr, nullptr, nullptr);

	// For tests of the record builder (record_check.hpp); hidden.
	DefineCustomBoolVariable(
	    "vireo.check_records", "Build every record a second time the plain way and compare.", nullptr,
	    &vireo_check_records, false, PGC_SUSET, GUC_NO_SHOW_ALL | GUC_NOT_IN_SAMPLE, nullptr, nullptr,
	    nullptr);

	// Traces live on the file system of the data directory, usually beside
	// the WAL: a server that cannot write WAL stops, so recording stops first.
	DefineCustomIntVariable(
	    "vireo.min_free_space",
	    "Free space to keep on the file system of the traces; a trace that would leave less ends.",
	    "-1 keeps the larger of 1 GB and 5% of the file system; 0 turns the check off.",
	    &vireo_min_free_space, -1, -1, INT_MAX, PGC_SIGHUP, GUC_UNIT_MB, nullptr, nullptr,
	    nullptr);

	// The release of the module the server runs, for clients (vireo-report
	// warns when it differs from its own) and for monitoring.  Read only:
	// not even a superuser or postgresql.conf can change it.
	DefineCustomStringVariable("vireo.version", "Release of the vireo module the server loaded.",
	                           nullptr, &vireo_version, VIREO_VERSION, PGC_INTERNAL,
	                           GUC_NOT_IN_SAMPLE | GUC_DISALLOW_IN_FILE, nullptr, nullptr,
	                           nullptr);

	// A postmaster-level setting: every backend must agree on where traces
	// are, and moving them while traces run would split them.
	DefineCustomStringVariable(
	    "vireo.directory", "Directory of the traces.",
	    "Relative to the data directory, or an absolute path; one outside the data directory "
	    "keeps traces out of base backups.  It must belong to the server's user.",
	    &vireo_directory, "traces", PGC_POSTMASTER, 0, check_directory, nullptr, nullptr);

	DefineCustomIntVariable(
	    "vireo.max_ended_traces_per_user",
	    "Ended traces a user without vireo_admin privileges may keep before his activations fail.",
	    "-1 sets no limit.", &vireo_max_ended_traces_per_user, 100, -1, INT_MAX, PGC_SUSET, 0,
	    nullptr, nullptr, nullptr);

	vrx_reserve_settings_prefix("vireo");
}
