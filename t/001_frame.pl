# The module frame on real servers: one that does not preload vireo, and one
# that does, through restarts and several sessions.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoCompat;

# Without shared_preload_libraries the module stays inert.
my $plain = PostgreSQL::Test::Cluster->new('plain');
$plain->init;
$plain->start;
# Installing the extension there says what is missing instead of installing
# functions that refuse every call; an installation of 1.0, which did not
# check, still updates (and then refuses call by call, below).
my ($create_rc, $create_out, $create_err) =
  $plain->psql('postgres', "\\set VERBOSITY verbose\nCREATE EXTENSION vireo");
like($create_err, qr/55000: vireo must be loaded via shared_preload_libraries/,
	'CREATE EXTENSION refuses without preloading');
is($plain->safe_psql('postgres', "SELECT count(*) FROM pg_extension WHERE extname = 'vireo'"),
	'0', 'and installs nothing');
$plain->safe_psql('postgres', "CREATE EXTENSION vireo VERSION '1.0'; ALTER EXTENSION vireo UPDATE");

is($plain->safe_psql('postgres', "LOAD 'vireo'; SELECT count(*) FROM pg_settings WHERE name LIKE 'vireo.%'"),
	'0', 'LOAD defines no setting');
is($plain->safe_psql('postgres', 'SELECT vr_version()'), '4', 'vr_version answers without preloading');
is($plain->safe_psql('postgres', "SELECT vr_is_json('[1]'), vr_is_json('[1')"), 't|f',
	'vr_is_json answers without preloading');

foreach my $call ("SELECT vr_activate('x')", "SELECT vr_deactivate('01234567890123456789')",
	'SELECT * FROM vr_active_traces()', "SELECT vr_cleanup(NULL, false)",
	"SELECT vr_load_trace('01234567890123456789')")
{
	my ($rc, $out, $err) = $plain->psql('postgres', "\\set VERBOSITY verbose\n$call");
	like($err, qr/55000: vireo must be loaded via shared_preload_libraries/,
		"$call refuses without the registry");
}
# Nothing is recorded either: no traces root appears.
$plain->safe_psql('postgres', 'CREATE TABLE t(a int); INSERT INTO t VALUES (1); SELECT * FROM t');
ok(!-e $plain->data_dir . '/traces', 'no trace files without preloading');
$plain->stop;

# Preloaded: every session sees the same registry, and it survives nothing
# but the server.
my $node = PostgreSQL::Test::Cluster->new('preloaded');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$node->start;
$node->safe_psql('postgres', 'CREATE EXTENSION vireo');

my $id = $node->safe_psql('postgres', "SELECT vr_activate('shared')");
like($id, qr/^\d{20}$/, 'activation returns a 20-digit identifier');
my $other = $node->background_psql('postgres');
is($other->query_safe('SELECT trace_id FROM vr_active_traces()'), $id,
	'another session sees the active trace');
$other->quit;

$node->restart;
is($node->safe_psql('postgres', 'SELECT count(*) FROM vr_active_traces()'), '0',
	'the registry starts empty after a restart');
is($node->safe_psql('postgres', "SELECT status FROM vr_traces_list() WHERE trace_id = '$id'"), '0',
	'a trace active at shutdown is listed with status 0');
like($node->safe_psql('postgres', "SELECT vr_activate('again')"), qr/^\d{20}$/,
	'new traces start after a restart');
$node->stop;

done_testing();
