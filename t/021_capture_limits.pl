# Statement capture across processes and over a trace's life: size and time
# limits, traces ending under backends that still hold their files, slot
# reuse, switching recording off, parallel workers, the running-statement
# counter, and a data file that can no longer grow.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoCompat;
use VireoTrace;

my $node = PostgreSQL::Test::Cluster->new('capture_limits');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$node->start;

# The sessions that activate traces and look at the registry run as postgres
# with recording switched off, so that they are never counted or recorded;
# the sessions under test switch it on or run as alice.
$node->safe_psql(
	'postgres', q{
CREATE EXTENSION vireo;
CREATE ROLE alice LOGIN;
ALTER ROLE postgres SET vireo.enabled = off;
CREATE TABLE t(a int);
INSERT INTO t SELECT generate_series(1, 1000);
CREATE TABLE big AS SELECT g AS a FROM generate_series(1, 20000) g;
ANALYZE big;
GRANT SELECT ON t, big TO PUBLIC;
});
my $alice_oid = $node->safe_psql('postgres', "SELECT 'alice'::regrole::oid");

sub trace_dir
{
	my ($id) = @_;
	return $node->data_dir . "/traces/$id";
}

sub trace_file
{
	my ($id, $pid) = @_;
	return trace_dir($id) . "/trace-$pid.csv";
}

sub file_size
{
	my ($id, $pid) = @_;
	return (-s trace_file($id, $pid)) || 0;
}

# The records of one backend in one trace; none when it has no data file.
sub records_of
{
	my ($id, $pid) = @_;
	return read_records(trace_file($id, $pid));
}

sub observe
{
	my ($sql) = @_;
	return $node->safe_psql('postgres', $sql);
}

sub activate
{
	my ($args) = @_;
	return observe("SELECT vr_activate($args)");
}

sub is_active
{
	my ($id) = @_;
	return observe("SELECT count(*) FROM vr_active_traces() WHERE trace_id = '$id'") eq '1';
}

sub listed_status
{
	my ($id) = @_;
	return observe("SELECT status FROM vr_traces_list() WHERE trace_id = '$id'");
}

sub descriptor_status
{
	my ($id) = @_;
	my ($status) = slurp_file(trace_dir($id) . '/trace.ini') =~ /^Status=(\d+)$/m;
	return $status;
}

sub running_queries
{
	my ($id) = @_;
	return observe("SELECT running_queries FROM vr_active_traces() WHERE trace_id = '$id'");
}

sub wait_past_end_time
{
	my ($id) = @_;
	$node->poll_query_until('postgres',
		"SELECT clock_timestamp() > end_time FROM vr_traces_list() WHERE trace_id = '$id'")
	  or die "the end time of $id did not pass";
}

# The registry counts no active trace: the lookup then fails with "vireo is
# not active." instead of searching the slots.
sub registry_empty
{
	my ($rc, $out, $err) = $node->psql('postgres', "SELECT vr_deactivate('00000000000000000000')");
	return $err =~ /vireo is not active\./;
}

# A recording session: role as given, recording switched on.
sub session
{
	my ($role, %params) = @_;
	my $s = $node->background_psql('postgres', extra_params => [ '-U', $role // 'postgres' ], %params);
	$s->query_safe('SET vireo.enabled = on;');
	return $s;
}

sub pid_of
{
	my ($s) = @_;
	return $s->query_safe('SELECT pg_backend_pid();');
}

my $s = session();
my $spid = pid_of($s);
my $b = session('alice');
my $bpid = pid_of($b);

# --- Size limit -----------------------------------------------------------

# 1 MB; each filler statement writes a record of about 300 kB.
my $size_id = activate("'size', NULL, NULL, 1");
$b->query_safe("SELECT 'other backend';");
my $filler = 'x' x 300_000;
my $statements = 0;
while ($statements < 10 && is_active($size_id))
{
	$s->query_safe("SELECT length('$filler');");
	$statements++;
}
is($statements, 4, 'the size limit ends the trace at the record that reaches 1 MB');
my $written = file_size($size_id, $spid) + file_size($size_id, $bpid);
my $last_record = records_of($size_id, $spid)->[-1];
cmp_ok($written, '>=', 1048576, 'the data files hold at least the size limit');
cmp_ok($written - length($last_record->{raw}), '<', 1048576, 'the trace ended at the first record past the limit');
is(listed_status($size_id), '3', 'a trace ended at its size limit is listed with status 3');
is(descriptor_status($size_id), '3', 'its descriptor says status 3');

my ($s_size, $b_size) = (file_size($size_id, $spid), file_size($size_id, $bpid));
$s->query_safe("SELECT 'after the size limit';");
$b->query_safe("SELECT 'after the size limit';");
is(file_size($size_id, $spid), $s_size, 'the backend that reached the limit writes no more');
is(file_size($size_id, $bpid), $b_size, 'another backend drops its file of the ended trace');

# A trace without a size limit counts what it holds as well.
my $counted_id = activate("'counted'");
$s->query_safe("SELECT length('$filler');") foreach 1 .. 4;
is(observe("SELECT \"curr_log_size (MB)\" FROM vr_active_traces() WHERE trace_id = '$counted_id'"),
	int((file_size($counted_id, $spid) + file_size($counted_id, $bpid)) / 1048576),
	'a trace without a size limit counts the bytes of its data files');
observe("SELECT vr_deactivate('$counted_id')");

# A cursor closed by COMMIT writes the record that reaches the limit, and
# the session ends right after: the descriptor says how the trace ended all
# the same.
my $commit_id = activate("'ends at commit', NULL, NULL, 1");
my $committer = session('alice');
my $wide = 'w' x 1_200_000;
$committer->query_safe($_)
  foreach ('BEGIN;', "DECLARE wide CURSOR FOR SELECT a, '$wide' FROM t;", 'FETCH 1 FROM wide;', 'COMMIT;');
$committer->quit;
ok(!is_active($commit_id), 'the record written at COMMIT ends the trace at its size limit');
is(descriptor_status($commit_id), '3', 'and its descriptor says status 3 after the session ended');

# A descriptor that cannot be rewritten is told to the server log only: the
# session whose record ended the trace may have nothing to do with it.
my $unwritable_id = activate("'unwritable descriptor', NULL, NULL, 1");
mkdir trace_dir($unwritable_id) . '/trace.ini.tmp' or die "mkdir: $!";
my $log_offset = -s $node->logfile;
my ($stdout, $stderr) = ('', '');
$node->psql('postgres', "SET client_min_messages = log;\n" . "SELECT length('$filler');\n" x 4,
	stdout => \$stdout, stderr => \$stderr, connstr => $node->connstr('postgres') . ' user=alice');
ok(!is_active($unwritable_id), 'the trace ended at its size limit');
unlike($stderr, qr/trace ini file/, 'the session hears nothing of the failed rewrite');
ok($node->log_contains(quotemeta("vireo: Couldn't write to the trace ini file 'traces/$unwritable_id/trace.ini'"),
		$log_offset),
	'the server log has it');
is(listed_status($unwritable_id), '0', 'the old descriptor stays');
rmdir trace_dir($unwritable_id) . '/trace.ini.tmp';

# --- Time limit -----------------------------------------------------------

my $time_id = activate("'time', NULL, NULL, NULL, NULL, interval '2 seconds'");
$s->query_safe("SELECT 'before the time limit';");
$b->query_safe("SELECT 'before the time limit';");
($s_size, $b_size) = (file_size($time_id, $spid), file_size($time_id, $bpid));
wait_past_end_time($time_id);
ok(is_active($time_id), 'past its end time a trace stays active until a recording backend looks');

$s->query_safe("SELECT 'after the time limit';");
ok(!is_active($time_id), 'the next record of a recording backend ends the trace');
is(listed_status($time_id), '4', 'a trace ended at its time limit is listed with status 4');
is(descriptor_status($time_id), '4', 'its descriptor says status 4');
is(file_size($time_id, $spid), $s_size, 'the statement that found the time passed is not written');
$b->query_safe("SELECT 'after the time limit';");
is(file_size($time_id, $bpid), $b_size, 'another backend writes nothing into the ended trace');
ok(registry_empty(), 'the registry counts no active trace');

# --- Slot reuse -----------------------------------------------------------

# With every slot free, the second trace takes the slot of the first.
my $one_id = activate("'reuse one'");
$s->query_safe("SELECT 'into the first trace';");
observe("SELECT vr_deactivate('$one_id')");
my $two_id = activate("'reuse two'");
$s->query_safe("SELECT 'into the second trace';");
observe("SELECT vr_deactivate('$two_id')");
is_deeply(queries_of(records_of($one_id, $spid)), ["SELECT 'into the first trace';"],
	'the first trace keeps only its own statement');
is_deeply(queries_of(records_of($two_id, $spid)), ["SELECT 'into the second trace';"],
	'the trace that took over the slot records the next statement');

# --- vireo.enabled --------------------------------------------------------

my $enabled_id = activate("'enabled'");
$s->query_safe("SELECT 'on before';");
my $size = file_size($enabled_id, $spid);
$s->query_safe($_) foreach ('SET vireo.enabled = off;', "SELECT 'off one';", "SELECT 'off two';");
is(file_size($enabled_id, $spid), $size, 'nothing is written while vireo.enabled is off');
$s->query_safe($_) foreach ('SET vireo.enabled = on;', "SELECT 'on after';");
is_deeply(
	queries_of(records_of($enabled_id, $spid)),
	[ "SELECT 'on before';", "SELECT 'on after';" ],
	'switched on again, the backend appends to the same file');

# postgres sessions start with the setting off.
my $off = $node->background_psql('postgres');
my $off_pid = pid_of($off);
$off->query_safe('SELECT count(*) FROM t;');
$off->quit;
ok(!-e trace_file($enabled_id, $off_pid), 'a backend with vireo.enabled off creates no data file');
observe("SELECT vr_deactivate('$enabled_id')");

# --- A trace freed under an open cursor -----------------------------------

# The cursor's statement ends after its trace was deactivated and after the
# trace's planned end time: the freed slot must not be ended a second time.
my $c = session('alice');
my $freed_id = activate("'freed', NULL, NULL, NULL, NULL, interval '1 second'");
$c->query_safe($_)
  foreach ('BEGIN;', "DECLARE cur CURSOR FOR SELECT a FROM t WHERE a > 1;", 'FETCH 2 FROM cur;', 'CLOSE cur;');
$c->query_safe($_) foreach ('DECLARE cur CURSOR FOR SELECT a FROM t;', 'FETCH 2 FROM cur;');
observe("SELECT vr_deactivate('$freed_id')");
wait_past_end_time($freed_id);
$c->query_safe($_) foreach ('CLOSE cur;', 'COMMIT;');
is(listed_status($freed_id), '2', 'the deactivated trace keeps status 2');
is(descriptor_status($freed_id), '2', 'its descriptor keeps status 2');
is_deeply(
	queries_of(records_of($freed_id, pid_of($c))),
	['DECLARE cur CURSOR FOR SELECT a FROM t WHERE a > 1;'],
	'a cursor is recorded when it is closed, but not once its trace has been freed');
ok(registry_empty(), 'the registry still counts no active trace');
$c->quit;

# --- Parallel query -------------------------------------------------------

my $p = session('alice');
my $ppid = pid_of($p);
$p->query_safe(
	'SET max_parallel_workers_per_gather = 2; SET parallel_setup_cost = 0; SET parallel_tuple_cost = 0; SET min_parallel_table_scan_size = 0;'
);
my $parallel_id = activate("'parallel', ARRAY[$alice_oid]::oid[]");
is($p->query_safe('SELECT count(*) FROM big;'), '20000', 'the parallel query runs');
$p->quit;
observe("SELECT vr_deactivate('$parallel_id')");

my $parallel = records_of($parallel_id, $ppid);
is_deeply(queries_of($parallel), ['SELECT count(*) FROM big;'], 'a parallel query gives one record');
my ($launched) = ($parallel->[0]{fields}[7] // '') =~ /Workers Launched: (\d+)/;
cmp_ok($launched // 0, '>=', 1, 'the recorded plan ran with parallel workers');
opendir(my $dh, trace_dir($parallel_id)) or die "cannot read the trace directory: $!";
my @files = sort grep { !/^\.\.?$/ } readdir $dh;
closedir $dh;
is_deeply(\@files, [ "trace-$ppid.csv", 'trace.ini' ], 'parallel workers create no data files');

# --- Running statements ---------------------------------------------------

# running_queries counts statements inside an executor run; whatever the run
# did, it is 0 again when the statement is over.
my $r = session('alice', on_error_stop => 0);
my $rpid = pid_of($r);
my $running_id = activate("'running', ARRAY[$alice_oid]::oid[], NULL, NULL, 100");
$r->query_safe("SELECT 'scan';");
is(running_queries($running_id), '0', 'running_queries is 0 after a statement below the threshold');

$r->query_until(qr/sleeping/, "\\echo sleeping\nSELECT pg_sleep(120);\n");
ok( $node->poll_query_until(
		'postgres', "SELECT running_queries FROM vr_active_traces() WHERE trace_id = '$running_id'", '1'),
	'a statement inside its executor run is counted');
observe("SELECT pg_cancel_backend($rpid)");
my ($out, $failed) = $r->query("SELECT 'after the cancel';");
ok($failed, 'the running statement was cancelled');
is(running_queries($running_id), '0', 'a cancelled run is counted out');

foreach my $case (
	[ 'an error in the run', 'SELECT 1 / (a - a) FROM t;' ],
	[ 'a cursor fetched twice', 'BEGIN;', 'DECLARE cur CURSOR FOR SELECT a FROM t;', 'FETCH 5 FROM cur;', 'FETCH 5 FROM cur;' ],
	[ 'the cursor closed', 'FETCH 5 FROM cur;', 'CLOSE cur;', 'COMMIT;' ],
	[ 'COPY TO', 'COPY (SELECT a FROM t) TO STDOUT;' ],
	[ 'statements run through SPI', 'DO $$BEGIN PERFORM count(*) FROM t; END$$;' ])
{
	my ($name, @statements) = @$case;
	$r->query($_) foreach @statements;
	is(running_queries($running_id), '0', "running_queries is 0 after $name");
}
$r->quit;
observe("SELECT vr_deactivate('$running_id')");

# --- A data file that cannot grow -----------------------------------------

# The backend may write no file past 16 MB (WAL segments stay within it); its
# data file of the trace is made 17 MB long beforehand, so that the record
# cannot be appended.
SKIP:
{
	skip 'prlimit is not available', 7 unless system('prlimit --version >/dev/null 2>&1') == 0;

	ok(registry_empty(), 'no trace is active before the write failure');
	my $w = session();
	my $wpid = pid_of($w);
	my $fail_id = activate("'write failure'");
	my $limit = 16 * 1024 * 1024;
	my $file = trace_file($fail_id, $wpid);
	open(my $fh, '>', $file) or die "cannot create $file: $!";
	truncate($fh, $limit + 1024 * 1024) or die "cannot extend $file: $!";
	close $fh;
	system('prlimit', "--pid=$wpid", "--fsize=$limit:") == 0 or die 'prlimit failed';
	my $log_offset = -s $node->logfile;

	$w->query_safe("SELECT 'beyond the size the backend may write';");
	ok( $node->log_contains(
			quotemeta("vireo: Couldn't write to the trace file 'traces/$fail_id/trace-$wpid.csv'."),
			$log_offset),
		'the failed write is logged');
	is(-s $file, $limit + 1024 * 1024, 'nothing was appended');
	ok(!is_active($fail_id), 'the trace is ended in the registry');
	is(listed_status($fail_id), '0', 'its descriptor keeps status 1 and is listed with status 0');
	ok(registry_empty(), 'the registry counts no active trace');
	is($w->query_safe('SELECT 6 * 7;'), '42', 'the backend keeps serving');
	$w->quit;
}

$s->quit;
$b->quit;
$node->stop;

# --- The free-space floor -------------------------------------------------

# The traces live on a 16 MB file system of their own (vireo.directory),
# and 4 MB of it are to be kept free.
SKIP:
{
	my $tmpfs = $ENV{VIREO_TEST_TMPFS} // '';
	skip 'no small file system of its own (scripts/test mounts one when run as root)', 13
	  unless $tmpfs ne '' && -d $tmpfs && -w $tmpfs;

	my $root = "$tmpfs/floor-traces";
	my $filler = "$tmpfs/floor-filler";
	my $floor = 4 * 1024 * 1024;
	my $disk = PostgreSQL::Test::Cluster->new('floor');
	$disk->init;
	$disk->append_conf('postgresql.conf',
		"shared_preload_libraries = 'vireo'\nvireo.directory = '$root'\nvireo.min_free_space = 4");
	$disk->start;
	$disk->safe_psql('postgres',
		'CREATE EXTENSION vireo; CREATE ROLE alice LOGIN; ALTER ROLE postgres SET vireo.enabled = off');

	my $free = sub { (split ' ', `df -B1 --output=avail '$tmpfs' | tail -n 1`)[0] };
	# Leaves about $keep bytes free.
	my $fill = sub {
		my ($keep) = @_;
		unlink $filler;
		system('fallocate', '-l', $free->() - $keep, $filler) == 0 or die 'fallocate failed';
	};
	my $status = sub {
		$disk->safe_psql('postgres', "SELECT status FROM vr_traces_list() WHERE trace_id = '$_[0]'");
	};
	# Sessions of alice's: each scenario has its own, which have never looked
	# at the file system before.
	my @alice = map { $disk->background_psql('postgres', extra_params => [ '-U', 'alice' ]) } 0 .. 4;

	# A record larger than what is left above the floor.
	my $big_id = $disk->safe_psql('postgres', "SELECT vr_activate('one big record')");
	$fill->($floor + 5 * 1024 * 1024);
	my $big = 'b' x (6 * 1024 * 1024);
	$alice[0]->query_safe("SELECT length('$big');");
	cmp_ok($free->(), '>=', $floor, 'a record that would take the free space below the floor is not written');
	is($status->($big_id), '3', 'it ends the trace as at its size limit');
	ok(!-s "$root/$big_id/trace-" . $alice[0]->query_safe('SELECT pg_backend_pid();') . '.csv',
		'with nothing written');

	# Backends that write in turn, each a record below the interval between
	# two looks, stop together at the floor.
	my $turns_id = $disk->safe_psql('postgres', "SELECT vr_activate('in turn')");
	$fill->($floor + 2.5 * 1024 * 1024);
	$_->query_safe("SELECT 'small';") foreach @alice[ 1 .. 3 ];
	my $record = 'r' x 900_000;
	my $rounds = 0;
	while ($rounds++ < 4 && $status->($turns_id) eq '1')
	{
		$_->query_safe("SELECT length('$record');") foreach @alice[ 1 .. 3 ];
	}
	cmp_ok($free->(), '>=', $floor, 'backends writing in turn never take the free space below the floor');
	is($status->($turns_id), '3', 'the trace ended at the floor');

	# Space freed: a new trace records again, in every backend, whatever
	# each one found at its last look.
	unlink $filler;
	my $fresh_id = $disk->safe_psql('postgres', "SELECT vr_activate('space again')");
	$_->query_safe("SELECT 'after the space was freed';") foreach @alice[ 0 .. 3 ];
	is($status->($fresh_id), '1', 'after space was freed a new trace goes on');
	is(scalar(grep { /^trace-\d+\.csv$/ && -s "$root/$fresh_id/$_" } slurp_dir("$root/$fresh_id")),
		4, 'each backend recorded into it');
	$disk->safe_psql('postgres', "SELECT vr_deactivate('$fresh_id')");

	# A new trace looks at the file system afresh, also in a backend whose
	# last look found plenty of room.
	my $before_id = $disk->safe_psql('postgres', "SELECT vr_activate('before the disk filled')");
	$alice[4]->query_safe("SELECT 'plenty of room';");
	is($status->($before_id), '1', 'a backend finds plenty of room');
	$fill->($floor - 1024 * 1024);
	my $after_id = $disk->safe_psql('postgres', "SELECT vr_activate('after the disk filled')");
	$alice[4]->query_safe("SELECT 'below the floor';");
	is($status->($after_id), '3', 'a trace started after the disk filled ends at its first record');
	is($status->($before_id), '3', 'so does the one before it');
	unlink $filler;

	ok(!-e $disk->data_dir . '/traces', 'nothing was written into the data directory');
	$_->quit foreach @alice;
	$disk->stop;
}

done_testing();
