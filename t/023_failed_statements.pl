# Statements that end in an error, and the statements that only traces asking
# for them record: a failed statement's record carries the SQLSTATE and
# message of its error in place of its plan, and the error reaches the
# client as without the module; a cursor that a rollback closes keeps its
# FETCHes' rows; vireo.track_nested records the statements of functions,
# vireo.track_utility the statements that never reach the executor.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use IPC::Run;
use JSON::PP;
use lib "$FindBin::RealBin/lib";
use VireoCompat;
use VireoTrace;

# The objects every failure below needs, on a server with the module and on
# one without it.
my $schema = q{
CREATE ROLE alice LOGIN;
CREATE ROLE bob LOGIN;
CREATE TABLE t(a int, b int);
INSERT INTO t SELECT g, g FROM generate_series(1, 100) g;
CREATE TABLE pk(a int PRIMARY KEY);
CREATE TABLE fk(a int REFERENCES pk DEFERRABLE INITIALLY DEFERRED);
CREATE TABLE trg(a int);
CREATE FUNCTION trg_raise() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN RAISE EXCEPTION 'after insert' USING ERRCODE = 'P0043'; END$$;
CREATE TRIGGER trg_after AFTER INSERT ON trg FOR EACH ROW EXECUTE FUNCTION trg_raise();
GRANT ALL ON t, pk, fk, trg TO PUBLIC;
CREATE FUNCTION div_body(x int) RETURNS int LANGUAGE sql VOLATILE AS $$SELECT 1; SELECT 10 / (x + a - a) FROM t WHERE a = 1$$;
CREATE FUNCTION raiser() RETURNS int LANGUAGE plpgsql AS $$
BEGIN
	RAISE EXCEPTION 'raised on purpose' USING DETAIL = 'some detail', HINT = 'some hint', ERRCODE = 'P0042';
END $$;
CREATE FUNCTION catcher() RETURNS int LANGUAGE plpgsql AS $$
BEGIN
	BEGIN
		PERFORM div_body(0);
	EXCEPTION WHEN division_by_zero THEN
		RETURN -1;
	END;
	RETURN 1;
END $$;
CREATE FUNCTION alice_inner() RETURNS bigint LANGUAGE plpgsql AS $$
DECLARE n bigint;
BEGIN
	SELECT count(*) INTO n FROM t WHERE a > 0 /* alice body */;
	RETURN n;
END $$;
CREATE FUNCTION bob_definer() RETURNS bigint LANGUAGE plpgsql SECURITY DEFINER AS $$
DECLARE n bigint;
BEGIN
	SELECT count(*) INTO n FROM t WHERE a > 1 /* bob body */;
	RETURN n;
END $$;
ALTER FUNCTION bob_definer() OWNER TO bob;
CREATE FUNCTION bob_div(x int) RETURNS int LANGUAGE sql IMMUTABLE SECURITY DEFINER AS $$SELECT 10 / x$$;
ALTER FUNCTION bob_div(int) OWNER TO bob;
};

my $node = PostgreSQL::Test::Cluster->new('failed_statements');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'\ndeadlock_timeout = '100ms'");
$node->start;
$node->safe_psql('postgres', "CREATE EXTENSION vireo; ALTER ROLE postgres SET vireo.enabled = off; $schema");

sub activate
{
	my ($settings, $args) = @_;
	return $node->safe_psql('postgres', "$settings SELECT vr_activate($args)");
}

sub records_of
{
	my ($id, $pid) = @_;
	return read_records($node->data_dir . "/traces/$id/trace-$pid.csv");
}

# The records of one text, and the plan fields (notes) of a list of records.
sub with_text
{
	my ($records, $text) = @_;
	return grep { ($_->{fields}[6] // '') eq $text } @$records;
}

sub plans { return map { $_->{fields}[7] // '' } @_; }

# The statement of div_body that fails when its argument is 0, while it runs.
my $body = 'SELECT 10 / (x + a - a) FROM t WHERE a = 1';

sub session
{
	my ($role) = @_;
	my $s = $node->background_psql('postgres', extra_params => [ '-U', $role // 'alice' ], on_error_stop => 0);
	return ($s, $s->query_safe('SELECT pg_backend_pid();'));
}

# --- Failures ----------------------------------------------------------------

my $plain = activate('', "'failures'");
my $utility = activate('SET vireo.track_utility = on;', "'utility'");
my ($s, $pid) = session();
my ($other, $other_pid) = session('bob');

$s->query("SET statement_timeout = '200ms'; SELECT pg_sleep(5);");
$s->query('RESET statement_timeout; SELECT 1/(a-a) FROM t; SELECT 1/0;');
# Planned by alice, failing inside a SECURITY DEFINER function of bob's that
# the planner evaluates.
$s->query('SELECT bob_div(0);');

# A cancel from another session.
$s->query_until(qr/sleeping/, "\\echo sleeping\nSELECT pg_sleep(60);\n");
$node->poll_query_until('postgres',
	"SELECT count(*) FROM pg_stat_activity WHERE pid = $pid AND state = 'active' AND query LIKE 'SELECT pg_sleep(60)%'", '1')
  or die 'the statement to cancel did not start';
$node->safe_psql('postgres', "SELECT pg_cancel_backend($pid)");
like(($s->query('SELECT 6 * 7;'))[0], qr/42/, 'the canceled session answers');

# A lock_timeout on a row another session holds, and another session still
# answers.
$other->query_safe('BEGIN; UPDATE t SET b = b WHERE a = 1;');
$s->query("SET lock_timeout = '100ms'; UPDATE t SET b = b + 1 WHERE a = 1;");
is($node->safe_psql('postgres', 'SELECT 6 * 7'), '42', 'another session answers while a row lock is held');
$s->query_safe('RESET lock_timeout;');
$other->query_safe('ROLLBACK;');

# A deadlock between two recording sessions: one of them fails, and once it
# rolls back the other goes on.
$other->query_safe('BEGIN; UPDATE t SET b = b WHERE a = 2;');
$s->query_safe('BEGIN; UPDATE t SET b = b WHERE a = 3;');
$other->query_until(qr/locking/, "\\echo locking\nUPDATE t SET b = b WHERE a = 3;\n");
$node->poll_query_until('postgres', "SELECT count(*) FROM pg_locks WHERE pid = $other_pid AND NOT granted", '1');
$s->query_until(qr/locking/, "\\echo locking\nUPDATE t SET b = b WHERE a = 2;\n");
$node->poll_query_until('postgres',
	"SELECT count(*) FROM pg_stat_activity WHERE pid IN ($pid, $other_pid) AND state = 'idle in transaction (aborted)'", '1')
  or die 'no deadlock was detected';
$other->query('ROLLBACK;');
$s->query('ROLLBACK;');

# A serialization failure.
$s->query_safe('BEGIN ISOLATION LEVEL REPEATABLE READ; SELECT count(*) FROM t;');
$other->query_safe('UPDATE t SET b = b WHERE a = 4;');
$s->query('UPDATE t SET b = b WHERE a = 4;');
$s->query('ROLLBACK;');

# An AFTER trigger that fails in the executor's finish.
$s->query('INSERT INTO trg VALUES (1);');

# A deferred constraint that fails at COMMIT, which rolls back.
$s->query('BEGIN; INSERT INTO fk VALUES (7); COMMIT;');
is($node->safe_psql('postgres', 'SELECT count(*) FROM fk'), '0', 'the failed COMMIT rolled back');

# A failing statement that an exception block catches, one that a savepoint
# rolls back, and a successful one inside a savepoint rolled back later.
$s->query_safe('SELECT catcher();');
$s->query("BEGIN; SAVEPOINT a; SELECT 1/(a-a) FROM t WHERE a < 50; ROLLBACK TO a; SELECT 'kept' AS k; SAVEPOINT b; SELECT 'undone' AS u; ROLLBACK TO b; COMMIT;");

# Cursors that a ROLLBACK and an error close, after five and four rows.
$s->query_safe('BEGIN; DECLARE c CURSOR FOR SELECT a FROM t; FETCH 3 FROM c; FETCH 2 FROM c; ROLLBACK;');
$s->query('BEGIN; DECLARE d CURSOR FOR SELECT a FROM t; FETCH 4 FROM d; SELECT raiser(); ROLLBACK;');

# An error in the body of a SQL function, under its caller.
$s->query('SELECT div_body(a - a) FROM t;');
is($s->query_safe('SELECT 6 * 7;'), '42', 'the session goes on after all of its failures');

# A failure record larger than the buffer reserved for it goes out whole in
# several writes; the trace that it takes past its size limit (1 MB) ends at
# the session's next statement.
my $small = activate('', "'small', NULL, NULL, 1");
my $long = q{SELECT 1/(a-a) FROM t WHERE b <> length('} . ('y' x 1_200_000) . q{');};
$s->query($long);
$s->query_safe('SELECT 1;');
is_deeply([ plans(with_text(records_of($small, $pid), $long)) ], ['vireo: statement failed: 22012 division by zero'],
	'a failure record of over 1 MB is written whole');
is($node->safe_psql('postgres', "SELECT status FROM vr_traces_list() WHERE trace_id = '$small'"), '3',
	'the trace it filled ends at its size limit');

my $records = records_of($plain, $pid);
my $other_records = records_of($plain, $other_pid);
is((grep { scalar @{ $_->{fields} } != 29 } @$records), 0, 'every record has 29 fields');
my @failed = grep { ($_->{fields}[7] // '') =~ /^vireo: statement failed: / } @$records;

my ($sleep) = with_text($records, 'SELECT pg_sleep(5);');
is(($sleep // {})->{fields}[7], 'vireo: statement failed: 57014 canceling statement due to statement timeout',
	'a statement_timeout: the SQLSTATE and message in place of the plan');
cmp_ok(($sleep // {})->{fields}[8] // 0, '>=', 150, 'its duration runs up to the timeout');
cmp_ok(($sleep // {})->{fields}[8] // 0, '<', 5000, 'and no further');
is_deeply([ plans(with_text($records, 'SELECT pg_sleep(60);')) ],
	['vireo: statement failed: 57014 canceling statement due to user request'], 'a cancel from another session');
is_deeply([ plans(with_text($records, 'SELECT 1/(a-a) FROM t;'), with_text($records, 'SELECT 1/0;')) ],
	[ ('vireo: statement failed: 22012 division by zero') x 2 ],
	'division by zero while the statement runs, and while it is planned');
my ($definer_failed) = with_text($records, 'SELECT bob_div(0);');
is_deeply([ @{ ($definer_failed // {})->{fields} // [] }[ 3, 7 ] ],
	[ $node->safe_psql('postgres', "SELECT 'alice'::regrole::oid"), 'vireo: statement failed: 22012 division by zero' ],
	'a statement that fails inside a SECURITY DEFINER function while it is planned: the user that ran it');
is_deeply([ plans(with_text($records, 'UPDATE t SET b = b + 1 WHERE a = 1;')) ],
	['vireo: statement failed: 55P03 canceling statement due to lock timeout'], 'a lock timeout');
is(scalar(grep { ($_->{fields}[7] // '') =~ /^vireo: statement failed: 40P01 deadlock detected$/ } @$records, @$other_records),
	1, 'a deadlock: the statement it ended');
is_deeply([ grep { /40001/ } plans(with_text($records, 'UPDATE t SET b = b WHERE a = 4;')) ],
	['vireo: statement failed: 40001 could not serialize access due to concurrent update'], 'a serialization failure');
is_deeply([ plans(with_text($records, 'INSERT INTO trg VALUES (1);')) ], ['vireo: statement failed: P0043 after insert'],
	'an AFTER trigger failing in the executor\'s finish');
is(scalar(grep { ($_->{fields}[6] // '') eq 'COMMIT;' } @$records), 0, 'without vireo.track_utility, no COMMIT is recorded');
like(join("\n", plans(grep { $_->{fields}[6] eq 'COMMIT;' } @{ records_of($utility, $pid) })),
	qr/^vireo: statement failed: 23503 insert or update on table "fk" violates foreign key constraint "fk_a_fkey"$/m,
	'with it, a COMMIT that a deferred constraint fails');

is_deeply([ plans(with_text($records, $body)) ], [ ('vireo: statement failed: 22012 division by zero') x 2 ],
	'a SQL function\'s statement that an exception block catches, and one that fails its caller: once each');
my ($catcher) = with_text($records, 'SELECT catcher();');
like(($catcher // {})->{fields}[7], qr/^Result /, 'the statement whose exception block caught the error succeeded');
is_deeply([ plans(with_text($records, 'SELECT 1/(a-a) FROM t WHERE a < 50;')) ],
	['vireo: statement failed: 22012 division by zero'], 'a statement rolled back to its savepoint: once');
like(join(',', plans(with_text($records, q{SELECT 'undone' AS u;}))), qr/^Result /,
	'a successful statement in a savepoint rolled back later keeps its record');
my @div = grep { ($_->{fields}[6] // '') =~ /^SELECT (10 \/ |div_body\(a - a\) FROM t;)/ } @$records;
is_deeply([ map { $_->{fields}[6] } @div[ -2 .. -1 ] ], [ $body, 'SELECT div_body(a - a) FROM t;' ],
	'a failed SQL function\'s statement is written before its failed caller');

my ($rolled) = with_text($records, 'DECLARE c CURSOR FOR SELECT a FROM t;');
is(($rolled // {})->{fields}[9], 5, 'a cursor closed by ROLLBACK: the rows of its FETCHes');
like(($rolled // {})->{fields}[7], qr/^Seq Scan on t /, 'and its plan, printed before the rollback');
my ($closed) = with_text($records, 'DECLARE d CURSOR FOR SELECT a FROM t;');
is_deeply([ @{ ($closed // {})->{fields} // [] }[ 7, 9 ] ], [ 'vireo: cursor closed by rollback', 4 ],
	'a cursor closed by an error: the rows of its FETCHes, and the note');
is(scalar(grep { ($_->{fields}[6] // '') =~ /^DECLARE [cd] / } @$records), 2, 'each cursor once');

# vireo-report counts the recorded failures by SQLSTATE, as the records do.
my %recorded;
foreach my $file (glob($node->data_dir . "/traces/$plain/trace-*.csv"))
{
	$recorded{$_}++ foreach map { ($_->{fields}[7] // '') =~ /^vireo: statement failed: (\w{5}) / ? $1 : () } @{ read_records($file) };
}
my ($out, $err) = ('', '');
IPC::Run::run([ 'vireo-report', '-h', $node->host, '-p', $node->port, '-d', 'postgres', '-f', 'json', '-o', '-', $plain ],
	'>', \$out, '2>', \$err);
my $doc = eval { decode_json($out) } // {};
is(join(',', map { "$_->{sqlstate}=$_->{calls}" } sort { $a->{sqlstate} cmp $b->{sqlstate} } @{ $doc->{failures}{by_sqlstate} // [] }),
	join(',', map { "$_=$recorded{$_}" } sort keys %recorded), 'the report counts the failures by SQLSTATE')
  or diag($err);

# --- The same error, and transaction state, without the module --------------

my $bare = PostgreSQL::Test::Cluster->new('without_vireo');
$bare->init;
$bare->append_conf('postgresql.conf', "deadlock_timeout = '100ms'");
$bare->start;
$bare->safe_psql('postgres', $schema);
my $script = q{\set VERBOSITY verbose
SELECT 1/(a-a) FROM t;
SELECT 1/0;
SELECT raiser();
SELECT div_body(a - a) FROM t;
INSERT INTO trg VALUES (1);
BEGIN;
INSERT INTO fk VALUES (7);
COMMIT;
BEGIN;
SAVEPOINT a;
SELECT raiser();
SELECT 'in an aborted block';
ROLLBACK TO a;
DECLARE c CURSOR FOR SELECT a FROM t ORDER BY a;
FETCH 2 FROM c;
SELECT 1/(a-a) FROM t;
FETCH 1 FROM c;
ROLLBACK;
FETCH 1 FROM c;
SET statement_timeout = '100ms';
SELECT pg_sleep(1);
RESET statement_timeout;
SELECT catcher();
DO $$BEGIN PERFORM 1/(a-a) FROM t; EXCEPTION WHEN division_by_zero THEN RAISE NOTICE 'caught %', SQLSTATE; END$$;
SELECT count(*) FROM fk;
};
my $all = activate('SET vireo.track_nested = on; SET vireo.track_utility = on;', "'everything'");
my @with = $node->psql('postgres', $script, on_error_stop => 0, extra_params => [ '-U', 'alice' ]);
my @without = $bare->psql('postgres', $script, on_error_stop => 0, extra_params => [ '-U', 'alice' ]);
like($with[2], qr/DETAIL:  some detail\nHINT:  some hint\nCONTEXT:  PL\/pgSQL function raiser\(\)/,
	'the errors carry detail, hint and context');
is_deeply(\@with, \@without,
	'every SQLSTATE, message, detail, hint, context and transaction state is as without the module');
$bare->stop;

# --- Statements of functions: vireo.track_nested -------------------------------

my $rc;
($rc, undef, $err) =
  $node->psql('postgres', "SET vireo.track_nested = on; SELECT vr_activate('nested by alice')", extra_params => [ '-U', 'alice' ]);
like($err, qr/Only a superuser or a member of vireo_admin may activate a trace with vireo.track_nested on/,
	'a plain user may not record the statements of functions');
($rc, undef, $err) =
  $node->psql('postgres', "SET vireo.track_utility = on; SELECT vr_activate('utility by alice')", extra_params => [ '-U', 'alice' ]);
like($err, qr/with vireo.track_utility on/, 'nor utility statements');
$node->safe_psql('postgres', 'CREATE ROLE carol LOGIN IN ROLE vireo_admin');
like($node->safe_psql('postgres', "SET vireo.track_nested = on; SELECT vr_activate('nested by an admin')", extra_params => [ '-U', 'carol' ]),
	qr/^\d{20}$/, 'a member of vireo_admin may');
$node->safe_psql('postgres', 'SELECT vr_deactivate(trace_id) FROM vr_active_traces()');

my $alice_oid = $node->safe_psql('postgres', "SELECT 'alice'::regrole::oid");
($s, $pid) = session();
my $nested = activate('SET vireo.track_nested = on;', "'nested', ARRAY[$alice_oid]::oid[]");
my $flat = activate('', "'flat', ARRAY[$alice_oid]::oid[]");
$s->query_safe('SELECT alice_inner(), bob_definer();');
$s->query_safe(q{DO $$BEGIN PERFORM count(*) FROM t WHERE a > 2 /* do body */; END$$;});
$s->query_safe('BEGIN; SELECT catcher(); COMMIT;');
my $nested_records = records_of($nested, $pid);
my @expected = (qr/ FROM t WHERE a > 0 \/\* alice body \*\/$/, qr/^SELECT alice_inner\(\), bob_definer\(\);$/,
	qr/^SELECT count\(\*\) FROM t WHERE a > 2\b/, qr/^SELECT 1$/, qr/^SELECT 10 \/ /,
	qr/^SELECT div_body\(0\)$/, qr/^SELECT catcher\(\);$/);
is(scalar @$nested_records, scalar @expected, 'with vireo.track_nested, the statements of functions are recorded too');
like($nested_records->[$_]{fields}[6] // '', $expected[$_],
	"each before its caller, not those run as another user (record $_)") foreach 0 .. $#expected;
is_deeply([ plans(@$nested_records[ 4, 5 ]) ], [ ('vireo: statement failed: 22012 division by zero') x 2 ],
	'a failed statement that an exception block catches, once');
is_deeply([ map { $_->{fields}[6] } @{ records_of($flat, $pid) } ],
	[ 'SELECT alice_inner(), bob_definer();', 'SELECT 1', $body, 'SELECT catcher();' ],
	'without it, only the statements of SQL function bodies');

# --- Utility statements: vireo.track_utility -----------------------------------

my $copy_file = PostgreSQL::Test::Utils::tempdir() . '/rows.txt';
append_to_file($copy_file, join('', map { "$_\n" } 1 .. 5));
$node->safe_psql('postgres', 'GRANT pg_read_server_files TO alice; GRANT CREATE ON SCHEMA public TO alice;');
$utility = activate('SET vireo.track_utility = on;', "'utility', ARRAY[$alice_oid]::oid[]");
my @utility_statements = (
	'CREATE TABLE u(a int);', "COPY u FROM '$copy_file';", 'VACUUM u;', 'CREATE TABLE u(a int);',
	'EXPLAIN (ANALYZE) SELECT count(*) FROM u;', 'CREATE TABLE v AS SELECT a FROM u;',
	'PREPARE q AS SELECT count(*) FROM u;', 'EXECUTE q;',
	'BEGIN;', 'DECLARE e CURSOR FOR SELECT a FROM u;', 'FETCH 2 FROM e;', 'CLOSE e;', 'END;');
$s->query($_) foreach @utility_statements;
my ($off, $off_pid) = session();
$off->query_safe('SET vireo.enabled = off; CREATE TABLE w(a int); SELECT 1;');
$s->quit;
$off->quit;
$node->safe_psql('postgres', 'SELECT vr_deactivate(trace_id) FROM vr_active_traces()');

my $u = records_of($utility, $pid);
is_deeply(
	[ map { [ $_->{fields}[5], $_->{fields}[6] ] } @$u ],
	[
		[ 5, 'CREATE TABLE u(a int);' ], [ 5, "COPY u FROM '$copy_file';" ], [ 5, 'VACUUM u;' ],
		[ 5, 'CREATE TABLE u(a int);' ], [ 1, 'EXPLAIN (ANALYZE) SELECT count(*) FROM u;' ],
		[ 1, 'CREATE TABLE v AS SELECT a FROM u;' ], [ 5, 'PREPARE q AS SELECT count(*) FROM u;' ],
		[ 1, 'PREPARE q AS SELECT count(*) FROM u;' ], [ 5, 'BEGIN;' ],
		[ 1, 'DECLARE e CURSOR FOR SELECT a FROM u;' ], [ 5, 'END;' ]
	],
	'utility statements with command type 5, and those that reach the executor recorded once, by the executor');
is($u->[1]{fields}[9], 5, 'COPY FROM: the rows it reports');
is($u->[7]{fields}[9], 1, 'EXECUTE: the rows of the prepared statement, recorded under its text');
is_deeply([ @{ $u->[0]{fields} }[ 7, 9 ] ], [ '', 0 ], 'no plan (an empty text), no rows');
is($node->safe_psql('postgres', "SELECT count(*) FROM vr_trace_records('$utility') WHERE query_type = 5"),
	scalar(grep { $_->{fields}[5] == 5 } @$u), 'the loader reads every one of them');
is($u->[3]{fields}[7], 'vireo: statement failed: 42P07 relation "u" already exists', 'a failed utility statement');
my $flat_records = records_of($flat, $pid);
is_deeply([ map { $_->{fields}[6] } grep { $_->{fields}[5] == 5 } @$flat_records ], [],
	'a trace without vireo.track_utility records none of them');
cmp_ok(scalar @$flat_records, '>', 0, 'but records the others');
is_deeply(queries_of(records_of($utility, $off_pid)), ['SELECT pg_backend_pid();'], 'vireo.enabled = off records nothing');

done_testing();
