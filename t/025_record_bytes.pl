# The record builder writes the bytes of the record's definition: numbers
# made without printf give printf's bytes, and records of real statements,
# built a second time the plain way (vireo.check_records), are the same.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoTrace;

my $node = PostgreSQL::Test::Cluster->new('record_bytes');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'\nvireo.check_records = on");
$node->start;
$node->safe_psql('postgres', q{
CREATE EXTENSION vireo;
ALTER ROLE postgres SET vireo.enabled = off;
CREATE ROLE alice LOGIN;
CREATE TABLE t(a int, b text);
INSERT INTO t SELECT g, 'row ' || g FROM generate_series(1, 1000) g;
GRANT SELECT ON t TO alice;
CREATE FUNCTION fixed6_differs(float8) RETURNS text AS 'vireo', 'vrx_fixed6_differs' LANGUAGE C STRICT;
});

# --- The duration's %.6f ------------------------------------------------------

# Exact ties (multiples of 2^-7 and finer fall halfway between two
# millionths), decimal halves that are not exact, random magnitudes from
# 1e-10 to 1e20, the limits of the double and of the fast path (2^63), zero,
# negative zero, subnormals, infinities and NaN; each with both signs.
my $values = q{
  SELECT g / 2.0 ^ k FROM generate_series(1, 3000) g, generate_series(1, 24) k
  UNION ALL SELECT g * 0.0000005 FROM generate_series(1, 200000) g
  UNION ALL SELECT g * 0.0000015 + 1000 FROM generate_series(1, 50000) g
  UNION ALL SELECT random() * 10 ^ (random() * 30 - 10) FROM generate_series(1, 200000)
  UNION ALL SELECT x::float8 FROM unnest(ARRAY['0', '-0', '5e-324', '2.2250738585072014e-308',
    '1.7976931348623157e308', '9223372036854775807', '9223372036854774784', '9223372036854775808',
    '4503599627370495.5', '0.0000005', '0.0000015', '0.0000025', '1e-7', '999999.9999995',
    'Infinity', 'NaN']) x
};
my ($count, $differ, $first) = split /\|/, $node->safe_psql('postgres', qq{
  WITH v(x) AS ($values), both_signs AS (SELECT x FROM v UNION ALL SELECT -x FROM v)
  SELECT count(*), count(fixed6_differs(x)), min(fixed6_differs(x)) FROM both_signs});
ok($count > 900000, "$count values checked");
is($differ, 0, 'the duration is written as %.6f writes it, for every double') or diag("first: $first");

# --- Records of real statements, both ways -------------------------------------

my $alice = $node->safe_psql('postgres', "SELECT 'alice'::regrole::oid");
# Each record is built once: text plans from 100 ms on (records without
# plans below), JSON plans for every statement.
my %format = (text => 'SET vireo.plan_min_duration = 100;', json => 'SET vireo.explain_format = json;');
my %ids = map { $_ => $node->safe_psql('postgres', "$format{$_} SELECT vr_activate('bytes', ARRAY[$alice]::oid[])") }
  keys %format;
my $offset = -s $node->logfile;
$node->psql('postgres', q{
SET application_name = 'quote " and, comma';
SELECT count(*) FROM t WHERE b LIKE '%"quoted", text%';
SELECT a, b
  FROM t
 WHERE a < 3;
PREPARE p(int, text) AS SELECT count(*) FROM t WHERE a > $1 AND b <> $2;
EXECUTE p(10, 'x');
SELECT pg_sleep(0.12);
SELECT 1/0;
WITH w AS (SELECT a FROM t ORDER BY a DESC LIMIT 5) SELECT sum(a) FROM w;
}, extra_params => [ '-U', 'alice' ], on_error_stop => 0);
$node->safe_psql('postgres', "SET vireo.explain_format = $_; SELECT vr_deactivate('$ids{$_}')") for keys %ids;

my $records = 0;
for my $id (values %ids)
{
	$records += scalar @{ read_records($_) } for glob($node->data_dir . "/traces/$id/trace-*.csv");
}
my $log = substr(slurp_file($node->logfile), $offset);
my $same = () = $log =~ /vireo: record check: the record is its reference's bytes/g;
my $differs = () = $log =~ /vireo: record check: the record differs/g;
# The failed statement's records are written where nothing may be allocated,
# by the quiet writer, and not built twice.
is($same, $records - 2, "each of the $records records but the failed statement's was built both ways");
is($differs, 0, 'records built both ways are the same bytes') or diag($log =~ /(record differs.*?Reference:[^\n]*)/s);

done_testing();
