# vireo under load: pgbench sessions run while other sessions keep
# activating, listing, loading, deactivating and removing traces that end at
# their size and time limits, and one trace records a known workload of its
# own from start to end.  The server must not restart, nothing may fail, and
# that trace must hold exactly the statements that ran: none lost, none
# twice, none torn.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoCompat;
use IPC::Run;

my $node = PostgreSQL::Test::Cluster->new('load');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'\nmax_connections = 40\n");
$node->start;

my $tempdir = PostgreSQL::Test::Utils::tempdir;
my $timeout = $PostgreSQL::Test::Utils::timeout_default;
my $traces = $node->data_dir . '/traces';

# Roles: bench runs the pgbench load, exact the counted workload, churn1 and
# churn2 (members of vireo_admin) manage traces.  postgres only checks, with
# recording off.
$node->safe_psql(
	'postgres', q{
CREATE EXTENSION vireo;
ALTER ROLE postgres SET vireo.enabled = off;
CREATE ROLE bench LOGIN;
CREATE ROLE exact LOGIN;
CREATE ROLE churn1 LOGIN IN ROLE vireo_admin;
CREATE ROLE churn2 LOGIN IN ROLE vireo_admin;
CREATE TABLE exact_log(client int, v int);
GRANT SELECT, INSERT ON exact_log TO exact;
-- Waits until a trace is no longer active and returns its listed status.
CREATE FUNCTION wait_for_end(id text, seconds float8) RETURNS int LANGUAGE plpgsql AS $$
BEGIN
	FOR i IN 1 .. (seconds * 20)::int LOOP
		EXIT WHEN NOT EXISTS (SELECT 1 FROM vr_active_traces() a WHERE a.trace_id = id);
		PERFORM pg_sleep(0.05);
	END LOOP;
	RETURN (SELECT status FROM vr_traces_list() l WHERE l.trace_id = id);
END $$;
});
$node->command_ok([ 'pgbench', '-i', '-q', '-s', '1', $node->connstr('postgres') ], 'pgbench initialises');
$node->safe_psql('postgres',
	'GRANT ALL ON pgbench_accounts, pgbench_branches, pgbench_tellers, pgbench_history TO bench');
my %oid = map { $_ => $node->safe_psql('postgres', "SELECT '$_'::regrole::oid") } qw(bench exact churn1 churn2);

# A session that lives through the whole test: a crash and restart of the
# server would end it.
my $watch = $node->background_psql('postgres');
my $watch_pid = $watch->query_safe('SELECT pg_backend_pid()');

# The counted workload: 2 clients x 300 transactions of two statements, traced
# by a trace that covers only the role exact.
my $exact_id = $node->safe_psql('postgres', "SELECT vr_activate('exact', ARRAY[$oid{exact}])");
my $clients = 2;
my $transactions = 300;
append_to_file("$tempdir/exact.sql", <<'EOF');
\set v random(1, 1000000000)
SELECT count(*) FROM exact_log WHERE client = :client_id;
INSERT INTO exact_log VALUES (:client_id, :v);
EOF

# Churners: churn1's traces end at their size limit (1 MB), churn2's at their
# time limit (0.5 s); both list, load while recording, deactivate, load again
# and remove, and try to remove everything, which the running traces refuse.
sub churn_script
{
	my ($limits) = @_;
	my $users = join(',', @oid{qw(bench churn1 churn2)});
	my $round = <<"EOF";
SELECT vr_activate('churn', ARRAY[$users]::oid[], NULL, $limits) AS id \\gset
SELECT count(*) >= 0 FROM vr_active_traces();
SELECT count(*) >= 0 FROM vr_traces_list();
SELECT vr_load_trace(:'id') IS NOT NULL;
SELECT 'status:' || wait_for_end(:'id', 3);
SELECT vr_deactivate(:'id') IS NOT NULL;
SELECT vr_load_trace(:'id') IS NOT NULL;
SELECT count(*) >= 0 FROM _vr_tmp_view_data;
SELECT vr_cleanup(:'id', true) AS removed \\gset
\\if :removed
\\else
SELECT 'the trace was not removed' AS failure, 1/0;
\\endif
DO \$\$ BEGIN PERFORM vr_cleanup(NULL, false); EXCEPTION WHEN object_in_use THEN NULL; END \$\$;
EOF
	return "SET client_min_messages = error;\n" . ($round x 12);
}
append_to_file("$tempdir/churn1.sql", churn_script('1, 0, NULL'));
append_to_file("$tempdir/churn2.sql", churn_script("NULL, 0, interval '0.5 s'"));

my %run;
sub start_run
{
	my ($name, @cmd) = @_;
	$run{$name} = IPC::Run::start(\@cmd, '<', \undef, '>', "$tempdir/$name.out", '2>', "$tempdir/$name.err",
		IPC::Run::timeout(3 * $timeout));
}
start_run('bench', 'pgbench', '-n', '-c', '8', '-j', '2', '-T', '30', $node->connstr('postgres') . ' user=bench');
start_run('exact', 'pgbench', '-n', '-c', $clients, '-j', '1', '-R', '40', '-t', $transactions, '-f', "$tempdir/exact.sql",
	$node->connstr('postgres') . ' user=exact');
foreach my $churner ('churn1', 'churn2')
{
	start_run($churner, 'psql', '-X', '-q', '-A', '-t', '-v', 'ON_ERROR_STOP=1', '-f', "$tempdir/$churner.sql",
		'-d', $node->connstr('postgres') . " user=$churner");
}
foreach my $name (sort keys %run)
{
	ok($run{$name}->finish, "$name ran to its end without error")
		or diag(slurp_file("$tempdir/$name.err"));
}

# pgbench counts failed transactions from 15 on; before, a failed
# transaction aborts its client and so fails the run above.
SKIP:
{
	skip 'pgbench before 15 does not count failed transactions', 1
	  if $node->safe_psql('postgres', 'SHOW server_version_num') < 150000;
	like(slurp_file("$tempdir/bench.out"), qr/number of failed transactions: 0 /, 'no pgbench transaction failed');
}
like(slurp_file("$tempdir/exact.out"),
	qr/number of transactions actually processed: ${\($clients * $transactions)}\//,
	'the counted workload ran completely');
my %statuses;
foreach my $churner ('churn1', 'churn2')
{
	my $out = slurp_file("$tempdir/$churner.out");
	$statuses{$churner}{$1}++ while $out =~ /^status:(\d)$/mg;
}
ok($statuses{churn1}{3}, 'traces ended at their size limit while the load ran');
ok($statuses{churn2}{4}, 'traces ended at their time limit while the load ran');
is($watch->query_safe('SELECT pg_backend_pid()'), $watch_pid, 'the server never restarted');
$watch->quit;

my @unexpected = grep { !/WARNING:  Could not find the trace \(\d{20}\)/ }
	grep { /\b(ERROR|WARNING|FATAL|PANIC):|TRAP:|terminated by signal|vireo: / } split /\n/, slurp_file($node->logfile);
is(join("\n", @unexpected), '', 'the server log holds no unexpected message');

# The counted trace: every statement once, complete.
is($node->safe_psql('postgres', "SELECT vr_deactivate('$exact_id')"), 't', 'the counted trace was active throughout');
my $torn = 0;
opendir(my $dh, "$traces/$exact_id") or die "opendir: $!";
foreach my $name (grep { /^trace-\d+\.csv$/ } readdir $dh)
{
	my $data = slurp_file("$traces/$exact_id/$name");
	$data =~ /\A(?:(?:[^"\n]++|"[^"]*+")*+\n)*+/;
	$torn++ if $+[0] != length($data);
}
closedir $dh;
is($torn, 0, 'every data file of the counted trace ends with a complete record');

my $statements = 2 * $clients * $transactions;
is( $node->safe_psql(
		'postgres', qq{
SELECT vr_load_trace('$exact_id') \\g /dev/null
SELECT count(*), count(DISTINCT pid),
       count(*) FILTER (WHERE query LIKE 'INSERT INTO exact_log VALUES (%'),
       count(*) FILTER (WHERE user_id <> $oid{exact} OR rows_updated <> 1 OR query_type NOT IN (1, 3)
                         OR start_time > end_time OR explain NOT LIKE '%exact_log%')
FROM _vr_tmp_view_data;
}),
	"$statements|$clients|" . ($statements / 2) . '|0',
	'the counted trace holds every statement of the workload, each one complete');
is( $node->safe_psql(
		'postgres', "SELECT vr_load_trace('$exact_id') \\g /dev/null\n" . q{
WITH recorded AS (
	SELECT substring(query FROM 'VALUES \((\d+, \d+)\)') AS row FROM _vr_tmp_view_data WHERE query LIKE 'INSERT%'),
executed AS (SELECT client || ', ' || v AS row FROM exact_log)
SELECT (SELECT count(*) FROM (SELECT row FROM recorded EXCEPT ALL SELECT row FROM executed) lost_or_twice)
     + (SELECT count(*) FROM (SELECT row FROM executed EXCEPT ALL SELECT row FROM recorded) missing);
}),
	'0',
	'the recorded inserts are exactly the rows inserted');

# Removing all traces while others start: a cleanup that found every trace
# removable removes the traces root too, and must not take along a trace
# started meanwhile.  A trace whose descriptor is gone while the registry
# still holds it has been lost that way.
append_to_file("$tempdir/sweep.sql", "SELECT vr_cleanup(NULL, true);\n" x 400);
append_to_file("$tempdir/start.sql", <<'EOF' x 200);
SELECT vr_activate('started during cleanups') AS id \gset
SELECT pg_stat_file('traces/' || :'id' || '/trace.ini', true) IS NULL AS gone \gset
SELECT 'lost:' || trace_id FROM vr_active_traces() WHERE :'gone'::bool AND trace_id = :'id';
SELECT vr_deactivate(:'id');
EOF
%run = ();
start_run('sweep', 'psql', '-X', '-q', '-A', '-t', '-f', "$tempdir/sweep.sql", '-d', $node->connstr('postgres'));
start_run('start', 'psql', '-X', '-q', '-A', '-t', '-f', "$tempdir/start.sql", '-d', $node->connstr('postgres'));
$run{$_}->finish foreach keys %run;
my $started = slurp_file("$tempdir/start.out");
my @lost = $started =~ /^lost:(\d+)$/mg;
is(scalar(@lost), 0, 'no trace started during cleanups lost its directory');
my @failed = grep { /ERROR/ && !/vireo is not active/ } split /\n/, slurp_file("$tempdir/start.err");
is(join("\n", @failed), '', 'no activation failed because of a cleanup');

$node->stop;
done_testing();
