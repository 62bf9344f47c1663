# When recording fails, the user's statement and transaction go on as if the
# module were absent: a plan that cannot be deparsed any more, a record too
# large to build, a data file that cannot grow, a full file system, and the
# free-space floor that stops traces before they fill the disk.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoTrace;
use VireoCompat;

sub new_node
{
	my ($name, @conf) = @_;
	my $node = PostgreSQL::Test::Cluster->new($name);
	$node->init;
	$node->append_conf('postgresql.conf', join("\n", "shared_preload_libraries = 'vireo'", @conf));
	$node->start;
	$node->safe_psql(
		'postgres', q{
CREATE EXTENSION vireo;
ALTER ROLE postgres SET vireo.enabled = off;
CREATE ROLE alice LOGIN;
CREATE TABLE t(a int);
INSERT INTO t SELECT generate_series(1, 100);
CREATE TABLE done(v int);
GRANT ALL ON t, done TO alice;
});
	return $node;
}

# A recording session of alice's, and its backend's data file of a trace.
sub recording_session
{
	my ($node) = @_;
	my $s = $node->background_psql('postgres', extra_params => [ '-U', 'alice' ], on_error_stop => 0);
	return ($s, $s->query_safe('SELECT pg_backend_pid();'));
}

sub data_file
{
	my ($node, $id, $pid) = @_;
	return $node->data_dir . "/traces/$id/trace-$pid.csv";
}

sub status_of
{
	my ($node, $id) = @_;
	return $node->safe_psql('postgres', "SELECT status FROM vr_traces_list() WHERE trace_id = '$id'");
}

my $node = new_node('capture_failures');

# --- A data file that stops growing ---------------------------------------

# After two records the backend may write no file past 16 MB (WAL segments
# stay within it), and its data file is padded to just below that: the
# third record is cut short, and that must be seen.
SKIP:
{
	skip 'prlimit is not available', 4 unless system('prlimit --version >/dev/null 2>&1') == 0;
	my $id = $node->safe_psql('postgres', "SELECT vr_activate('write failure')");
	my ($w, $wpid) = recording_session($node);
	$w->query_safe("SELECT 'first';");
	$w->query_safe("SELECT 'second';");
	my $wfile = data_file($node, $id, $wpid);
	my $records = slurp_file($wfile);
	my $limit = 16 * 1024 * 1024;
	append_to_file($wfile, "\n" x ($limit - 100 - length($records)));
	system('prlimit', "--pid=$wpid", "--fsize=$limit:") == 0 or die 'prlimit failed';
	my $log_offset = -s $node->logfile;

	is($w->query_safe("SELECT 'third, cut short';"), 'third, cut short', 'the statement succeeds');
	ok( $node->log_contains(
			quotemeta("vireo: Couldn't write to the trace file 'traces/$id/trace-$wpid.csv'."), $log_offset),
		'a write cut short after earlier records is logged');
	is(status_of($node, $id), '0', 'the trace is ended in the registry, its descriptor untouched');
	is(substr(slurp_file($wfile), 0, length($records)), $records, 'the earlier records are intact');
	$w->quit;
}

# --- A plan that cannot be deparsed at COMMIT -----------------------------

# The cursor's record is built when COMMIT closes it, after the function in
# its filter was dropped: the plan text fails, the commit must not.
$node->safe_psql('postgres',
	q{CREATE FUNCTION keep(int) RETURNS bool LANGUAGE plpgsql AS $$BEGIN RETURN $1 % 2 = 0; END$$;
	  ALTER FUNCTION keep(int) OWNER TO alice;});
my $id = $node->safe_psql('postgres', "SELECT vr_activate('failures')");
my ($s, $pid) = recording_session($node);
$s->query_safe($_)
  foreach ('BEGIN;', 'DECLARE c CURSOR FOR SELECT a FROM t WHERE keep(a);', 'FETCH 2 FROM c;',
	'DROP FUNCTION keep(int);', 'INSERT INTO done VALUES (1);');
my ($out, $failed) = $s->query('COMMIT;');
ok(!$failed, 'COMMIT succeeds although the cursor\'s plan can no longer be deparsed');
is($node->safe_psql('postgres', 'SELECT count(*) FROM done'), '1', 'the transaction committed');
my ($cursor) = grep { ($_->{fields}[6] // '') =~ /^DECLARE c/ } @{ read_records(data_file($node, $id, $pid)) };
like($cursor->{fields}[7] // '', qr/^vireo: plan not available: cache lookup failed for function \d+$/,
	'the cursor is recorded with a note in place of its plan');

# --- A record too large to build -------------------------------------------

# Quotes are doubled in the record: a literal of 270 MB of quotes, printed
# again in the plan's filter, would make a record of over 1 GB.  psql reads
# the statement from a file (a string that large is slow to pass through the
# test's pipe), in a superuser's session that keeps it out of the server log.
my $big_sql = PostgreSQL::Test::Utils::tempdir() . '/big.sql';
append_to_file($big_sql, q{SELECT count(*) FROM t WHERE a::text = '} . ('"' x (270 * 1024 * 1024)) . q{';});
my $su = $node->background_psql('postgres');
$su->query_safe('SET log_statement = none; SET vireo.enabled = on;');
my $supid = $su->query_safe('SELECT pg_backend_pid();');
($out, $failed) = $su->query("\\i $big_sql");
unlink $big_sql;
ok(!$failed && $out eq '0', 'a statement whose record would pass 1 GB succeeds');
$su->quit;
my $file = data_file($node, $id, $supid);
open(my $fh, '<', $file) or die "$file: $!";
seek($fh, -4096, 2);
read($fh, my $tail, 4096);
close $fh;
like($tail, qr/,"vireo: plan not available: the record would exceed 1 GB",[0-9.]+,1,/,
	'it is recorded with a note in place of its plan');
$s->quit;
unlink $file;
$node->stop;

# --- A full file system, and the free-space floor -------------------------

SKIP:
{
	my $tmpfs = $ENV{VIREO_TEST_TMPFS} // '';
	skip 'no small file system of its own (scripts/test mounts one when run as root)', 9
	  unless $tmpfs ne '' && -d $tmpfs && -w $tmpfs;

	# The traces root lies on a 16 MB file system.
	my $disk = new_node('full_disk', 'vireo.min_free_space = 0');
	mkdir "$tmpfs/traces" or die "$tmpfs/traces: $!";
	symlink("$tmpfs/traces", $disk->data_dir . '/traces') or die "symlink: $!";
	my $filler = "$tmpfs/filler";

	# Fills the file system but for about $keep bytes.
	my $fill = sub {
		my ($keep) = @_;
		unlink $filler;
		my ($total, $free) = split ' ', `df -B1 --output=size,avail '$tmpfs' | tail -n 1`;
		open(my $f, '>', $filler) or die "$filler: $!";
		my $chunk = 'x' x 65536;
		my $left = $free - $keep;
		while ($left > 0)
		{
			my $n = $left < length($chunk) ? $left : length($chunk);
			last unless print $f substr($chunk, 0, $n);
			$left -= $n;
		}
		close $f;
	};

	my $full = $disk->safe_psql('postgres', "SELECT vr_activate('full disk')");
	my ($f, $fpid) = recording_session($disk);
	my $big = 'y' x 100_000;
	$f->query_safe("SELECT '$big' IS NULL;") foreach 1 .. 2;
	$fill->(150_000);
	my $log_offset = -s $disk->logfile;
	$f->query_safe("SELECT '$big' IS NULL;") foreach 1 .. 3;
	ok( $disk->log_contains(quotemeta("vireo: Couldn't write to the trace file 'traces/$full/"), $log_offset),
		'a write into a full file system after earlier records is logged');
	is(status_of($disk, $full), '0', 'the trace is ended');
	is($f->query_safe('SELECT 6 * 7;'), '42', 'the backend keeps serving');
	$f->quit;
	unlink $filler;

	# With 8 MB to keep and 9 MB free, a backend writing records of 300 kB
	# ends its trace once it finds less than 8 MB left.
	$disk->append_conf('postgresql.conf', 'vireo.min_free_space = 8');
	$disk->reload;
	my $floor = $disk->safe_psql('postgres', "SELECT vr_activate('floor')");
	($f, $fpid) = recording_session($disk);
	$fill->(9 * 1024 * 1024);
	$log_offset = -s $disk->logfile;
	my $chunk = 'z' x 300_000;
	$f->query_safe("SELECT '$chunk' IS NULL;") foreach 1 .. 10;
	is(status_of($disk, $floor), '3', 'the trace ends as at its size limit');
	like(slurp_file($disk->data_dir . "/traces/$floor/trace.ini"), qr/^Status=3$/m, 'its descriptor says so');
	ok($disk->log_contains("vireo: the trace $floor ended: \\d+ MB left on the file system of \"traces\", "
			. 'vireo.min_free_space keeps 8 MB', $log_offset),
		'the log says why');
	my $size = -s data_file($disk, $floor, $fpid);
	ok($size >= 1024 * 1024 && $size < 3 * 1024 * 1024, "the backend stopped soon after the floor ($size bytes)");
	my ($rc, undef, $err) = $disk->psql('postgres', 'SET vireo.min_free_space = 0', connstr => $disk->connstr('postgres') . ' user=alice');
	like($err, qr/cannot be changed now/, 'the floor is the server\'s, not the session\'s');
	$f->quit;
	unlink $filler;
	$disk->stop;
}

done_testing();
