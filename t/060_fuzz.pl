# Hostile trace files: rounds of mutated trace directories written by
# scripts/fuzz-traces (truncated, binary, NUL bytes, huge fields, unbalanced
# quotes, masses of separators, endless lines, odd numbers and times), each
# listed, loaded under both explain formats, and removed.  Every call must
# return or raise a clean error; the server must never crash or hang.
#
# The seed is fixed so that a failure can be replayed; VIREO_FUZZ_SEED and
# VIREO_FUZZ_ROUNDS (250 traces each) override it for longer runs.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use File::Copy;
use File::Path qw(make_path rmtree);
use File::Basename;

my $seed = $ENV{VIREO_FUZZ_SEED} // 20240506;
my $rounds = $ENV{VIREO_FUZZ_ROUNDS} // 20;
my $per_round = 250;
my $fuzzer = dirname(__FILE__) . '/../scripts/fuzz-traces';

my $node = PostgreSQL::Test::Cluster->new('fuzz');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$node->start;
my $traces = $node->data_dir . '/traces';
my $tempdir = PostgreSQL::Test::Utils::tempdir;

$node->safe_psql(
	'postgres', q{
CREATE EXTENSION vireo;
ALTER ROLE postgres SET vireo.enabled = off;
CREATE ROLE rec LOGIN;
CREATE TABLE t(a int, b text);
GRANT ALL ON t TO rec;
CREATE TABLE fuzz_outcome(call text, state text, message text);
});

# Seeds: real traces, text and JSON, of statements with quotes, commas, line
# feeds and parameters.
my %corpus;
foreach my $format ('text', 'json')
{
	my $id = $node->safe_psql('postgres',
		"SET vireo.explain_format = $format; SELECT vr_activate('seed', ARRAY['rec'::regrole::oid])");
	$node->safe_psql(
		'postgres', q{
SET application_name = 'fuzz "seed", app';
INSERT INTO t SELECT g, 'row ' || g FROM generate_series(1, 50) g;
SELECT a, b, ',"' FROM t
WHERE a < 3;
PREPARE p(int, text) AS SELECT count(*) FROM t WHERE a = $1 OR b = $2;
EXECUTE p(1, 'x');
UPDATE t SET b = b || '"' WHERE a = 2;
WITH d AS (DELETE FROM t WHERE a > 45 RETURNING *) SELECT count(*) FROM d;
},
		connstr => $node->connstr('postgres') . ' user=rec');
	$node->safe_psql('postgres', "SELECT vr_deactivate('$id')");
	$corpus{$format} = "$tempdir/corpus_$format";
	make_path($corpus{$format});
	copy("$traces/$id/$_", "$corpus{$format}/$_") or die "copy: $!"
		foreach grep { !/^\./ } map { basename($_) } glob("$traces/$id/*");
}

my $cases = 0;
for my $round (1 .. $rounds)
{
	rmtree($traces);
	my ($written, $fuzz_err) =
	  run_command([ 'perl', $fuzzer, '--root', $traces, '--seed', $seed + $round, '--count', $per_round,
		map { ('--corpus', $_) } sort values %corpus ]);
	die "fuzz-traces failed: $fuzz_err" if $fuzz_err ne '';
	my @ids = split /\n/, $written;
	$cases += @ids;

	# Each entry of the traces root is loaded under both formats, every third
	# time as a reload; every second one is then removed by identifier; the
	# rest goes with the removal of all traces.
	my ($ok, $out, $err) = (0, '', '');
	eval {
		($out, $err) = ('', '');
		$ok = $node->psql(
			'postgres', q{
SELECT md5(string_agg(l::text, ',')) IS NOT NULL FROM vr_traces_list() l;
SET vireo.explain_format = json;
SELECT md5(string_agg(l::text, ',')) IS NOT NULL FROM vr_traces_list() l;
RESET vireo.explain_format;
DO $$
DECLARE
	name text;
	fmt text;
	i int := 0;
	st text;
	msg text;
BEGIN
	FOR name IN SELECT pg_ls_dir('traces') ORDER BY 1 LOOP
		i := i + 1;
		FOREACH fmt IN ARRAY ARRAY['text', 'json'] LOOP
			PERFORM set_config('vireo.explain_format', fmt, true);
			BEGIN
				PERFORM vr_load_trace(name, i % 3 = 0);
				INSERT INTO fuzz_outcome VALUES ('load', 'ok');
			EXCEPTION WHEN OTHERS THEN
				GET STACKED DIAGNOSTICS st = RETURNED_SQLSTATE, msg = MESSAGE_TEXT;
				INSERT INTO fuzz_outcome VALUES ('load', st, msg);
			END;
		END LOOP;
		IF i % 2 = 0 THEN
			BEGIN
				PERFORM vr_cleanup(name, i % 4 = 0);
				INSERT INTO fuzz_outcome VALUES ('cleanup', 'ok');
			EXCEPTION WHEN OTHERS THEN
				GET STACKED DIAGNOSTICS st = RETURNED_SQLSTATE, msg = MESSAGE_TEXT;
				INSERT INTO fuzz_outcome VALUES ('cleanup', st, msg);
			END;
		END IF;
	END LOOP;
END $$;
SELECT md5(string_agg(v::text, ',')) IS NOT NULL FROM _vr_tmp_view_data v;
SELECT vr_cleanup(NULL, true) IS NOT NULL;
},
			stdout => \$out, stderr => \$err, timeout => 240) == 0;
	};
	ok($ok, "round $round: every call returned or raised a clean error")
		or diag("psql failed: $@ $err");
	last unless $ok;
	is($node->safe_psql('postgres', 'SELECT 1'), '1', "round $round: the server answers");
}
note("$cases mutated traces in $rounds rounds");
is($cases, $rounds * $per_round, 'every round wrote its mutated traces');

# Clean errors only: SQLSTATEs of the internal-error class would mean the
# code met something it did not expect.
is($node->safe_psql('postgres', "SELECT string_agg(call || ' ' || state || ': ' || message, E'\\n') FROM fuzz_outcome WHERE state LIKE 'XX%'"),
	'', 'no call ended in an internal error');
note($node->safe_psql('postgres',
	"SELECT string_agg(call || ' ' || state || ' x' || n, ', ' ORDER BY call, state) FROM (SELECT call, state, count(*) AS n FROM fuzz_outcome GROUP BY 1, 2) s"));
is($node->safe_psql('postgres', "SELECT count(*) > 0 FROM fuzz_outcome WHERE call = 'load' AND state = 'ok'"),
	't', 'mutated traces were loaded too, not only refused');

my $log = slurp_file($node->logfile);
unlike($log, qr/terminated by signal|TRAP:|PANIC:|(server process|client backend) .* exited/, 'no server process died');

$node->stop;
done_testing();
