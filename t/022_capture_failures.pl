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
use Time::HiRes qw(time);

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

my $node = new_node('capture_failures', 'max_prepared_transactions = 2');

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

# --- Cancels and timeouts while the module works ----------------------------

# A statement whose own work is done when the module builds its records (a
# COMMIT or PREPARE TRANSACTION closing cursors, the client's statement at
# its end) completes however long their plans take to print: a cancel or
# timeout arriving meanwhile stops that work, the records say so, and the
# interrupt is forgotten as the server forgets one that arrives after a
# command completed.  The cursors' plans are made long to print by a literal
# bound into each of them; how many cursors it takes to pass the timeout is
# measured here, not guessed.
$node->safe_psql(
	'postgres', q{
CREATE FUNCTION open_cursors(n int, size int) RETURNS void LANGUAGE plpgsql AS $$
DECLARE
	c refcursor;
BEGIN
	FOR i IN 1..n LOOP
		c := 'c' || i;
		OPEN c FOR EXECUTE 'SELECT * FROM t WHERE a::text = $1' USING repeat('q', size);
	END LOOP;
END $$;
GRANT EXECUTE ON FUNCTION open_cursors(int, int) TO alice;
});
my $literal = 5_000_000;

# Opens n cursors in a transaction of session s holding a row of done, and
# fetches from each; the transaction is left open.
sub open_cursors
{
	my ($session, $n, $value) = @_;
	$session->query_safe("BEGIN; INSERT INTO done VALUES ($value); SELECT open_cursors($n, $literal);");
	$session->query_safe(join(' ', map { "FETCH 1 FROM c$_;" } 1 .. $n));
}

sub seconds_of
{
	my ($session, $sql) = @_;
	my $start = time;
	$session->query_safe($sql);
	return time - $start;
}

my ($c, $cpid) = recording_session($node);
my $u = $node->background_psql('postgres', extra_params => [ '-U', 'alice' ], on_error_stop => 0);
$u->query_safe('SET vireo.enabled = off;');
open_cursors($u, 1, 0);
my $untraced = seconds_of($u, 'COMMIT;');
open_cursors($c, 1, 0);
my $per_cursor = seconds_of($c, 'COMMIT;');
my $timeout_ms = int(1000 * 3 * $untraced) + 100;
my $cursors = int(3 * $timeout_ms / 1000 / $per_cursor) + 2;
$cursors = 40 if $cursors > 40;
note("COMMIT untraced ${untraced}s, traced with one cursor ${per_cursor}s: "
	  . "$cursors cursors under a timeout of ${timeout_ms}ms");
$node->safe_psql('postgres', 'DELETE FROM done');

sub canceled_records
{
	my ($text) = @_;
	return scalar grep { ($_->{fields}[6] // '') eq $text && ($_->{fields}[7] // '') eq 'vireo: plan not available: canceled' }
	  @{ read_records(data_file($node, $id, $cpid)) };
}

my $cursor_text = 'SELECT * FROM t WHERE a::text = $1';
foreach my $case (
	[ 'COMMIT', 'COMMIT;', 1 ],
	[ 'PREPARE TRANSACTION', "PREPARE TRANSACTION 'vireo_prepared';", 2 ])
{
	my ($name, $sql, $value) = @$case;
	my $canceled_before = canceled_records($cursor_text);
	open_cursors($c, $cursors, $value);
	$c->query_safe("SET LOCAL statement_timeout = '${timeout_ms}ms';");
	my (undef, $failed) = $c->query($sql);
	ok(!$failed, "$name succeeds although printing the cursors' plans passes its statement_timeout");
	$c->query_safe("COMMIT PREPARED 'vireo_prepared';") if $value == 2;
	is($node->safe_psql('postgres', "SELECT count(*) FROM done WHERE v = $value"), '1', "$name: the transaction committed");
	cmp_ok(canceled_records($cursor_text), '>', $canceled_before, "$name: the cursors not printed in time say so");
	is($c->query_safe('SELECT 6 * 7;'), '42', "$name: the session is not left in an aborted transaction");
}

# The same with a cancel sent from another session while the plans print.
{
	my $canceled_before = canceled_records($cursor_text);
	my $long = int(3 / $per_cursor) + 2;
	$long = 60 if $long > 60;
	open_cursors($c, $long, 3);
	$c->query_until(qr/committing/, "\\echo committing\nCOMMIT;\n");
	ok( $node->poll_query_until(
			'postgres',
			"SELECT count(*) FROM pg_stat_activity WHERE pid = $cpid AND state = 'active' AND query = 'COMMIT;'",
			'1'),
		'the COMMIT prints its cursors\' plans');
	$node->safe_psql('postgres', "SELECT pg_cancel_backend($cpid)");
	is($c->query_safe('SELECT 6 * 7;'), '42', 'a COMMIT canceled while its cursors\' plans print leaves the session usable');
	is($node->safe_psql('postgres', 'SELECT count(*) FROM done WHERE v = 3'), '1', 'and commits');
	cmp_ok(canceled_records($cursor_text), '>', $canceled_before, 'the cursors not printed by then say so');
}

# The client's statement at its end: a JSON plan of a literal of control
# characters, each printed as six, takes many times the statement's own time.
{
	my $json = $node->safe_psql('postgres', "SET vireo.explain_format = json; SELECT vr_activate('json')");
	my $size = 20_000_000;
	my $sql = sub { "SELECT count(*) FROM t WHERE a::text = repeat(chr(1), $_[0]);" };
	my ($plain, $traced);
	while (1)
	{
		$plain = seconds_of($u, $sql->($size));
		$traced = seconds_of($c, $sql->($size));
		last if $traced > 4 * $plain || $size >= 80_000_000;
		$size *= 2;
	}
	my $ms = int(1000 * ($plain + ($traced - $plain) / 4));
	note("statement untraced ${plain}s, traced ${traced}s: timeout ${ms}ms");
	$c->query_safe("SET statement_timeout = '${ms}ms';");
	my (undef, $failed) = $c->query($sql->($size));
	ok(!$failed, 'a statement whose plans take longer to print than its timeout allows succeeds');
	$c->query_safe('RESET statement_timeout;');
	my @records = grep { ($_->{fields}[6] // '') eq $sql->($size) } @{ read_records(data_file($node, $json, $cpid)) };
	is(($records[-1] // {})->{fields}[7] // '', 'vireo: plan not available: canceled', 'its record says the plan was canceled');
	$node->safe_psql('postgres', "SELECT vr_deactivate('$json')");
}

# Inside a statement that goes on, the interrupt is the statement's: a
# timeout during the records of a function's statements still cancels it.
{
	$node->safe_psql('postgres', q{CREATE FUNCTION twice(x int) RETURNS int LANGUAGE sql AS 'SELECT 1; SELECT x * 2'});
	$c->query_safe("SET statement_timeout = '500ms';");
	my ($out, $failed) = $c->query('SELECT count(twice(g)) FROM generate_series(1, 10000000) g;');
	ok($failed && $c->{stderr} =~ /canceling statement due to statement timeout/,
		'a statement recording its functions\' statements is still canceled by its timeout');
	$c->query_safe('RESET statement_timeout;');
}

# --- Memory of the records of a function's statements -----------------------

# Each statement of a SQL function's body gets a record of its own, built
# while the calling statement goes on: nothing of it may stay behind until
# the caller ends.  The backend's peak memory over 100,000 calls stays that
# of the same statement untraced, within twice.
{
	my $pad = 'p' x 1000;
	$node->safe_psql('postgres',
		"CREATE FUNCTION padded(x int) RETURNS int LANGUAGE sql AS \$\$SELECT '$pad' IS NOT NULL; SELECT x\$\$");
	my $calls = 'SELECT sum(padded(g)) FROM generate_series(1, 100000) g;';
	my $peak_kb = sub {
		my ($pid) = @_;
		my ($kb) = slurp_file("/proc/$pid/status") =~ /^VmHWM:\s+(\d+) kB/m;
		return $kb;
	};
	my ($plain, $plain_pid) = recording_session($node);
	my ($traced, $traced_pid) = recording_session($node);
	$plain->query_safe('SET vireo.enabled = off;');
	$plain->query_safe($calls);
	$traced->query_safe($calls);
	my ($untraced_kb, $traced_kb) = ($peak_kb->($plain_pid), $peak_kb->($traced_pid));
	my $inner = () = slurp_file(data_file($node, $id, $traced_pid)) =~ /,"SELECT x",/g;
	is($inner, 100_000, 'every call\'s statements are recorded');
	cmp_ok($traced_kb, '<', 2 * $untraced_kb,
		"a statement recording 200,000 statements of its functions keeps its memory ($traced_kb kB, untraced $untraced_kb kB)");
	$plain->quit;
	$traced->quit;
}

# --- One plan form that fails leaves the other --------------------------------

# With a text and a JSON trace, a literal of 180 MB of control characters
# prints as 180 MB in the text plan and past 1 GB in JSON, each character as
# six: the JSON record says why it has no plan, the text record has its plan.
{
	my $json = $node->safe_psql('postgres', "SET vireo.explain_format = json; SELECT vr_activate('json forms')");
	my $sql = 'SELECT count(*) FROM t WHERE a::text = repeat(chr(1), 180000000);';
	my $text_file = data_file($node, $id, $cpid);
	my $offset = -s $text_file;
	is($c->query_safe($sql), '0', 'a statement whose JSON plan cannot be built succeeds');
	my ($json_record) = grep { ($_->{fields}[6] // '') eq $sql } @{ read_records(data_file($node, $json, $cpid)) };
	like(($json_record // {})->{fields}[7] // '', qr/^vireo: plan not available: /, 'its JSON record says why it has no plan');
	open(my $fh, '<', $text_file) or die "$text_file: $!";
	seek($fh, $offset, 0);
	read($fh, my $head, 4096);
	close $fh;
	like($head, qr/\Q$sql\E","Aggregate /, 'its text record has the text plan');
	$node->safe_psql('postgres', "SELECT vr_deactivate('$json')");
}
$c->quit;
$u->quit;
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
	# ends its trace at the record that would leave less than 8 MB.
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
	ok($size >= 2 * 300_000 && $size < 1024 * 1024, "the backend wrote what fit above the floor ($size bytes)");
	my ($rc, undef, $err) = $disk->psql('postgres', 'SET vireo.min_free_space = 0', connstr => $disk->connstr('postgres') . ' user=alice');
	like($err, qr/cannot be changed now/, 'the floor is the server\'s, not the session\'s');
	$f->quit;
	unlink $filler;
	$disk->stop;
}

done_testing();
