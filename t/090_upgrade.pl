# Upgrades as a DBA runs them: the installed module is the newest, the
# database still has the SQL objects of 1.0.  Everything 1.0 declares works
# before ALTER EXTENSION vireo UPDATE; the update walks to the newest version
# while a trace runs, and that trace goes on; traces written before it list,
# load and report after it; the upgraded objects equal a fresh install's; an
# unknown version and a downgrade are refused and change nothing.
use strict;
use warnings;
use IPC::Run;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoCompat;

my $node = PostgreSQL::Test::Cluster->new('upgrade');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$node->start;
$node->safe_psql('postgres', 'CREATE DATABASE upgraded; CREATE DATABASE fresh');

my $newest = $node->safe_psql('postgres',
	"SELECT default_version FROM pg_available_extensions WHERE name = 'vireo'");
# Creating 1.0 checks that the module still has every C function 1.0 names.
$node->safe_psql('upgraded', "CREATE EXTENSION vireo VERSION '1.0'");
my $path = $node->safe_psql('postgres',
	"SELECT path FROM pg_extension_update_paths('vireo') WHERE source = '1.0' AND target = '$newest'");
isnt($path, '', "an update path leads from 1.0 to $newest ($path)");

sub sql { return $node->safe_psql('upgraded', $_[0]); }

# Runs vireo-report against the node; returns its exit status and output.
sub report
{
	my ($out, $err) = ('', '');
	IPC::Run::run([ 'vireo-report', '-h', $node->host, '-p', $node->port, '-d', 'upgraded', @_ ],
		'>', \$out, '2>', \$err);
	return ($? >> 8, $out . $err);
}

# The marker statements of a trace, loaded in a session of its own.
sub loaded_queries
{
	my ($id) = @_;
	my @lines = split /\n/, sql(
		"SELECT vr_load_trace('$id', true);
		 SELECT string_agg(substring(q.query FROM '''(marker:[^'']*)'''), ' | ' ORDER BY p.end_time)
		 FROM _vr_tmp_tbl_vireo p JOIN _vr_tmp_tbl_query q USING (query_id)
		 WHERE q.query LIKE 'SELECT ''marker:%'");
	return $lines[-1];
}

# With the 1.0 objects: a finished trace, and one that stays running across
# the update, fed by a session that was connected before it.
my $upgraded_db = sql("SELECT oid FROM pg_database WHERE datname = 'upgraded'");
my $before = sql("SELECT vr_activate('written before the update', NULL, ARRAY[$upgraded_db]::oid[])");
sql("SELECT 'marker: before the update, finished trace'");
sql("SELECT vr_deactivate('$before')");
my $running = sql("SELECT vr_activate('running across the update', NULL, ARRAY[$upgraded_db]::oid[])");
my $session = $node->background_psql('upgraded');
$session->query_safe("SELECT 'marker: before the update'");

is(sql("SELECT vr_version()"), '4', '1.0 objects: vr_version');
is(sql("SELECT trace_id FROM vr_active_traces()"), $running, '1.0 objects: vr_active_traces');
is(sql("SELECT status FROM vr_traces_list() WHERE trace_id = '$before'"), '2',
	'1.0 objects: vr_traces_list');
is(loaded_queries($before), 'marker: before the update, finished trace',
	'1.0 objects: vr_load_trace');
my $scratch = sql("SELECT vr_activate('removed with the 1.0 objects')");
is(sql("SELECT vr_cleanup('$scratch', true)"), 't', '1.0 objects: vr_cleanup');
my ($rc, $out) = report($before, '--format', 'text');
is($rc, 0, '1.0 objects: vireo-report') or diag $out;

# The update, while the trace runs and the other session goes on.
sql('ALTER EXTENSION vireo UPDATE');
is(sql("SELECT extversion FROM pg_extension WHERE extname = 'vireo'"), $newest, "updated to $newest");
$session->query_safe("SELECT 'marker: after the update'");
is(sql("SELECT trace_id FROM vr_active_traces()"), $running, 'the trace runs on after the update');
sql("SELECT 'marker: after the update, new session'");
sql("SELECT vr_deactivate('$running')");
$session->quit;
is( loaded_queries($running),
	'marker: before the update | marker: after the update | marker: after the update, new session',
	'the running trace recorded before and after the update, old and new sessions');

# Traces written before the update, seen through the updated objects.
is(sql("SELECT count(*) FROM vr_traces_list() WHERE trace_id IN ('$before', '$running')"), '2',
	'traces written before the update are listed');
like(loaded_queries($before), qr/finished trace/, 'and load');
($rc, $out) = report($before, '--format', 'text');
is($rc, 0, 'and report') or diag $out;
like($out, qr/marker: before the update, finished trace/, 'the report shows their statements');
unlike($out, qr/vireo-report: warning/, 'vireo-report and the module are of one release');

# The upgraded objects are those of a fresh install: the same members, and
# each function with the same definition and privileges.
$node->safe_psql('fresh', 'CREATE EXTENSION vireo');
my $members = q{
	SELECT pg_describe_object(d.classid, d.objid, 0)
	       || coalesce(E'\n' || pg_get_functiondef(p.oid) || ' ' || coalesce(p.proacl::text, ''), '')
	FROM pg_depend d JOIN pg_extension e ON e.oid = d.refobjid AND e.extname = 'vireo'
	LEFT JOIN pg_proc p ON d.classid = 'pg_proc'::regclass AND p.oid = d.objid
	WHERE d.refclassid = 'pg_extension'::regclass AND d.deptype = 'e'
	ORDER BY 1};
is(sql($members), $node->safe_psql('fresh', $members),
	'upgraded members and function definitions equal a fresh install');
my @dx = map { $node->safe_psql($_, '\dx+ vireo') } qw(upgraded fresh);
ok(length $dx[0] > 0, '\dx+ vireo lists the objects');
is($dx[0], $dx[1], '\dx+ vireo: upgraded equals fresh');

# Bad versions: the server's own refusal, and nothing changes.
my ($ret, $stdout, $stderr) = $node->psql('upgraded', "ALTER EXTENSION vireo UPDATE TO '9.9'");
like($stderr, qr/extension "vireo" has no update path from version "\Q$newest\E" to version "9\.9"/,
	'an unknown version is refused');
($ret, $stdout, $stderr) = $node->psql('upgraded', "ALTER EXTENSION vireo UPDATE TO '../1.0'");
like($stderr, qr/invalid extension version name/, 'a version name with a path is refused');
($ret, $stdout, $stderr) = $node->psql('upgraded', "ALTER EXTENSION vireo UPDATE TO '1.0'");
like($stderr, qr/extension "vireo" has no update path from version "\Q$newest\E" to version "1\.0"/,
	'a downgrade is refused');
is(sql("SELECT extversion FROM pg_extension WHERE extname = 'vireo'"), $newest,
	'the extension stays at its version');
is(sql($members), $node->safe_psql('fresh', $members), 'with its objects unchanged');

done_testing();
