# What the TAP suites need so that every supported release's test library
# behaves alike.  The BackgroundPsql of some minor releases (16.2, 17.6)
# returns a query's result with psql's trailing newline, later ones without;
# loading this module makes query() (and so query_safe()) return it without
# on all of them.
package VireoCompat;
use strict;
use warnings;
use PostgreSQL::Test::BackgroundPsql;

{
	no warnings 'redefine';
	my $query = \&PostgreSQL::Test::BackgroundPsql::query;
	*PostgreSQL::Test::BackgroundPsql::query = sub {
		my ($output, $ret) = $query->(@_);
		$output =~ s/\r?\n\z// if defined $output;
		return wantarray ? ($output, $ret) : $output;
	};
}

1;
