# Statement capture: the profile records that backends append to their trace
# data files, read back field by field, and which statements and sessions
# a trace records.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoCompat;
use VireoTrace;
use JSON::PP;

my $node = PostgreSQL::Test::Cluster->new('capture');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$node->start;

# The sessions that activate traces and look at the results run as postgres
# with recording switched off, so that they never add records of their own;
# the sessions under test switch it on or run as other roles.
$node->safe_psql(
	'postgres', q{
CREATE EXTENSION vireo;
CREATE ROLE alice LOGIN;
CREATE ROLE bob LOGIN;
CREATE DATABASE other;
ALTER ROLE postgres SET vireo.enabled = off;
CREATE TABLE t(a int, b text);
INSERT INTO t SELECT g, 'row ' || g FROM generate_series(1, 1000) g;
GRANT ALL ON t TO PUBLIC;
CREATE MATERIALIZED VIEW mv AS SELECT count(*) FROM t;
CREATE FUNCTION plpgsql_probe() RETURNS bigint LANGUAGE plpgsql AS $$
DECLARE n bigint;
BEGIN
	SELECT count(*) INTO n FROM t WHERE b <> 'spi probe';
	RETURN n;
END $$;
CREATE FUNCTION return_query_probe() RETURNS SETOF int LANGUAGE plpgsql AS $$
BEGIN
	RETURN QUERY SELECT a FROM t WHERE b = 'row 7';
END $$;
CREATE FUNCTION sql_probe() RETURNS bigint LANGUAGE sql VOLATILE
	AS $$SELECT count(*) FROM t WHERE b <> 'sql body'$$;
CREATE FUNCTION atomic_probe(x int) RETURNS int LANGUAGE sql
BEGIN ATOMIC
	SELECT count(*) FROM t WHERE a = x;
	SELECT x + 1;
END;
CREATE PROCEDURE loop_probe() LANGUAGE plpgsql AS $$
DECLARE
	n int := 0;
	r record;
BEGIN
	FOR r IN SELECT a FROM t WHERE b <> 'loop probe' LOOP
		n := n + 1;
		IF n = 3 THEN
			COMMIT;
			EXIT;
		END IF;
	END LOOP;
END $$;
CREATE FUNCTION refcursor_probe() RETURNS refcursor LANGUAGE plpgsql AS $$
DECLARE
	c refcursor := 'probe_cursor';
BEGIN
	OPEN c FOR SELECT a FROM t WHERE b <> 'refcursor probe';
	RETURN c;
END $$;
});

my $alice_oid = $node->safe_psql('postgres', "SELECT 'alice'::regrole::oid");
my $postgres_oid = $node->safe_psql('postgres', "SELECT 'postgres'::regrole::oid");
my $postgres_db = $node->safe_psql('postgres', "SELECT oid FROM pg_database WHERE datname = 'postgres'");
my $other_db = $node->safe_psql('postgres', "SELECT oid FROM pg_database WHERE datname = 'other'");

sub trace_file
{
	my ($id, $pid) = @_;
	return $node->data_dir . "/traces/$id/trace-$pid.csv";
}

# The records of one backend in one trace; none when it has no data file.
sub records_of
{
	my ($id, $pid) = @_;
	return read_records(trace_file($id, $pid));
}

sub activate
{
	my ($args, $settings) = @_;
	$settings //= '';
	return $node->safe_psql('postgres', "$settings SELECT vr_activate($args)");
}

sub deactivate_all
{
	$node->safe_psql('postgres', 'SELECT vr_deactivate(trace_id) FROM vr_active_traces()');
}

# A recording session: role and database as given, recording switched on.
sub session
{
	my ($role, $db) = @_;
	my $s = $node->background_psql($db // 'postgres', extra_params => [ '-U', $role // 'postgres' ]);
	$s->query_safe('SET vireo.enabled = on;');
	return $s;
}

sub pid_of
{
	my ($s) = @_;
	return $s->query_safe('SELECT pg_backend_pid();');
}

# --- Record format -------------------------------------------------------

# Two traces of every user: one activated with text EXPLAIN (version 3.0),
# one with JSON EXPLAIN (version 4.0).  The same backend records into both.
my $s = session();
my $spid = pid_of($s);
my $text_id = activate("'text format'");
my $json_id = activate("'json format'", 'SET vireo.explain_format = json;');
is( join(',', map { (split /\n/, slurp_file($node->data_dir . "/traces/$_/trace.ini"))[0] } $text_id, $json_id),
	'Version=3.000000,Version=4.000000',
	'the traces have versions 3.0 and 4.0');

my $quoted_query = qq{SELECT 'it''s "quoted"' AS "col,1", 'line\ntwo,' AS "c""2";};
my @format_statements = (
	q{SET application_name = 'app "one"';},
	q{SELECT a, b FROM t WHERE a <= 3;},
	q{INSERT INTO t VALUES (1001, 'x'), (1002, 'y');},
	q{UPDATE t SET b = 'z' WHERE a = 1001;},
	q{DELETE FROM t WHERE a > 1000;},
	q{PREPARE p(int4, text) AS SELECT count(*) FROM t WHERE a > $1 AND b <> $2;},
	q{EXECUTE p(10, 'z');},
	$quoted_query,
	q{SET application_name = '';},
	q{SELECT count(*) FROM t;},
	q{SELECT count(*) FROM t;},
	q{EXPLAIN SELECT count(*) FROM t WHERE b = 'plain explain';});
$s->query_safe($_) foreach @format_statements;
$s->quit;
deactivate_all();

my $text = records_of($text_id, $spid);
my $json = records_of($json_id, $spid);

# Every executor-level statement gives one record; SET and PREPARE do not
# reach the executor.
is(scalar @$text, 9, 'one text record per executor-level statement');
is(scalar @$json, 9, 'one JSON record per executor-level statement');
is_deeply(queries_of($json), queries_of($text), 'both traces recorded the same statements in order');
is( (grep { scalar @{ $_->{fields} } != 29 } @$text, @$json),
	0, 'every record has 29 fields');

my ($select, $insert, $update, $delete, $execute, $quoted, $count1, $count2, $explain) = @$text;

is($select->{fields}[6], q{SELECT a, b FROM t WHERE a <= 3;}, 'the query text is the text the client sent');
is($quoted->{fields}[6], $quoted_query,
	'a query text with quotes, commas and line feeds reads back unchanged');
(my $doubled = $quoted_query) =~ s/"/""/g;
ok(index($quoted->{raw}, qq{,"$doubled",}) > 0,
	'double quotes inside the query text are doubled, nothing else is escaped');

is($select->{fields}[2], 'app "one"', 'the application name reads back with its double quote');
like($select->{raw}, qr/^[^,"]+,[^,"]+,"app ""one""",/, 'a double quote in the application name is doubled');
is($count1->{fields}[2], '', 'an empty application name is a quoted empty field');
like($count1->{raw}, qr/^[^,"]+,[^,"]+,"",/, 'an empty application name is written as two double quotes');

is_deeply(
	[ map { [ @{ $_->{fields} }[ 3, 4, 5, 9 ] ] } $select, $insert, $update, $delete ],
	[
		[ $postgres_oid, $postgres_db, 1, 3 ],
		[ $postgres_oid, $postgres_db, 3, 2 ],
		[ $postgres_oid, $postgres_db, 2, 1 ],
		[ $postgres_oid, $postgres_db, 4, 2 ]
	],
	'user, database, command type and row count of SELECT, INSERT, UPDATE and DELETE');

is($execute->{fields}[28], '23 25', 'a prepared statement lists its parameter types (int4, text)');
like($execute->{raw}, qr/,"23 25"\n\z/, 'the parameter types end the record in quotes');
is((grep { defined $_->{fields}[28] } @$text), 1, 'statements without parameters have no parameter field');
like($select->{raw}, qr/,\n\z/, 'a record without parameters ends with a comma and a line feed');

is((grep { ($_->{fields}[8] // '') !~ /^\d+\.\d{6}$/ } @$text, @$json),
	0, 'every duration has exactly six decimals');
is( (grep { my $f = $_->{fields}; grep { ($_ // '') !~ /^\d+$/ } @$f[ 9 .. 27 ] } @$text, @$json),
	0, 'row count, resource and buffer counters are plain numbers');
is( $node->safe_psql(
		'postgres',
		"SELECT '$select->{fields}[0]'::timestamptz <= '$select->{fields}[1]'::timestamptz
		    AND '$select->{fields}[1]'::timestamptz <= '$count1->{fields}[0]'::timestamptz"),
	't',
	'start and end times read as timestamps, in order');

# The buffer counters are the backend's totals, so they never fall, and a
# scan of the table raises the shared hits.
my $monotonic = 1;
for my $i (1 .. $#$text)
{
	for my $f (20 .. 27)
	{
		$monotonic = 0 if $text->[$i]{fields}[$f] < $text->[ $i - 1 ]{fields}[$f];
	}
}
ok($monotonic, 'buffer counters never decrease from one record to the next');
cmp_ok($count2->{fields}[22], '>', $count1->{fields}[22], 'a table scan raises the shared block hits');

like($count1->{fields}[7], qr/^Aggregate .*actual time=.*\n.*Seq Scan on t/s,
	'the text EXPLAIN has the plan with its measured times');
is((grep { ($_->{fields}[7] // "\n") =~ /\n\z/ } @$text), 0, 'no text EXPLAIN ends with a line feed');

# A plain EXPLAIN runs the executor start and end only.
is($explain->{fields}[6], q{EXPLAIN SELECT count(*) FROM t WHERE b = 'plain explain';},
	'a plain EXPLAIN is recorded');
is_deeply([ @{ $explain->{fields} }[ 5, 8, 9 ] ], [ 1, '0.000000', 0 ],
	'a plain EXPLAIN has duration 0 and no rows');
unlike($explain->{fields}[7], qr/actual time/, 'the EXPLAIN of a plain EXPLAIN has no measured times');

# Version 4.0: one JSON object per record.
my $json_ok = 1;
for my $r (@$json)
{
	my $plan = $r->{fields}[7] // '';
	my $decoded = eval { decode_json($plan) };
	$json_ok = 0
	  unless $plan =~ /^\{/ && $plan =~ /\}\z/ && ref $decoded eq 'HASH' && ref $decoded->{Plan} eq 'HASH';
}
ok($json_ok, 'every EXPLAIN of the version 4.0 trace is one JSON object holding the plan');
my $json_count = decode_json($json->[6]{fields}[7]);
is($json_count->{Plan}{'Node Type'}, 'Aggregate', 'the JSON plan is the plan of the statement');
ok(exists $json_count->{Plan}{'Actual Total Time'}, 'the JSON plan has the measured times');
unlike($text->[6]{fields}[7], qr/^\{/, 'the version 3.0 trace of the same backend keeps text EXPLAIN');

# --- Each statement's own text, times, usage and rows ---------------------

$s = session();
$spid = pid_of($s);
my $stmt_id = activate("'own statements'");
# Several statements in one string (psql's \; sends them in one message),
# and one statement with a comment, which stays as it was sent.  Of 1,000
# statements in one string, one follows a comment of 1 MB.
my $many = join(' \\; ', map { ($_ == 500 ? '/* ' . ('c' x 1_000_000) . ' */ ' : '') . "SELECT $_" } 1 .. 1000) . ';';
$s->query_safe("SELECT 'first' \\; SELECT 'second';");
$s->query_safe("/* hint */ SELECT 'alone';");
$s->query_safe($many);
# A statement whose function runs a statement of its own, and cursors that
# live across statements.
$s->query_safe('SELECT pg_sleep(0.1) IS NULL, sql_probe();');
$s->query_safe($_)
  foreach ('BEGIN;', 'DECLARE c CURSOR FOR SELECT a FROM t;', 'SELECT pg_sleep(0.1);', 'FETCH 3 FROM c;',
	'MOVE 5 IN c;', 'FETCH 4 FROM c;', 'CLOSE c;', 'COMMIT;', 'BEGIN;', 'DECLARE h CURSOR WITH HOLD FOR SELECT a FROM t WHERE a <= 5;',
	'FETCH 2 FROM h;', 'COMMIT;', 'FETCH 1 FROM h;', 'CLOSE h;');
# Time zones whose offsets the records must print as the server does; the
# last two are 26 hours apart, so that the date changes between them
# whatever the hour.
foreach my $zone ('UTC', 'Asia/Kolkata', 'America/St_Johns', 'Asia/Kathmandu', 'Europe/Berlin', 'Pacific/Kiritimati',
	'Etc/GMT+12')
{
	$s->query_safe("SET TimeZone = '$zone';");
	$s->query_safe("SELECT '$zone' AS zone;");
}
$s->quit;
deactivate_all();

my $own = records_of($stmt_id, $spid);
my %by_text;
push @{ $by_text{ $_->{fields}[6] // '' } }, $_ foreach @$own;
ok($by_text{q{SELECT 'first'}} && $by_text{q{SELECT 'second'}},
	'each statement of a multi-statement string is recorded with its own text');
ok($by_text{q{/* hint */ SELECT 'alone';}}, 'a string of one statement is recorded as it was sent');
is(scalar @{ $by_text{'SELECT 1000'} // [] }, 1, 'the last of 1,000 statements in a long string has its own text');
cmp_ok(-s trace_file($stmt_id, $spid), '<', 2_000_000, 'no record repeats the long string');

my ($outer) = @{ $by_text{'SELECT pg_sleep(0.1) IS NULL, sql_probe();'} };
my ($inner) = grep { $_->{fields}[6] =~ /sql body/ } @$own;
cmp_ok($outer->{fields}[18], '>=', 1,
	'a statement that ran a statement of its own counts its whole run (the sleep before it)');
is( $node->safe_psql('postgres',
		"SELECT '$inner->{fields}[0]'::timestamptz >= '$outer->{fields}[0]'::timestamptz + interval '100 ms'"),
	't', 'the inner statement has its own start, after the sleep');
my ($cursor) = @{ $by_text{'DECLARE c CURSOR FOR SELECT a FROM t;'} };
my ($sleep) = @{ $by_text{'SELECT pg_sleep(0.1);'} };
is( $node->safe_psql('postgres',
		"SELECT '$cursor->{fields}[0]'::timestamptz < '$sleep->{fields}[0]'::timestamptz"),
	't', 'a cursor\'s record carries the start of its own statement');
is($cursor->{fields}[9], 7, 'a cursor\'s rows are those of all its FETCHes, not those a MOVE skipped');
my ($held) = @{ $by_text{'DECLARE h CURSOR WITH HOLD FOR SELECT a FROM t WHERE a <= 5;'} // [] };
is($held->{fields}[9] // 'none', 2,
	'a cursor held past its transaction is recorded when it ends, with the rows it returned until then');

my $zones_ok = 1;
my @zoned = grep { ($_->{fields}[6] // '') =~ / AS zone;$/ } @$own;
foreach my $r (@zoned)
{
	my ($zone) = $r->{fields}[6] =~ /'(.*)'/;
	foreach my $time (@{ $r->{fields} }[ 0, 1 ])
	{
		# The same text as the server's, and the same instant as the first
		# zone's record (the statements ran within seconds).
		my $server = $node->safe_psql('postgres',
			"SET TimeZone = '$zone'; SET DateStyle = ISO; SELECT '$time'::timestamptz::text,
			   abs(extract(epoch FROM '$time'::timestamptz - '$zoned[0]{fields}[0]'::timestamptz)) < 60");
		$zones_ok = 0, diag("$zone: $time written, $server by the server") if $server ne "$time|t";
	}
}
ok(@zoned == 7 && $zones_ok, 'times are written as the server prints them, in the session\'s time zone');

# --- Command types and plans without node timing ---------------------------

$s = session();
$spid = pid_of($s);
my $types_id = activate("'types'", 'SET vireo.explain_timing = off;');
my $merge = $node->safe_psql('postgres', 'SHOW server_version_num') >= 150000;    # MERGE came in 15
$s->query_safe($_)
  foreach ('SELECT count(*) FROM t;', "UPDATE t SET b = b WHERE a = 1;", "INSERT INTO t VALUES (2001, 'm');",
	'DELETE FROM t WHERE a = 2001;', 'SELECT pg_sleep(0.05);',
	$merge ? "MERGE INTO t USING (SELECT 1 AS k) s ON t.a = s.k WHEN MATCHED THEN UPDATE SET b = b;" : ());
$s->quit;
deactivate_all();
my $typed = records_of($types_id, $spid);
is_deeply([ map { $_->{fields}[5] } @$typed ], [ 1, 2, 3, 4, 1, $merge ? (7) : () ],
	'command types: 1 select, 2 update, 3 insert, 4 delete' . ($merge ? ', 7 merge' : ''));
like($typed->[0]{fields}[7], qr/actual rows=[\d.]+ loops=\d+/, 'a trace without node timing has actual rows');
is((grep { $_->{fields}[7] =~ /actual time/ } @$typed), 0, 'and no node times');
cmp_ok($typed->[4]{fields}[8], '>=', 50, 'the statement\'s duration is measured all the same');

# --- Users and databases -------------------------------------------------

# A trace of alice in database other, and alice's own trace (a plain user
# traces only himself).
my %sessions = (
	'alice in postgres' => session('alice', 'postgres'),
	'alice in other' => session('alice', 'other'),
	'bob in postgres' => session('bob', 'postgres'),
	'postgres in other' => session('postgres', 'other'));
my %pids = map { $_ => pid_of($sessions{$_}) } keys %sessions;

my $filtered_id = activate("'filtered', ARRAY[$alice_oid]::oid[], ARRAY[$other_db]::oid[]");
my $own_id = $node->safe_psql('postgres', "SELECT vr_activate('own')", extra_params => [ '-U', 'alice' ]);
like($own_id, qr/^\d{20}$/, 'a plain user activates his own trace');

foreach my $name (sort keys %sessions)
{
	$sessions{$name}->query_safe("SELECT 'filter probe';");
	$sessions{$name}->quit;
}
deactivate_all();

my %expected = (
	$filtered_id => { 'alice in other' => 1 },
	$own_id => { 'alice in postgres' => 1, 'alice in other' => 1 });
foreach my $id ($filtered_id, $own_id)
{
	my %found;
	foreach my $name (keys %pids)
	{
		my $file = trace_file($id, $pids{$name});
		$found{$name} = scalar @{ records_of($id, $pids{$name}) } if -e $file;
	}
	is_deeply(\%found, $expected{$id},
		($id eq $own_id ? 'own trace' : 'users and databases lists') . ': only matching sessions have data files');
}
my $in_other = records_of($filtered_id, $pids{'alice in other'});
is_deeply([ @{ $in_other->[-1]{fields} }[ 3, 4 ] ], [ $alice_oid, $other_db ],
	'the records carry the user and database of the session');

# --- The user of each statement ------------------------------------------

# Alice's own trace holds alice's statements only, in whatever backend: the
# user who starts a statement decides, statement by statement.  Here bob
# makes his backend take up alice's trace through a function of hers that
# starts it, and a DBA's session turns into alice for a while.
$node->safe_psql(
	'postgres', q{
CREATE FUNCTION alice_traces_herself() RETURNS int LANGUAGE sql SECURITY DEFINER AS $$
	SELECT vr_activate('alice by definer');
	SELECT 1;
$$;
ALTER FUNCTION alice_traces_herself() OWNER TO alice;
});
my $b = session('bob');
my $bpid = pid_of($b);
$b->query_safe('SELECT alice_traces_herself();');
$b->query_safe("SELECT 'bob after the definer';");
my $d = session();
my $dpid = pid_of($d);
$d->query_safe($_)
  foreach ("SELECT 'dba before';", 'SET ROLE alice;', "SELECT 'dba as alice';", 'RESET ROLE;',
	"SELECT 'dba after the reset';");
$b->quit;
$d->quit;
my $definer_id =
  $node->safe_psql('postgres', "SELECT trace_id FROM vr_traces_list() WHERE comments = 'alice by definer'");
deactivate_all();
is_deeply([ grep { /bob after/ } @{ queries_of(records_of($definer_id, $bpid)) } ],
	[], 'statements of another user are not recorded into a plain user\'s trace');
is_deeply(queries_of(records_of($definer_id, $dpid)), ["SELECT 'dba as alice';"],
	'a session records into it exactly while it runs as that user');

# --- Duration threshold --------------------------------------------------

$s = session();
$spid = pid_of($s);
my $slow_id = activate("'slow', NULL, NULL, NULL, 100");
my $all_id = activate("'all'");
$s->query_safe("SELECT 'fast probe';");
$s->query_safe('SELECT pg_sleep(0.2);');
$s->quit;
deactivate_all();

my $slow = records_of($slow_id, $spid);
is_deeply(queries_of($slow), ['SELECT pg_sleep(0.2);'], 'a trace with a threshold records only slow statements');
cmp_ok($slow->[0]{fields}[8], '>=', 100, 'the recorded statement lasted at least the threshold');
is_deeply(
	queries_of(records_of($all_id, $spid)),
	[ "SELECT 'fast probe';", 'SELECT pg_sleep(0.2);' ],
	'a trace without threshold in the same backend records both');

# --- Which statements are recorded ----------------------------------------

$s = session();
$spid = pid_of($s);
my $dest_id = activate("'destinations'");
$s->query_safe($_) foreach (
	'SELECT plpgsql_probe();',
	'SELECT sql_probe();',
	'SELECT * FROM return_query_probe();',
	"COPY (SELECT 'copy probe') TO STDOUT;",
	'REFRESH MATERIALIZED VIEW mv;',
	'CALL loop_probe();',
	'BEGIN;', 'SELECT refcursor_probe();', 'COMMIT;',
	'SELECT atomic_probe(7);',
	"SELECT 'last probe';");
$s->quit;
deactivate_all();

my $recorded = records_of($dest_id, $spid);
is_deeply(
	queries_of($recorded),
	[
		'SELECT plpgsql_probe();',
		q{SELECT count(*) FROM t WHERE b <> 'sql body'},
		'SELECT sql_probe();',
		'SELECT * FROM return_query_probe();',
		'SELECT refcursor_probe();',
		'SQL function "atomic_probe" statement 1',
		'SQL function "atomic_probe" statement 2',
		'SELECT atomic_probe(7);',
		q{SELECT 'last probe';}
	],
	'only statements whose results go to the client or the calling statement are recorded: '
	  . 'SQL function bodies, each statement of a BEGIN ATOMIC body under its own name; '
	  . 'not SPI statements, RETURN QUERY, a procedure\'s loop kept past its COMMIT, '
	  . 'a cursor never fetched, COPY TO or materialized view filling'
);

# --- JIT -------------------------------------------------------------------

# The plan holds the JIT section where EXPLAIN (ANALYZE) prints it: the time
# JIT compilation took is no plan node's.
SKIP:
{
	skip 'this server has no JIT (built without LLVM)', 2
	  unless $node->safe_psql('postgres', 'SELECT pg_jit_available()') eq 't';
	$s = session();
	$spid = pid_of($s);
	my $jit_text = activate("'jit text'");
	my $jit_json = activate("'jit json'", 'SET vireo.explain_format = json;');
	$s->query_safe('SET jit_above_cost = 0; SET jit_inline_above_cost = 0; SET jit_optimize_above_cost = 0;');
	$s->query_safe('SELECT sum(a) FROM t;');
	$s->quit;
	deactivate_all();
	my ($text_jit) = grep { $_->{fields}[6] eq 'SELECT sum(a) FROM t;' } @{ records_of($jit_text, $spid) };
	like(($text_jit // {})->{fields}[7], qr/\nJIT:\n  Functions: \d+\n  Options: Inlining true, .*\n  Timing: Generation [\d.]+ ms/,
		'a text plan ends with the JIT section');
	my ($json_jit) = grep { $_->{fields}[6] eq 'SELECT sum(a) FROM t;' } @{ records_of($jit_json, $spid) };
	my $plan = eval { decode_json(($json_jit // {})->{fields}[7] // '') } // {};
	ok($plan->{JIT}{Functions} && exists $plan->{JIT}{Timing} && $plan->{Plan},
		'a JSON plan holds the JIT key beside the plan');
}

done_testing();
