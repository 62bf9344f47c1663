# Crashes and shutdowns while traces record: a backend killed with SIGKILL in
# the middle of a stream of statements, and servers stopped fast and
# immediately.  Afterwards the registry is empty, the traces that were active
# are listed with status 0, every complete record of their data files loads,
# a torn last record is skipped, and new traces start and record.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use IPC::Run;
use Time::HiRes qw(usleep);

my $node = PostgreSQL::Test::Cluster->new('crash');
$node->init;
$node->append_conf('postgresql.conf',
	"shared_preload_libraries = 'vireo'\nrestart_after_crash = on\n");
$node->start;

# The checking sessions run as postgres with recording off; the statements
# under test come from the role busy.
$node->safe_psql(
	'postgres', q{
CREATE EXTENSION vireo;
CREATE ROLE busy LOGIN;
ALTER ROLE postgres SET vireo.enabled = off;
CREATE TABLE t(a int, b text);
INSERT INTO t SELECT g, repeat('x', g % 50) FROM generate_series(1, 500) g;
GRANT SELECT ON t TO busy;
});
my $busy_oid = $node->safe_psql('postgres', "SELECT 'busy'::regrole::oid");
my $traces = $node->data_dir . '/traces';
my $timeout = $PostgreSQL::Test::Utils::timeout_default;
my $tempdir = PostgreSQL::Test::Utils::tempdir;

# Starts a session of busy that runs a long stream of distinct statements;
# returns its IPC::Run handle and its backend pid.
sub start_busy
{
	my ($name) = @_;
	my $script = "$tempdir/$name.sql";
	append_to_file($script,
		join('', map { "SELECT a, length(b) FROM t WHERE a = $_ % 500 OR b = 'n$_';\n" } 1 .. 100000));
	# psql reads from a file and writes to files, so that nothing has to be
	# pumped while the session runs.
	my $h = IPC::Run::start(
		[ 'psql', '-X', '-q', '-f', $script, '-d', $node->connstr('postgres') . " user=busy application_name=$name" ],
		'<', \undef, '>', '/dev/null', '2>', "$tempdir/$name.err", IPC::Run::timeout($timeout));
	my $pid = '';
	for (my $waited = 0; $pid eq '' && $waited < $timeout * 10; $waited++)
	{
		$pid = $node->safe_psql('postgres',
			"SELECT pid FROM pg_stat_activity WHERE application_name = '$name'");
		usleep(100_000) if $pid eq '';
	}
	die "session $name did not start" if $pid eq '';
	return ($h, $pid);
}

# Waits until a data file has grown past the given size.
sub wait_for_size
{
	my ($path, $bytes) = @_;
	for (my $waited = 0; $waited < $timeout * 10; $waited++)
	{
		return 1 if -e $path && -s $path >= $bytes;
		usleep(100_000);
	}
	return 0;
}

# Counts the complete records of a data file: a record ends at a line feed
# outside double quotes.  Returns the count and the length of the complete
# part; anything after it is a torn record.
sub complete_records
{
	my ($path) = @_;
	my $data = slurp_file($path);
	my ($count, $end) = (0, 0);
	while ($data =~ /\G(?:[^"\n]++|"[^"]*+")*+\n/gc)
	{
		$count++;
		$end = pos($data);
	}
	return ($count, $end, length($data));
}

# Tears the last record of a data file that ends cleanly: appends its first
# half again without a line end, as a process killed during its write leaves it.
sub tear_last_record
{
	my ($path) = @_;
	my $data = slurp_file($path);
	my $last_start = 0;
	pos($data) = 0;
	while ($data =~ /\G((?:[^"\n]++|"[^"]*+")*+\n)/gc)
	{
		$last_start = pos($data) - length($1);
	}
	my $last = substr($data, $last_start);
	append_to_file($path, substr($last, 0, int(length($last) / 2)));
}

# The complete records of every data file of a trace, by pid, and whether any
# file ends in a torn record.
sub expected_rows
{
	my ($id) = @_;
	my (%rows, $torn);
	opendir(my $dh, "$traces/$id") or die "opendir: $!";
	foreach my $name (readdir $dh)
	{
		next unless $name =~ /^trace-(\d+)\.csv$/;
		my ($count, $end, $length) = complete_records("$traces/$id/$name");
		$rows{$1} = $count if $count > 0;
		$torn = 1 if $end < $length;
	}
	closedir $dh;
	return (\%rows, $torn);
}

# Loads a trace in a new session and returns its rows as "pid:count" lines
# plus the number of rows not recorded from busy.
sub loaded_rows
{
	my ($id, $format) = @_;
	return $node->safe_psql(
		'postgres', qq{
SET vireo.explain_format = $format;
SELECT vr_load_trace('$id') \\g /dev/null
SELECT string_agg(pid || ':' || n, ',' ORDER BY pid) FROM (SELECT pid, count(*) AS n FROM _vr_tmp_tbl_vireo GROUP BY pid) s;
SELECT count(*) FROM _vr_tmp_view_data WHERE user_id <> $busy_oid OR query NOT LIKE 'SELECT a, length(b) FROM t%';
});
}

sub rows_text
{
	my ($rows) = @_;
	return join(',', map { "$_:$rows->{$_}" } sort { $a <=> $b } keys %$rows);
}

# After a crash or a stop: nothing active, the traces listed with status 0,
# and every complete record loaded.  A trace whose files end cleanly gets a
# torn record appended to the busy session's file first.
sub check_after_restart
{
	my ($what, $busy_pid, %traces) = @_;
	is($node->safe_psql('postgres', 'SELECT count(*) FROM vr_active_traces()'),
		'0', "$what: the registry is empty");
	foreach my $id (sort keys %traces)
	{
		my $format = $traces{$id};
		is( $node->safe_psql(
				'postgres',
				"SET vireo.explain_format = $format; SELECT status FROM vr_traces_list() WHERE trace_id = '$id'"),
			'0',
			"$what: the $format trace that was active is listed with status 0");

		my ($rows, $torn) = expected_rows($id);
		ok(($rows->{$busy_pid} // 0) > 10, "$what: the busy session recorded into the $format trace");
		if (!$torn)
		{
			tear_last_record("$traces/$id/trace-$busy_pid.csv");
			($rows, $torn) = expected_rows($id);
		}
		ok($torn, "$what: the $format trace's file ends in a torn record");
		is(loaded_rows($id, $format), rows_text($rows) . "\n0",
			"$what: every complete record of the $format trace loads, the torn one is skipped");
	}
}

# A backend killed while it records.
my %stopped;
my $text_id = $node->safe_psql('postgres', "SELECT vr_activate('killed, text')");
$stopped{$text_id} = 1;
my $json_id = $node->safe_psql('postgres',
	"SET vireo.explain_format = json; SELECT vr_activate('killed, json', ARRAY[$busy_oid])");
my ($h, $pid) = start_busy('busy_kill');
ok(wait_for_size("$traces/$text_id/trace-$pid.csv", 200_000), 'the busy session records');
kill 'KILL', $pid;
$h->finish;
$node->poll_query_until('postgres', 'SELECT true') or die 'the server did not come back';

my $log = slurp_file($node->logfile);
# 18 names the backend by its type, older releases call it a server process.
like($log, qr/(server process|client backend) \(PID $pid\) was terminated by signal 9/, 'the killed backend is logged');
like($log, qr/all server processes terminated; reinitializing/, 'the server restarted after the crash');
unlike($log, qr/terminated by signal (?!9:)\d+|TRAP:/, 'no other process died');
check_after_restart('after SIGKILL', $pid, $text_id => 'text', $json_id => 'json');

# Servers stopped fast and immediately while a trace records.
foreach my $mode ('fast', 'immediate')
{
	my $id = $node->safe_psql('postgres', "SELECT vr_activate('stopped $mode')");
	$stopped{$id} = 1;
	($h, $pid) = start_busy("busy_$mode");
	ok(wait_for_size("$traces/$id/trace-$pid.csv", 100_000), "the busy session records before a $mode stop");
	$node->stop($mode);
	$h->finish;
	$node->start;
	check_after_restart("after a $mode stop", $pid, $id => 'text');
}

# New traces start and record after all this, in a free registry.  The
# activation counter starts again at 0 with the server, so the first new
# identifier can equal one made before the restart in the same second: the
# directories of such identifiers (planted here for the seconds around the
# activation, each holding a copy of an old trace) are never taken over.
$node->restart;
my $old_id = (sort keys %stopped)[0];
my $old_descriptor = slurp_file("$traces/$old_id/trace.ini");
my $now = time;
my @planted;
foreach my $second ($now - 2 .. $now + 10)
{
	my @t = gmtime($second);
	my $id = sprintf('%04d%02d%02d%02d%02d%02d000000', $t[5] + 1900, $t[4] + 1, @t[3, 2, 1, 0]);
	next if -e "$traces/$id";
	mkdir "$traces/$id" or die "mkdir: $!";
	append_to_file("$traces/$id/trace.ini", $old_descriptor);
	append_to_file("$traces/$id/trace-1.csv", "planted\n");
	push @planted, $id;
}
my $new_id = $node->safe_psql('postgres', "SELECT vr_activate('after the crashes', ARRAY[$busy_oid])");
like($new_id, qr/^\d{20}$/, 'a new trace starts');
ok(!grep({ $_ eq $new_id } @planted), 'the new identifier is not one whose directory is in use');
is(scalar(grep { slurp_file("$traces/$_/trace.ini") eq $old_descriptor && slurp_file("$traces/$_/trace-1.csv") eq "planted\n" } @planted),
	scalar(@planted), 'the directories in use keep their files');
$node->safe_psql('postgres', "SELECT count(*) FROM t WHERE b = 'new trace'", connstr => $node->connstr('postgres') . ' user=busy');
$node->safe_psql('postgres', "SELECT vr_deactivate('$new_id')");
is( $node->safe_psql(
		'postgres', qq{
SELECT vr_load_trace('$new_id') \\g /dev/null
SELECT count(*) || ' ' || min(query) FROM _vr_tmp_view_data;
}),
	"1 SELECT count(*) FROM t WHERE b = 'new trace'",
	'the new trace records and loads');
my $stopped_list = join(',', map { "'$_'" } sort keys %stopped);
is( $node->safe_psql('postgres',
		"SELECT string_agg(status::text, ',' ORDER BY trace_id) FROM vr_traces_list() WHERE trace_id IN ($stopped_list, '$new_id')"),
	'0,0,0,2', 'the text traces are all listed: three left active, one deactivated');

$node->stop;
done_testing();
