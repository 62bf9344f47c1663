# Hostile use: identifiers that try to leave the traces root or smuggle SQL,
# links and special files planted where vireo keeps its traces, users who
# reach for other users' traces, and who may read the files vireo writes.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoCompat;
use File::Path qw(make_path);
use POSIX qw(mkfifo);

my $node = PostgreSQL::Test::Cluster->new('security');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'\nautovacuum_naptime = 1s");
$node->start;
my $data = $node->data_dir;
my $traces = "$data/traces";

$node->safe_psql(
	'postgres', q{
CREATE EXTENSION vireo;
ALTER ROLE postgres SET vireo.enabled = off;
CREATE ROLE alice LOGIN;
CREATE ROLE bob LOGIN;
CREATE ROLE admin LOGIN IN ROLE vireo_admin;
CREATE TABLE t(a int);
GRANT ALL ON t TO PUBLIC;
});
my %oid = map { $_ => $node->safe_psql('postgres', "SELECT '$_'::regrole::oid") } qw(alice bob admin);

# Runs SQL as a user; returns its output and its messages (verbose, so that
# they carry the SQLSTATE).  Variables are passed with psql's -v.
sub run_as
{
	my ($user, $sql, %vars) = @_;
	my ($out, $err) = ('', '');
	$node->psql(
		'postgres', "\\set VERBOSITY verbose\n$sql",
		stdout => \$out, stderr => \$err, timeout => 60,
		connstr => $node->connstr('postgres') . " user=$user",
		extra_params => [ map { ('-v', "$_=$vars{$_}") } sort keys %vars ]);
	return ($out, $err);
}

sub make_file
{
	my ($path, $content) = @_;
	open(my $fh, '>', $path) or die "$path: $!";
	print $fh $content;
	close $fh;
}

# A finished trace of alice, recorded for real: the model for planted copies.
my ($model) = run_as('alice', "SELECT vr_activate('model')");
run_as('alice', 'SELECT count(*) FROM t');
run_as('alice', "SELECT vr_deactivate(:'id')", id => $model);
my $descriptor = slurp_file("$traces/$model/trace.ini");
my ($model_file) = grep { /^trace-\d+\.csv$/ && -s "$traces/$model/$_" } slurp_dir("$traces/$model");
my $records = slurp_file("$traces/$model/$model_file");
ok($records ne '', 'the model trace holds records');

# Canaries: directories holding a valid trace of alice's, inside the data
# directory beside the traces root and outside the data directory.  Removing
# or loading them through an identifier would have to leave the traces root.
my %canary = (inside => "$data/pg_canary", outside => "$data/../outside_canary");
foreach my $dir (values %canary)
{
	make_path($dir);
	make_file("$dir/trace.ini", $descriptor);
	make_file("$dir/trace-1.csv", $records);
}
sub canaries_intact
{
	return !grep { !(-f "$_/trace.ini" && -f "$_/trace-1.csv" && slurp_file("$_/trace-1.csv") eq $records) }
	  values %canary;
}

# The same files under a real identifier are removed: the planted trace is
# one that cleanup would take.
my $planted = '19990101000000000001';
make_path("$traces/$planted");
make_file("$traces/$planted/trace.ini", $descriptor);
make_file("$traces/$planted/trace-1.csv", $records);
my ($out, $err) = run_as('postgres', "SELECT vr_cleanup('$planted')");
is($out, 't', 'a planted copy of the canary under a trace identifier is removable');

# 20-character identifiers that are no trace identifiers: paths out of the
# traces root, SQL, format strings, control characters, multibyte digits.
my @hostile = (
	'../pg_canary////////', '../../outside_canary', '../pg_canary/./././.', '/etc/passwd/////////',
	'..///////pg_canary//', "x'; DROP TABLE t; --", q{'); DELETE FROM t; -}, '"1234567890123456789',
	'%s%s%s%s%s%n%s%s%s%s', "1234567890\t\n\r\x01\x1b\x7f6789", '0000000000000000000 ',
	' 0000000000000000000', '-0000000000000000001', '+0000000000000000001', '0x000000000000000001',
	"\x{ff11}\x{ff12}\x{ff13}\x{ff14}\x{ff15}\x{ff16}\x{ff17}\x{ff18}\x{ff19}\x{ff10}" x 2, '*' x 20, '.' x 20);
is(scalar(grep { length($_) != 20 } @hostile), 0, 'every hostile identifier has 20 characters');

$node->safe_psql('postgres', 'INSERT INTO t VALUES (42)');
my $running = $node->safe_psql('postgres', "SELECT vr_activate('keeps the registry busy')");
foreach my $id (@hostile)
{
	my $shown = $id =~ s/([^ -~])/sprintf('\\x%02x', ord($1))/ger;
	my @refused;
	foreach my $call ("vr_deactivate(:'id')", "vr_cleanup(:'id')", "vr_cleanup(:'id', true)",
		"vr_load_trace(:'id')", "vr_load_trace(:'id', true)")
	{
		utf8::encode(my $bytes = $id);
		my ($o, $e) = run_as('postgres', "SELECT $call", id => $bytes);
		push @refused, $call if $e =~ /ERROR:  55000: Not a valid trace-id\./;
	}
	is(scalar(@refused), 5, "'$shown' is refused by every function");
}
ok(canaries_intact(), 'the canaries outside the traces root survive');
is($node->safe_psql('postgres', 'SELECT count(*) FROM t'), '1', 'no smuggled SQL ran');
is($node->safe_psql('postgres', "SELECT count(*) FROM vr_active_traces() WHERE trace_id = '$running'"),
	'1', 'the running trace is untouched');
$node->safe_psql('postgres', "SELECT vr_deactivate('$running')");

# Links and special files planted in the traces root and in trace
# directories.  Cleanup removes links, never what they point to; a linked
# trace directory is refused; special files never block a call.
my $target = "$data/../link_targets";
make_path("$target/dir");
make_file("$target/file", "keep me\n");
make_file("$target/dir/keep", "keep me too\n");
make_file("$target/dir/trace.ini", $descriptor);
make_file("$target/dir/trace-1.csv", $records);
sub targets_intact
{
	return -f "$target/file" && -f "$target/dir/keep" && -f "$target/dir/trace.ini" && -f "$target/dir/trace-1.csv"
	  && -f "$data/postgresql.conf" && -f "$data/PG_VERSION";
}

my ($linked) = run_as('alice', "SELECT vr_activate('linked files')");
run_as('alice', 'SELECT count(*) FROM t');
run_as('alice', "SELECT vr_deactivate(:'id')", id => $linked);
symlink("$target/file", "$traces/$linked/trace-90.csv") or die "symlink: $!";
symlink("$target/dir", "$traces/$linked/trace-91.csv") or die "symlink: $!";
symlink("$data/postgresql.conf", "$traces/$linked/trace-92.csv") or die "symlink: $!";
($out, $err) = run_as('alice', "SELECT vr_load_trace(:'id')", id => $linked);
is($out, 't', 'loading reads the real data file past the planted links');
($out, $err) = run_as('alice', "SELECT vr_cleanup(:'id')", id => $linked);
is($out, 't', 'cleanup removes a trace whose data-file names are links');
ok(!-e "$traces/$linked" && targets_intact(), 'the links went, their targets stay');

my $linked_dir = '19990101000000000002';
symlink("$target/dir", "$traces/$linked_dir") or die "symlink: $!";
my $linked_ini = '19990101000000000003';
make_path("$traces/$linked_ini");
symlink("$target/dir/trace.ini", "$traces/$linked_ini/trace.ini") or die "symlink: $!";
($out, $err) = run_as('postgres', "SELECT vr_cleanup(:'id')", id => $linked_dir);
like($err, qr/ERROR/, 'a linked trace directory is not cleaned');
($out, $err) = run_as('postgres', 'SELECT vr_cleanup(NULL, true)');
ok(targets_intact(), 'cleaning all traces leaves the targets of links alone');
ok(-l "$traces/$linked_dir", 'the linked trace directory stays as it was');

# Nothing is written through a planted link: not the data file a backend
# opens, not the descriptor rewritten when the trace ends.
make_file("$target/victim", "keep me\n");
my $session = $node->background_psql('postgres', extra_params => [ '-U', 'alice' ]);
my $session_pid = $session->query_safe('SELECT pg_backend_pid()');
my ($written) = run_as('alice', "SELECT vr_activate('links planted while it runs')");
symlink("$target/victim", "$traces/$written/trace-$session_pid.csv") or die "symlink: $!";
symlink("$target/victim", "$traces/$written/trace.ini.tmp") or die "symlink: $!";
$session->query('SELECT count(*) FROM t');
like($session->{stderr}, qr/WARNING:  vireo: Could not create the trace file "traces\/$written\/trace-$session_pid\.csv"/,
	'a backend refuses a link in place of its data file');
$session->quit;
run_as('alice', "SELECT vr_deactivate(:'id')", id => $written);
is(slurp_file("$target/victim"), "keep me\n", 'the link targets were not written');
ok(!-l "$traces/$written/trace.ini" && slurp_file("$traces/$written/trace.ini") =~ /^Status=2$/m,
	'the rewritten descriptor is a file of its own');
run_as('alice', "SELECT vr_cleanup(:'id')", id => $written);

# A FIFO in place of a descriptor or of a data file, a descriptor linked to a
# device that never ends or to a file elsewhere: no call waits for them, and
# only regular files are read as descriptors.
my $fifo = '19990101000000000004';
make_path("$traces/$fifo");
mkfifo("$traces/$fifo/trace.ini", 0600) or die "mkfifo: $!";
my $device = '19990101000000000005';
make_path("$traces/$device");
symlink('/dev/zero', "$traces/$device/trace.ini") or die "symlink: $!";
my $fifo_data = '19990101000000000006';
make_path("$traces/$fifo_data");
make_file("$traces/$fifo_data/trace.ini", $descriptor);
mkfifo("$traces/$fifo_data/trace-3.csv", 0600) or die "mkfifo: $!";
($out, $err) = run_as('postgres',
	"SELECT count(*) FROM vr_traces_list() WHERE trace_id IN ('$fifo', '$device', '$fifo_data', '$linked_ini')");
is($out, '1', 'listing skips a FIFO, a device and a link given as descriptors');
foreach my $id ($fifo, $device, $linked_ini)
{
	($out, $err) = run_as('postgres', "SELECT vr_load_trace(:'id')", id => $id);
	like($err, qr/55000: Could not load the trace/, "loading fails at once when the descriptor is not a regular file ($id)");
}
($out, $err) = run_as('postgres', "SELECT vr_load_trace(:'id')", id => $fifo_data);
is($out, 'f', 'loading passes over a FIFO named like a data file');
unlink("$traces/$_/trace.ini") foreach ($fifo, $device, $linked_ini);
unlink("$traces/$fifo_data/trace-3.csv");
rmdir("$traces/$_") foreach ($fifo, $device, $linked_ini);
unlink("$traces/$linked_dir");

# A FIFO planted under the name of the data file that a recording backend is
# about to open: the backend must not wait on it (nor make others wait), and
# the statement goes on with a warning.
my $victim = $node->background_psql('postgres', extra_params => [ '-U', 'alice' ], timeout => 60);
my $victim_pid = $victim->query_safe('SELECT pg_backend_pid();');
my ($fifo_trace) = run_as('postgres', "SELECT vr_activate('fifo data file')");
mkfifo("$traces/$fifo_trace/trace-$victim_pid.csv", 0600) or die "mkfifo: $!";
$victim->{stderr} = '';
my ($past) = $victim->query("SELECT 'past the fifo';");
is($past, 'past the fifo', 'a FIFO in place of a data file does not block');
like($victim->{stderr}, qr/vireo: Could not create the trace file/, 'it is refused with a warning');
($out) = run_as('bob', 'SELECT 6 * 7');
is($out, '42', 'other recording sessions go on');
$victim->quit;
run_as('postgres', "SELECT vr_deactivate(:'id')", id => $fifo_trace);
unlink("$traces/$fifo_trace/trace-$victim_pid.csv");

# Privileges.  alice and bob are plain users, admin holds vireo_admin.
($out, $err) = run_as('alice', "SELECT vr_activate('spy', ARRAY[$oid{bob}])");
like($err, qr/ERROR:  55000: You need to have super-user\/vireo_admin previlages/, 'a plain user cannot trace another user');
my ($alice_id) = run_as('alice', "SELECT vr_activate('alice, all users asked', NULL)");
my ($bob_id) = run_as('bob', "SELECT vr_activate('bob')");
my ($admin_id) = run_as('admin', "SELECT vr_activate('admin traces bob', ARRAY[$oid{bob}])");
run_as('bob', 'SELECT count(*) FROM t WHERE a = 1');
run_as('alice', 'SELECT count(*) FROM t WHERE a = 2');

($out) = run_as('bob', 'SELECT string_agg(trace_id, \',\' ORDER BY trace_id) FROM vr_active_traces()');
is($out, $bob_id, 'a plain user sees only his own active traces');
($out) = run_as('admin', 'SELECT count(*) FROM vr_active_traces()');
is($out, '3', 'a vireo_admin member sees every active trace');

($out, $err) = run_as('bob', "SELECT vr_deactivate(:'id')", id => $alice_id);
like($err, qr/ERROR:  42501: Trace \($alice_id\) is not intiated by this user/, 'a plain user cannot end another user\'s trace');
($out, $err) = run_as('bob', "SELECT vr_cleanup(:'id', true)", id => $alice_id);
like($err, qr/ERROR:  42501: /, 'nor end and remove it by force');
($out) = run_as('alice', "SELECT vr_deactivate(:'id')", id => $alice_id);
is($out, 't', 'its owner ends it');
foreach my $call ("vr_load_trace(:'id')", "vr_load_trace(:'id', true)", "vr_cleanup(:'id')", "vr_cleanup(:'id', true)")
{
	($out, $err) = run_as('bob', "SELECT $call", id => $alice_id);
	like($err, qr/ERROR:  42501: Trace \($alice_id\) is not intiated by this user/, "a plain user is refused $call of another's trace");
	($out, $err) = run_as('admin', "SELECT $call", id => $alice_id);
	like($err, qr/ERROR:  42501: /, "so is a vireo_admin member");
}
($out) = run_as('bob', 'SELECT vr_cleanup(NULL, true)');
ok(-f "$traces/$alice_id/trace.ini", "cleaning all traces as bob leaves alice's trace");
is((run_as('postgres', "SELECT count(*) FROM vr_active_traces() WHERE trace_id = '$admin_id'"))[0], '1',
	"and does not end the trace that admin runs on bob");
($out) = run_as('alice', "SELECT vr_load_trace(:'id'); SELECT string_agg(DISTINCT user_id::text, ',') FROM _vr_tmp_tbl_vireo",
	id => $alice_id);
is($out, "t\n$oid{alice}", 'a trace a plain user starts for all users records only him');

# Maintenance commands run a table's index expressions as the table's owner
# (a security-restricted operation), and so does autovacuum: none of it is
# the owner's statement, and none of it lands in the owner's trace, though
# the trace follows him.
$node->safe_psql(
	'postgres', q{
CREATE FUNCTION owner_key(int) RETURNS int LANGUAGE sql IMMUTABLE
	AS 'SELECT 1; SELECT $1 % 7 /* owner key */';
CREATE TABLE owned(a int);
ALTER FUNCTION owner_key(int) OWNER TO alice;
ALTER TABLE owned OWNER TO alice;
INSERT INTO owned SELECT generate_series(1, 500);
});
my ($owner_trace) = run_as('alice', "SELECT vr_activate('maintenance')");
$node->safe_psql('postgres', 'SET vireo.enabled = on; CREATE INDEX ON owned (owner_key(a)); ANALYZE owned;');
my $analyzed = $node->safe_psql('postgres', "SELECT autoanalyze_count FROM pg_stat_user_tables WHERE relname = 'owned'");
$node->safe_psql('postgres', 'INSERT INTO owned SELECT generate_series(1, 5000)');
ok( $node->poll_query_until(
		'postgres', "SELECT autoanalyze_count > $analyzed FROM pg_stat_user_tables WHERE relname = 'owned'"),
	'autovacuum analyzed the table');
my @maintenance = grep { index(slurp_file($_), 'owner key') >= 0 } glob("$traces/$owner_trace/trace-*.csv");
is(join(', ', @maintenance), '', 'no statement of CREATE INDEX, ANALYZE or autovacuum is recorded into the owner\'s trace');
run_as('alice', "SELECT vr_deactivate(:'id')", id => $owner_trace);

# Files and directories vireo creates are the server user's alone, whatever
# the data directory's neighbours are.
my @wrong;
my @walk = ($traces);
while (my $path = shift @walk)
{
	next if -l $path || $path =~ /19990101/;    # planted by this test
	my $mode = (lstat $path)[2] & 07777;
	if (-d _)
	{
		push @wrong, sprintf('%s %04o', $path, $mode) if $mode != 0700;
		opendir(my $dh, $path) or die "opendir: $!";
		push @walk, map { "$path/$_" } grep { !/^\.\.?$/ } readdir $dh;
		closedir $dh;
	}
	elsif ($path =~ m{/(trace\.ini|trace-\d+\.csv)$})
	{
		push @wrong, sprintf('%s %04o', $path, $mode) if $mode != 0600;
	}
}
is(join(', ', @wrong), '', 'trace directories are 0700, descriptors and data files 0600');
ok(scalar(grep { m{/trace-\d+\.csv$} } glob("$traces/*/trace-*.csv")) >= 2, 'data files were among them');

$node->stop;
done_testing();
