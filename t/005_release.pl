# The release's one version, as every piece that names it gives it: VERSION,
# META.json (parsed, with the fields the PGXN meta spec requires),
# CHANGELOG.md, debian/changelog, the extension's default version, the
# module's read-only vireo.version and vireo-report --version; and
# vireo-report's one-line warning for a module of another release.
use strict;
use warnings;
use IPC::Run;
use JSON::PP;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoCompat;

my $top = "$FindBin::RealBin/..";
(my $version = slurp_file("$top/VERSION")) =~ s/\s+\z//;
like($version, qr/^\d+\.\d+\.\d+$/, "VERSION is a release number ($version)");
my ($major_minor) = $version =~ /^(\d+\.\d+)/;

# META.json, checked against the PGXN meta spec 1.0.0.
my $meta = eval { JSON::PP->new->utf8->decode(slurp_file("$top/META.json")) };
ok(ref $meta eq 'HASH', 'META.json parses') or diag $@;
$meta //= {};
is($meta->{'meta-spec'}{version}, '1.0.0', 'meta-spec 1.0.0');
like($meta->{name} // '', qr/^[A-Za-z0-9_-]{2,}$/, 'name');
ok(length($meta->{abstract} // '') > 0, 'abstract');
is($meta->{version}, $version, 'version is VERSION');
ok(ref $meta->{maintainer} eq 'ARRAY' && @{ $meta->{maintainer} } > 0, 'maintainer');
is($meta->{license}, 'postgresql', 'license');
my $provides = $meta->{provides}{vireo} // {};
is($provides->{version}, $version, 'provides vireo at VERSION');
(my $control = slurp_file("$top/vireo.control")) =~ /^default_version\s*=\s*'([^']+)'/m;
my $default_version = $1 // '';
is($default_version, $major_minor, "the extension's default version is the release's MAJOR.MINOR");
is($provides->{file}, "sql/vireo--$default_version.sql", "provides names the install script of $default_version");
ok(-f "$top/$provides->{file}", 'which exists') if defined $provides->{file};
my $range = $meta->{prereqs}{runtime}{requires}{PostgreSQL} // '';
my ($low, $high) = $range =~ /^>= (\d+)\.0\.0, < (\d+)\.0\.0$/;
ok(defined $high, "prereqs: a PostgreSQL range ($range)");
(my $pgversions = slurp_file("$top/debian/pgversions")) =~ s/\s+\z//;
is("$low+", $pgversions, 'from the release debian/pgversions starts at') if defined $low;
my $resources = $meta->{resources} // {};
like($resources->{homepage} // '', qr{^https://}, 'resources: homepage');
like($resources->{repository}{url} // '', qr{^https://}, 'resources: repository');

# The changelogs' newest entries.
like(slurp_file("$top/CHANGELOG.md"), qr/^## (\S+)/m, 'CHANGELOG.md has a release');
my ($changelog_top) = slurp_file("$top/CHANGELOG.md") =~ /^## (\S+)/m;
is($changelog_top, $version, "CHANGELOG.md's newest release");
my ($debian_top) = slurp_file("$top/debian/changelog") =~ /^vireo \(([^)-]+)-[^)]+\)/;
is($debian_top, $version, "debian/changelog's newest upstream version");

# The module's vireo.version, which nobody can change, not even through
# postgresql.conf (the server starts, and ignores it).
my $server = PostgreSQL::Test::Cluster->new('release');
$server->init;
$server->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'\ninclude_if_exists = 'bogus.conf'");
$server->append_conf('bogus.conf', "vireo.version = '0.1'");
$server->start;
is($server->safe_psql('postgres', 'SHOW vireo.version'), $version, 'vireo.version is VERSION');
my $server_major = int($server->safe_psql('postgres', 'SHOW server_version_num') / 10000);
ok(defined $high && $server_major >= $low && $server_major < $high,
	"the server tested ($server_major) is in META.json's range");
my ($rc, $out, $err) = $server->psql('postgres', "SET vireo.version = '0.1'");
like($err, qr/parameter "vireo.version" cannot be changed/, 'vireo.version is read only');

my ($report_out, $report_err) = ('', '');
IPC::Run::run([ 'vireo-report', '--version' ], '>', \$report_out, '2>', \$report_err);
is($report_out, "vireo-report $version\n", 'vireo-report --version');

# vireo-report against a module of another release warns in one line and
# goes on.  A server without the preload, where vireo.version is a plain
# placeholder, stands in for it.
$server->safe_psql('postgres', 'CREATE EXTENSION vireo');
my $id = $server->safe_psql('postgres', "SELECT vr_activate('release test')");
$server->safe_psql('postgres', 'SELECT 1');
$server->safe_psql('postgres', "SELECT vr_deactivate('$id')");
sub report
{
	my ($out, $err) = ('', '');
	IPC::Run::run([ 'vireo-report', '-h', $server->host, '-p', $server->port, '-d', 'postgres',
		'--format', 'text', $id ], '>', \$out, '2>', \$err);
	return ($? >> 8, $err);
}
($rc, $err) = report();
is($rc, 0, 'a report of the same release');
unlike($err, qr/warning/, 'without a warning');
unlink $server->data_dir . '/bogus.conf';
$server->append_conf('postgresql.conf', "shared_preload_libraries = ''");
$server->restart;
$server->safe_psql('postgres', "ALTER DATABASE postgres SET vireo.version = '0.9.0'");
($rc, $err) = report();
like($err, qr/^vireo-report: warning: the server runs vireo 0\.9\.0; this is vireo-report \Q$version\E\n/,
	'a module of another release: one warning line first');
like($err, qr/shared_preload_libraries/, 'then the report goes on (here to the missing preload)');
$server->safe_psql('postgres', 'ALTER DATABASE postgres RESET vireo.version');
($rc, $err) = report();
unlike($err, qr/warning/, 'no warning when no module is loaded at all: the error says it');

done_testing();
