# The registry lock and the trace slots under hostile use: errors raised by
# the trace functions must never leave the lock waiting on itself (a hang of
# every traced session), a failed activation leaves nothing running, plain
# users cannot take the slots kept for the DBA, and a slot's next trace is
# told apart from its last and starts with clean counters.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoCompat;

my $node = PostgreSQL::Test::Cluster->new('lock_safety');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$node->start;
$node->safe_psql(
	'postgres', q{
CREATE EXTENSION vireo;
CREATE ROLE alice LOGIN;
CREATE ROLE bob LOGIN;
});

# Runs SQL as user under a timeout: (output, messages, whether it timed out).
sub run_as
{
	my ($user, $sql) = @_;
	my ($out, $err, $timed_out) = ('', '', 0);
	$node->psql(
		'postgres', $sql,
		stdout => \$out, stderr => \$err, timeout => 60, timed_out => \$timed_out,
		connstr => $node->connstr('postgres') . " user=$user");
	return ($out, $err, $timed_out);
}

sub observe
{
	return $node->safe_psql('postgres', "SET vireo.enabled = off; $_[0]");
}

# A traced session that runs a statement must answer while another one fails.
sub others_answer
{
	my ($case) = @_;
	my ($out, $err, $timed_out) = run_as('bob', 'SELECT 6 * 7');
	ok(!$timed_out && $out eq '42', "$case: another traced session still answers");
}

my $all = observe("SELECT vr_activate('everybody')");

# --- Errors of the trace functions ----------------------------------------

# The role vireo_admin belongs to the cluster and can be dropped; the
# privilege test of a plain user then fails, and must fail cleanly.
observe('DROP ROLE vireo_admin');
foreach my $call ('SELECT count(*) FROM vr_active_traces()',
	"SELECT vr_activate('alice')", "SELECT vr_deactivate('$all')")
{
	my (undef, $err, $timed_out) = run_as('alice', $call);
	ok(!$timed_out && $err =~ /role "vireo_admin" does not exist/,
		"without vireo_admin, $call fails at once");
	others_answer("without vireo_admin, $call");
}
observe('CREATE ROLE vireo_admin NOLOGIN');

# A comment whose descriptor cannot be built: the activation fails whole.
my $dirs_before = observe("SELECT count(*) FROM pg_ls_dir('traces')");
my (undef, $err, $timed_out) = run_as('alice', q{SELECT vr_activate(repeat('"', 540000000))});
ok(!$timed_out && $err =~ /out of memory|Cannot enlarge string buffer/,
	'an activation whose descriptor would pass 1 GB fails at once');
is(observe('SELECT trace_id FROM vr_active_traces()'), $all, 'and leaves no trace running');
is(observe("SELECT count(*) FROM pg_ls_dir('traces')"), $dirs_before, 'nor any directory');
others_answer('a failed activation');
observe("SELECT vr_deactivate('$all')");

# --- The slots kept for the DBA -------------------------------------------

my $taken = 0;
while (1)
{
	my ($id, $refusal) = run_as('alice', "\\set VERBOSITY verbose\nSELECT vr_activate('alice $taken')");
	if ($id eq '')
	{
		like($refusal, qr/55006: No more sql-profiling allowed/,
			'a plain user is refused the last free slots like a full registry');
		last;
	}
	last if ++$taken > 15;
}
is($taken, 12, 'a plain user takes at most 12 of the 15 slots');
is(observe("SELECT count(*) FROM (SELECT vr_activate('dba ' || g) FROM generate_series(1, 3) g) a"),
	'3', 'the last three are left for the DBA');
my (undef, $full) = run_as('postgres', "\\set VERBOSITY verbose\nSELECT vr_activate('sixteenth')");
like($full, qr/55006: No more sql-profiling allowed/, 'the sixteenth trace is refused to the DBA too');
observe('SELECT count(vr_deactivate(trace_id)) FROM vr_active_traces()');

# --- A slot's next trace ---------------------------------------------------

sub trace_named
{
	return observe("SELECT trace_id FROM vr_traces_list() WHERE comments = '$_[0]'");
}

sub recorded
{
	my ($id, $text) = @_;
	my $dir = $node->data_dir . "/traces/$id";
	return scalar grep { index(slurp_file("$dir/$_"), $text) >= 0 } grep { /^trace-\d+\.csv$/ } slurp_dir($dir);
}

# Two activations of one statement share its start time.  The backend that
# took up the first must tell the second from it, also when it did not look
# at the registry in between (one statement ends the first and starts the
# second).
$node->safe_psql(
	'postgres', q{
DO $$
DECLARE
    one text := vr_activate('same start one');
BEGIN
    PERFORM count(*) FROM pg_class;  -- this backend takes up the first trace
    PERFORM vr_activate('same start two') FROM (SELECT vr_deactivate(one) AS ended OFFSET 0) d WHERE d.ended;
END
$$;
SELECT 'after the second activation';
});
my ($one, $two) = (trace_named('same start one'), trace_named('same start two'));
ok(recorded($two, "SELECT 'after the second activation'"), 'the second trace of the statement records');
ok(!recorded($one, "SELECT 'after the second activation'"), 'the first one, ended, does not');
observe("SELECT vr_deactivate('$two')");

# A statement that is still running when its trace ends is not counted in
# the next trace of its slot, neither while it runs nor when it ends.
my $first = observe("SELECT vr_activate('running first')");
my $sleeper = $node->background_psql('postgres', extra_params => [ '-U', 'alice' ], on_error_stop => 0);
my $sleeper_pid = $sleeper->query_safe('SELECT pg_backend_pid();');
$sleeper->query_until(qr/sleeping/, "\\echo sleeping\nSELECT pg_sleep(120);\n");
ok( $node->poll_query_until(
		'postgres',
		"\\set QUIET on\nSET vireo.enabled = off;\nSELECT running_queries FROM vr_active_traces() WHERE trace_id = '$first'",
		'1'),
	'the sleeping statement is counted in its trace');
observe("SELECT vr_deactivate('$first')");
my $second = observe("SELECT vr_activate('running second')");
is(observe("SELECT running_queries FROM vr_active_traces() WHERE trace_id = '$second'"),
	'0', 'the next trace in the slot starts with no running statement');
observe("SELECT pg_cancel_backend($sleeper_pid)");
$sleeper->query('SELECT 1;');
is(observe("SELECT running_queries FROM vr_active_traces() WHERE trace_id = '$second'"),
	'0', 'the statement of the ended trace is not counted out of the next one');
$sleeper->quit;

# Only the client's statements are counted: a statement that a function runs
# through SPI is not recorded, so it gets neither instrumentation nor a
# count.  A backend that ends inside a statement (terminated, its client
# lost) takes its statements out of the count on its way out.
$node->safe_psql('postgres',
	q{CREATE FUNCTION nap() RETURNS void LANGUAGE plpgsql AS $$BEGIN PERFORM pg_sleep(120); END$$;});
my $third = observe("SELECT vr_activate('running third')");
my $napper = $node->background_psql('postgres', extra_params => [ '-U', 'alice' ], on_error_stop => 0);
my $napper_pid = $napper->query_safe('SELECT pg_backend_pid();');
$napper->query_until(qr/napping/, "\\echo napping\nSELECT nap();\n");
ok( $node->poll_query_until(
		'postgres', "SELECT count(*) FROM pg_stat_activity WHERE pid = $napper_pid AND wait_event = 'PgSleep'", '1'),
	'the function sleeps');
is(observe("SELECT running_queries FROM vr_active_traces() WHERE trace_id = '$third'"),
	'1', 'the client\'s statement is counted, not the one its function runs');
observe("SELECT pg_terminate_backend($napper_pid)");
ok($node->poll_query_until('postgres', "SELECT count(*) FROM pg_stat_activity WHERE pid = $napper_pid", '0'),
	'the backend is terminated');
is(observe("SELECT running_queries FROM vr_active_traces() WHERE trace_id = '$third'"),
	'0', 'a backend terminated inside a statement no longer counts it');
eval { $napper->quit };

# --- Identifiers -----------------------------------------------------------

# Every identifier of one second is taken: the statement makes all 65,536
# directories of its own second (as the server's user, through COPY TO
# PROGRAM) and then activates.  The activation looks for a free identifier
# without holding the registry lock, fails as with a full registry, and takes
# over none of the directories; meanwhile other sessions go on.
my $traces = $node->data_dir . '/traces';
my $claim_all = q{
SET vireo.enabled = off;
DO $$
DECLARE
    second text := to_char(statement_timestamp() AT TIME ZONE 'UTC', 'YYYYMMDDHH24MISS');
BEGIN
    RAISE NOTICE 'second %', second;
    EXECUTE format('COPY (SELECT 1) TO PROGRAM %L',
                   'mkdir -p traces && cd traces && seq -f ' || second || '%06g 0 65535 | xargs mkdir');
    PERFORM vr_activate('no identifier left');
END
$$;
};
# No trace of this test was started in the second of the activation.
my $running_before = observe('SELECT count(*) FROM vr_active_traces()');
sleep 1;
my ($victim_out, $victim_err) = ('', '');
my $victim = IPC::Run::start(
	[ 'psql', '-X', '-v', 'VERBOSITY=verbose', '-d', $node->connstr('postgres'), '-c', $claim_all ],
	'>', \$victim_out, '2>', \$victim_err, IPC::Run::timeout(300));
my ($asked, $answered) = (0, 0);
while ($victim->pumpable)
{
	$victim->pump_nb;
	my ($out, undef, $timed_out) = run_as('bob', 'SELECT 6 * 7');
	$asked++;
	$answered++ if !$timed_out && $out eq '42';
}
$victim->finish;
is($answered, $asked, "another session answered all along ($asked times)");
my ($full_second) = $victim_err =~ /second (\d{14})/;
like($victim_err, qr/ERROR:  55006: No more sql-profiling allowed\. Maximum number of allowed traces has been reached\.\nDETAIL:  Every trace identifier of the second $full_second is taken\./,
	'an activation that finds every identifier of its second taken fails as with a full registry');
opendir(my $dh, $traces) or die "opendir: $!";
my @second_dirs = grep { /^$full_second\d{6}$/ } readdir $dh;
closedir $dh;
is(scalar(@second_dirs), 65536, 'the directories of that second are all there');
is(scalar(grep { -e "$traces/$_/trace.ini" } @second_dirs), 0, 'and none was taken over');
is(observe('SELECT count(*) FROM vr_active_traces()'), $running_before, 'no trace was started');
rmdir "$traces/$_" foreach @second_dirs;

done_testing();
