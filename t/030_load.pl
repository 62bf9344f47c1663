# vr_load_trace end to end: traces recorded by sessions of several users in
# two databases, loaded into the analysis tables of another session while the
# traces keep growing; who may load a trace; the module's own statements stay
# out of every trace.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoCompat;

my $node = PostgreSQL::Test::Cluster->new('load');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$node->start;
$node->safe_psql(
	'postgres', q{
	CREATE EXTENSION vireo;
	CREATE ROLE alice LOGIN;
	CREATE ROLE bob LOGIN;
	CREATE ROLE carol LOGIN IN ROLE vireo_admin;
	CREATE ROLE loader LOGIN SUPERUSER;
	GRANT CREATE ON SCHEMA public TO alice;
	CREATE DATABASE otherdb;
});
my ($alice_oid, $bob_oid, $postgres_db, $other_db) = split /\|/, $node->safe_psql(
	'postgres', q{
	SELECT 'alice'::regrole::oid, 'bob'::regrole::oid,
	       (SELECT oid FROM pg_database WHERE datname = 'postgres'),
	       (SELECT oid FROM pg_database WHERE datname = 'otherdb')});
my $traces = $node->data_dir . '/traces';

# "pid|size" of every non-empty data file of a trace, as the position rows
# must hold them once everything is loaded.
sub file_positions
{
	my ($id) = @_;
	opendir(my $dh, "$traces/$id") or die "opendir $traces/$id: $!";
	my @rows;
	for my $name (readdir $dh)
	{
		next unless $name =~ /^trace-(\d+)\.csv$/;
		my $size = -s "$traces/$id/$name";
		push @rows, [ $1, $size ] if $size;
	}
	closedir $dh;
	return join("\n", map { "$_->[0]|$_->[1]" } sort { $a->[0] <=> $b->[0] } @rows);
}

sub as_user
{
	my ($db, $user, $sql) = @_;
	return $node->safe_psql($db, $sql, extra_params => [ '-U', $user ]);
}

# The workload: alice in one session of database postgres, bob in several
# short sessions of otherdb and postgres.  The superuser that activates and
# loads is not traced.
my $t1 = $node->safe_psql('postgres',
	"SELECT vr_activate('workload', ARRAY[$alice_oid, $bob_oid]::oid[])");

my $alice = $node->background_psql('postgres', extra_params => [ '-U', 'alice' ]);
$alice->query_safe("SET application_name = 'alice_app'");
my $alice_pid = $alice->query_safe('SELECT pg_backend_pid();');
$alice->query_safe('CREATE TABLE t_alice(a int);');
$alice->query_safe('INSERT INTO t_alice SELECT generate_series(1, 10);');
$alice->query_safe('UPDATE t_alice SET a = a + 1 WHERE a <= 3;');
$alice->query_safe('DELETE FROM t_alice WHERE a > 8;');
$alice->query_safe('SELECT count(*) FROM t_alice;');

as_user('otherdb', 'bob', 'SELECT 42 AS answer;');
as_user('otherdb', 'bob', 'SELECT 42 AS answer;');
as_user('otherdb', 'bob', 'SELECT pg_sleep(0.2);');
as_user('postgres', 'bob',
	'PREPARE two(int4, text) AS SELECT $1 + 1, length($2); EXECUTE two(1, \'x\');');

my $loader = $node->background_psql('postgres');
is($loader->query_safe("SELECT vr_load_trace('$t1');"), 't', 'the first load finds records');

is( $loader->query_safe(
		'SELECT query, count(*) FROM _vr_tmp_view_data GROUP BY query ORDER BY query;'),
	join("\n",
		'DELETE FROM t_alice WHERE a > 8;|1',
		'INSERT INTO t_alice SELECT generate_series(1, 10);|1',
		'PREPARE two(int4, text) AS SELECT $1 + 1, length($2);|1',
		'SELECT 42 AS answer;|2',
		'SELECT count(*) FROM t_alice;|1',
		'SELECT pg_backend_pid();|1',
		'SELECT pg_sleep(0.2);|1',
		'UPDATE t_alice SET a = a + 1 WHERE a <= 3;|1'),
	'every executed statement was loaded once, utility statements not at all');

is( $loader->query_safe(
		"SELECT query_type, rows_updated, user_id = $alice_oid, db_id = $postgres_db,
		        appl_name, pid = $alice_pid, start_time <= end_time
		   FROM _vr_tmp_view_data WHERE user_id = $alice_oid ORDER BY start_time;"),
	join("\n",
		'1|1|t|t|alice_app|t|t', '3|10|t|t|alice_app|t|t',
		'2|3|t|t|alice_app|t|t', '4|2|t|t|alice_app|t|t',
		'1|1|t|t|alice_app|t|t'),
	"alice's statements carry her user, database, application, process and row counts");

like(
	$loader->query_safe(
		"SELECT explain FROM _vr_tmp_view_data WHERE query = 'SELECT count(*) FROM t_alice;';"),
	qr/^Aggregate .*\n.*Seq Scan on t_alice/s,
	'the plan of the statement is loaded');
like(
	$loader->query_safe(
		"SELECT explain FROM _vr_tmp_view_data WHERE query LIKE 'UPDATE t_alice%';"),
	qr/^Update on t_alice/, 'each record keeps its own plan');

is( $loader->query_safe(
		"SELECT user_id = $bob_oid, db_id = $other_db, duration >= 200,
		        end_time - start_time >= interval '200 ms'
		   FROM _vr_tmp_view_data WHERE query = 'SELECT pg_sleep(0.2);';"),
	't|t|t|t',
	"bob's statement in otherdb carries his user, that database and its duration");

is( $loader->query_safe(
		"SELECT bool_and(num_nonnulls(fs_in, fs_out, page_faults, page_reclaims, swaps,
		            sign_recv, msg_recv, msg_snd, vol_contx_switch, invol_contx_switch,
		            shared_blk_read, shared_blk_written, shared_blk_hit, local_blk_read,
		            local_blk_written, local_blk_hit, tmp_blk_read, tmp_blk_written) = 18),
		        bool_and(least(fs_in, fs_out, page_faults, page_reclaims, swaps, sign_recv,
		            msg_recv, msg_snd, vol_contx_switch, invol_contx_switch) >= 0),
		        bool_and(shared_blk_hit + shared_blk_read > 0)
		   FROM _vr_tmp_view_data;"),
	't|t|t',
	'resource and buffer counters are loaded for every record');

is( $loader->query_safe(
		"SELECT user_id = $bob_oid, db_id = $postgres_db, params, paramsarr IS NULL
		   FROM _vr_tmp_view_data WHERE query LIKE 'PREPARE two%';"),
	't|t|23 25|t',
	'the parameter types of an executed prepared statement load as params');

is( $loader->query_safe(
		"SELECT count(DISTINCT query_id), count(*), count(DISTINCT pid)
		   FROM _vr_tmp_view_data WHERE query = 'SELECT 42 AS answer;';"),
	'1|2|2',
	'identical texts of two sessions share one query id');
is( $loader->query_safe(
		'SELECT count(*) = count(DISTINCT query), count(*) = count(DISTINCT query_id),
		        (SELECT count(*) FROM _vr_tmp_tbl_vireo) = (SELECT count(*) FROM _vr_tmp_view_data)
		   FROM _vr_tmp_tbl_query;'),
	't|t|t',
	'after folding, one query row per text and per id, and every profile row has one');

is($loader->query_safe('SELECT id, trace FROM _vr_tmp_tbl_traces;'),
	"1|$t1", 'the first trace of the session has number 1');
is($loader->query_safe('SELECT pid, pos FROM _vr_tmp_tbl_prev_succ_load ORDER BY pid;'),
	file_positions($t1), 'one position per data file, at its end');
ok( $loader->query_safe('SELECT count(DISTINCT trace_id) = 1 AND min(trace_id) = 1
		FROM _vr_tmp_tbl_prev_succ_load;') eq 't',
	'the positions belong to trace number 1');

# Nothing new: nothing inserted, nothing saved.
my $profile_count = $loader->query_safe('SELECT count(*) FROM _vr_tmp_tbl_vireo;');
my $positions = $loader->query_safe('SELECT pid, pos FROM _vr_tmp_tbl_prev_succ_load ORDER BY pid;');
is($loader->query_safe("SELECT vr_load_trace('$t1');"), 'f', 'a load without new records returns false');
is($loader->query_safe('SELECT count(*) FROM _vr_tmp_tbl_vireo;'), $profile_count, '... and inserts nothing');
is($loader->query_safe('SELECT pid, pos FROM _vr_tmp_tbl_prev_succ_load ORDER BY pid;'),
	$positions, '... and leaves the positions');

# A record appended to a file already read arrives with the next load, and
# the position row of that file moves.
$alice->query_safe("SELECT 'second batch';");
is($loader->query_safe("SELECT vr_load_trace('$t1');"), 't', 'appended records are found');
is( $loader->query_safe(
		"SELECT count(*), min(pid) = $alice_pid FROM _vr_tmp_view_data
		  WHERE query = 'SELECT ''second batch'';';"),
	'1|t',
	'the appended record is loaded once');
is($loader->query_safe('SELECT count(*) FROM _vr_tmp_tbl_vireo;'),
	$profile_count + 1, 'only the appended record is added');
is($loader->query_safe('SELECT pid, pos FROM _vr_tmp_tbl_prev_succ_load ORDER BY pid;'),
	file_positions($t1), 'the position row of the file is updated, not duplicated');

# A second trace gets number 2; loading the first again keeps its number.
my $t2 = $node->safe_psql('postgres', "SELECT vr_activate('second', ARRAY[$alice_oid]::oid[])");
$alice->query_safe("SELECT 'in both traces';");
is($loader->query_safe("SELECT vr_load_trace('$t2');"), 't', 'the second trace loads');
is($loader->query_safe("SELECT trace_id, query FROM _vr_tmp_view_data WHERE trace_id = 2;"),
	"2|SELECT 'in both traces';", 'its rows carry trace number 2');
is($loader->query_safe("SELECT vr_load_trace('$t1');"), 't', 'the first trace loads again');
is($loader->query_safe('SELECT id, trace FROM _vr_tmp_tbl_traces ORDER BY id;'),
	"1|$t1\n2|$t2", 'trace numbers 1 and 2, one row each');
is( $loader->query_safe(
		"SELECT string_agg(trace_id::text, ',' ORDER BY trace_id), count(DISTINCT query_id)
		   FROM _vr_tmp_view_data WHERE query = 'SELECT ''in both traces'';';"),
	'1,2|1',
	'the same text in two traces is folded onto one query id');

# Reload: the trace's rows are replaced by one fresh copy of every record,
# the trace keeps its number, the other trace is untouched.
my $fingerprint = q{SELECT string_agg(concat_ws('/', trace_id, pid, start_time, query, rows_updated),
	E'\n' ORDER BY trace_id, pid, start_time) FROM _vr_tmp_view_data;};
my $before = $loader->query_safe($fingerprint);
is($loader->query_safe("SELECT vr_load_trace('$t1', true);"), 't', 'a reload finds records');
is($loader->query_safe($fingerprint), $before, 'a reload leaves the same rows, no duplicates');
is($loader->query_safe('SELECT id, trace FROM _vr_tmp_tbl_traces ORDER BY id;'),
	"1|$t1\n2|$t2", 'a reload keeps the trace number');
is( $loader->query_safe(
		'SELECT pid, pos FROM _vr_tmp_tbl_prev_succ_load WHERE trace_id = 1 ORDER BY pid;'),
	file_positions($t1), 'a reload saves the positions anew');
is( $loader->query_safe(
		'SELECT count(*) = count(DISTINCT query), count(*) = count(DISTINCT query_id)
		   FROM _vr_tmp_tbl_query;'),
	't|t', 'the reloaded texts are folded onto the query rows already there');

# The cut-off: a statement that starts after the loading statement began is
# left for the next call, even though its record is already in the file.
my $alice_pos_sql =
  "SELECT pos FROM _vr_tmp_tbl_prev_succ_load WHERE trace_id = 1 AND pid = $alice_pid;";
my $alice_pos = $loader->query_safe($alice_pos_sql);
my $holder = $node->background_psql('postgres');
$holder->query_safe('SELECT pg_advisory_lock(4242);');
$loader->query_until(qr/waiting/,
	"\\echo waiting\nSELECT pg_advisory_lock(4242) IS NOT NULL, vr_load_trace('$t1');\n");
$node->poll_query_until('postgres',
	"SELECT count(*) = 1 FROM pg_locks WHERE locktype = 'advisory' AND NOT granted;");
$alice->query_safe("SELECT 'after the load began';");
$holder->query_safe('SELECT pg_advisory_unlock(4242);');
like($loader->query_until(qr/^t\|[tf]$/m, ''), qr/^t\|f$/m,
	'a load that began before the only new record finds nothing');
my $late_rows =
  "SELECT count(*) FROM _vr_tmp_view_data WHERE query = 'SELECT ''after the load began'';';";
is($loader->query_safe($late_rows), '0', 'the later record is not loaded');
is($loader->query_safe($alice_pos_sql), $alice_pos, 'the position stays before it');
ok($alice_pos < -s "$traces/$t1/trace-$alice_pid.csv", 'the record is in the file');
is($loader->query_safe("SELECT vr_load_trace('$t1');"), 't', 'the next load finds it');
is($loader->query_safe($late_rows), '1', 'the later record is loaded then');
is($loader->query_safe('SELECT pid, pos FROM _vr_tmp_tbl_prev_succ_load WHERE trace_id = 1 ORDER BY pid;'),
	file_positions($t1), 'every file is read to its end');
$holder->quit;

# Only the owner and superusers load a trace; membership in vireo_admin does
# not count.
my $ta = $alice->query_safe("SELECT vr_activate('alice alone');");
$alice->query_safe("SELECT 'alice traced herself';");
is($alice->query_safe("SELECT vr_load_trace('$ta');"), 't', 'the owner loads her trace');
is( $alice->query_safe(
		"SELECT user_id = $alice_oid FROM _vr_tmp_view_data WHERE query = 'SELECT ''alice traced herself'';';"),
	't', "... with her statement in it");
# Reading the records as rows follows the same rules, with the same error.
is( $alice->query_safe("SELECT count(*) FROM vr_trace_records('$ta') WHERE user_id = $alice_oid
		AND query = 'SELECT ''alice traced herself'';';"),
	'1', 'the owner reads her records as rows');
for my $other ('bob', 'carol')
{
	for my $call ("vr_load_trace('$ta')", "count(*) FROM vr_trace_records('$ta')")
	{
		my ($rc, $out, $err) = $node->psql('postgres', "\\set VERBOSITY verbose\nSELECT $call;",
			extra_params => [ '-U', $other ]);
		like(
			$err,
			qr/ERROR:  42501: Trace \($ta\) is not intiated by this user\. Only the super-user or the user who intiated the trace can load it\./,
			"$other may not call $call on alice's trace");
	}
}
is($node->safe_psql('postgres', "SELECT vr_load_trace('$ta');"), 't', 'a superuser loads it');

# A trace recorded with JSON plans loads only in a session that asks for JSON.
my $tj = $node->safe_psql('postgres',
	"SET vireo.explain_format = json; SELECT vr_activate('json plans', ARRAY[$bob_oid]::oid[]);");
as_user('postgres', 'bob', 'SELECT 7 AS json_marker;');
my ($rc, $out, $err) =
  $node->psql('postgres', "\\set VERBOSITY verbose\nSELECT vr_load_trace('$tj');");
like($err, qr/ERROR:  55000: Could not load the trace '$tj'\./,
	'a text session cannot load a JSON trace');
is( $node->safe_psql(
		'postgres', "SET vireo.explain_format = json;
		SELECT vr_load_trace('$tj');
		SELECT explain ~ '^\\{.*\"Node Type\": \"Result\".*\\}\$'
		  FROM _vr_tmp_view_data WHERE query = 'SELECT 7 AS json_marker;';"),
	"t\nt", 'a JSON session loads it, with the plan as one JSON object');
# Every release with MERGE prints invalid JSON for a MERGE into a partitioned
# table (its "Tuples" fields inside the "Target Tables" array).  vr_is_json
# tells those plans apart exactly as a cast to json does, and the README's
# query over the trace runs with it.
my $has_merge = $node->safe_psql('postgres', 'SHOW server_version_num') >= 150000;
if ($has_merge)
{
	$node->safe_psql('postgres', q{
		CREATE TABLE parted (a int, b int) PARTITION BY RANGE (a);
		CREATE TABLE parted_1 PARTITION OF parted FOR VALUES FROM (0) TO (10);
		CREATE TABLE parted_2 PARTITION OF parted FOR VALUES FROM (10) TO (20);
		GRANT ALL ON parted TO bob;});
	as_user('postgres', 'bob',
		'MERGE INTO parted USING generate_series(1, 15) g ON parted.a = g
		   WHEN MATCHED THEN UPDATE SET b = g WHEN NOT MATCHED THEN INSERT VALUES (g, g);');
}
is( $node->safe_psql(
		'postgres', q{SET vireo.explain_format = json;
		CREATE FUNCTION pg_temp.casts(t text) RETURNS bool LANGUAGE plpgsql AS
		  $$ BEGIN PERFORM t::json; RETURN true; EXCEPTION WHEN others THEN RETURN false; END $$;
		SELECT vr_load_trace('} . $tj . q{');
		SELECT count(*) FILTER (WHERE vr_is_json(explain) <> pg_temp.casts(explain)),
		       count(*) FILTER (WHERE NOT vr_is_json(explain) AND query_type = 7),
		       count(*) FILTER (WHERE query_type = 7)
		  FROM _vr_tmp_tbl_vireo;
		SELECT explain::json -> 'Plan' ->> 'Node Type' AS top_node, count(*)
		  FROM _vr_tmp_tbl_vireo WHERE vr_is_json(explain) GROUP BY 1 ORDER BY 2 DESC;}),
	$has_merge ? "t\n0|1|1\nResult|1" : "t\n0|0|0\nResult|1",
	'vr_is_json agrees with the cast, and passes over the invalid plan of a MERGE');
$node->safe_psql('postgres', "SELECT vr_deactivate('$tj');");

# The module's own statements are never recorded, not even those that create
# the analysis schema in a session that a trace covers.
my $t3 = $node->safe_psql('postgres',
	"SELECT vr_activate('own statements', ARRAY['loader'::regrole::oid]);");
my $own = $node->background_psql('postgres', extra_params => [ '-U', 'loader' ]);
$own->query_safe("SELECT 'before the first load';");
is($own->query_safe("SELECT vr_load_trace('$t3');"), 't', 'the first load in a traced session');
is($own->query_safe("SELECT vr_load_trace('$t3');"), 't', 'the second load finds the first one');
my $written = '';
for my $file (glob "$traces/$t3/trace-*.csv")
{
	$written .= slurp_file($file);
}
like($written, qr/before the first load/, 'the session is recorded');
unlike($written, qr/_vr_tmp_/, 'no internal statement is in the data files');
is( $own->query_safe(
		"SELECT string_agg(query, E'\\n' ORDER BY query) FROM _vr_tmp_view_data
		  WHERE trace_id = (SELECT id FROM _vr_tmp_tbl_traces WHERE trace = '$t3');"),
	"SELECT 'before the first load';\nSELECT vr_load_trace('$t3');",
	'the trace holds the statement before the loads and the first load, nothing else');
$own->quit;

# Texts keep the bytes of the database that ran the statement; loaded, they
# are converted into the loading database's encoding, and what cannot be
# converted (or comes from a database whose encoding is unknown) is
# replaced.  The same for trace comments in the listing.
$node->safe_psql('postgres',
	"CREATE DATABASE $_->[0] ENCODING '$_->[1]' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0")
  for ([ 'latin1db', 'LATIN1' ], [ 'asciidb', 'SQL_ASCII' ], [ 'utf8db', 'UTF8' ],
	[ 'latin2db', 'LATIN2' ], [ 'eucjpdb', 'EUC_JP' ]);
$node->safe_psql($_, 'CREATE EXTENSION vireo') for qw(asciidb utf8db latin1db);
my $te = $node->safe_psql('asciidb', "SELECT vr_activate(E'bad \\xff byte', ARRAY[$bob_oid])");
as_user('latin1db', 'bob', "SET client_encoding = 'LATIN1'; SELECT 'caf\xe9' AS latin1;");
as_user('asciidb', 'bob', "SELECT 'x\xffy' AS ascii;");
as_user('utf8db', 'bob', "SET client_encoding = 'UTF8'; SELECT '\xe2\x82\xac \xc3\xa9' AS utf8;");
# The server converts neither of these directly into LATIN1.
as_user('latin2db', 'bob', "SET client_encoding = 'UTF8'; SELECT '\xc5\x82 \xc5\x91 \xc3\xa9' AS latin2;");
as_user('eucjpdb', 'bob', "SET client_encoding = 'UTF8'; SELECT '\xe6\x97\xa5\xe6\x9c\xac' AS eucjp;");
$node->safe_psql('postgres', "SELECT vr_deactivate('$te')");
my $fffd = q{U&'\FFFD'};
is( $node->safe_psql(
		'utf8db', qq{SELECT vr_load_trace('$te');
		SELECT string_agg((query = U&'SELECT ''caf\\00e9'' AS latin1;')::text
		    || (query = 'SELECT ''x' || $fffd || 'y'' AS ascii;')::text, ',' ORDER BY query)
		  FROM _vr_tmp_view_data WHERE query LIKE '%AS latin1;' OR query LIKE '%AS ascii;';
		SELECT comments = 'bad ' || $fffd || ' byte' FROM vr_traces_list() WHERE trace_id = '$te';}),
	"t\ntruefalse,falsetrue\nt",
	'LATIN1 text is converted, an invalid byte replaced, in records and comments');
is( $node->safe_psql(
		'latin1db', "SELECT vr_load_trace('$te');
		SELECT query = 'SELECT ''? ' || chr(233) || ''' AS utf8;' FROM _vr_tmp_view_data
		 WHERE query LIKE '%utf8%';"),
	"t\nt", 'a character without an equivalent in the loading encoding is replaced');
is( $node->safe_psql(
		'latin1db', "SELECT vr_load_trace('$te');
		SELECT string_agg(query, ' ' ORDER BY query) = 'SELECT ''? ? ' || chr(233) || ''' AS latin2; '
		  || 'SELECT ''??'' AS eucjp;'
		  FROM _vr_tmp_view_data WHERE query LIKE '%AS eucjp;' OR query LIKE '%AS latin2;';"),
	"t\nt", 'texts of encodings without a direct conversion are converted through UTF8');
is( $node->safe_psql(
		'utf8db', qq{SELECT vr_load_trace('$te');
		SELECT string_agg(query, ' ' ORDER BY query) = U&'SELECT ''\\0142 \\0151 \\00e9'' AS latin2; '
		  || U&'SELECT ''\\65e5\\672c'' AS eucjp;'
		  FROM _vr_tmp_view_data WHERE query LIKE '%AS eucjp;' OR query LIKE '%AS latin2;';}),
	"t\nt", 'and converted directly into UTF8');
$node->safe_psql('postgres', 'DROP DATABASE latin1db');
is( $node->safe_psql(
		'utf8db', qq{SELECT vr_load_trace('$te');
		SELECT query = 'SELECT ''caf' || $fffd || ''' AS latin1;' FROM _vr_tmp_view_data
		 WHERE query LIKE '%latin1%';}),
	"t\nt", 'the text of a dropped database is only checked');

# Objects planted in a schema of the caller's search path never run in a
# load: a table that takes the place of an analysis table, an aggregate and
# an operator that are better matches than the system's.  Each would make
# its owner superuser when a superuser loads.
$node->safe_psql('postgres', 'CREATE DATABASE hijackdb');
$node->safe_psql('hijackdb', 'CREATE EXTENSION vireo; GRANT CREATE ON SCHEMA public TO alice;');
as_user(
	'hijackdb', 'alice', q{
	CREATE TABLE public.hijacked(what text);
	GRANT INSERT ON public.hijacked TO PUBLIC;
	CREATE FUNCTION public.own(what text) RETURNS void LANGUAGE plpgsql AS $$
	BEGIN
	  INSERT INTO public.hijacked VALUES (what);
	  IF (SELECT rolsuper FROM pg_roles WHERE rolname = current_user) THEN
	    ALTER ROLE alice SUPERUSER;
	  END IF;
	END $$;
	CREATE TABLE public._vr_tmp_tbl_traces (id int4, trace varchar(20));
	CREATE FUNCTION public.on_insert() RETURNS trigger LANGUAGE plpgsql AS
	  $$ BEGIN PERFORM public.own('trigger'); RETURN NEW; END $$;
	CREATE TRIGGER hijack BEFORE INSERT ON public._vr_tmp_tbl_traces
	  FOR EACH ROW EXECUTE FUNCTION public.on_insert();
	CREATE FUNCTION public.count_step(bigint, bigint) RETURNS bigint LANGUAGE plpgsql AS
	  $$ BEGIN PERFORM public.own('aggregate'); RETURN $1 + 1; END $$;
	CREATE AGGREGATE public.count(bigint) (sfunc = public.count_step, stype = bigint, initcond = '0');
	CREATE FUNCTION public.eq(varchar, varchar) RETURNS bool LANGUAGE plpgsql AS
	  $$ BEGIN PERFORM public.own('operator'); RETURN $1::text = $2::text; END $$;
	CREATE OPERATOR public.= (leftarg = varchar, rightarg = varchar, function = public.eq);});
is( as_user('hijackdb', 'loader',
		"SET search_path = public, pg_temp; SELECT vr_load_trace('$t1'); SELECT vr_load_trace('$t2');"),
	"t\nt", 'a superuser loads with the planted table first on his search path');
is(as_user('hijackdb', 'loader', "SELECT vr_load_trace('$t1'); SELECT vr_load_trace('$t2');"),
	"t\nt", 'and with the planted aggregate and operator on it');
is( $node->safe_psql('hijackdb',
		q{SELECT count(*) FROM public.hijacked; SELECT rolsuper FROM pg_roles WHERE rolname = 'alice';}),
	"0\nf", 'none of them ran');

$alice->quit;
$loader->quit;
$node->stop;
done_testing();
