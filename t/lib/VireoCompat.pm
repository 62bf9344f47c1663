# What the TAP suites need so that every supported release's test library
# behaves alike.  BackgroundPsql's query() (and so query_safe()):
# - returns, in some minor releases (16.2, 17.6), the result with psql's
#   trailing newline, in others without: it is returned without;
# - keeps what psql wrote to stderr across queries, so that every query after
#   a failed one reports failure too, and 17.6 waits forever for the end of a
#   query whose marker follows an earlier error on the same line: what an
#   earlier query already reported is dropped before the next, so that a
#   query's status is its own (with what psql wrote since).
package VireoCompat;
use strict;
use warnings;
use PostgreSQL::Test::BackgroundPsql;

{
	no warnings 'redefine';
	my $query = \&PostgreSQL::Test::BackgroundPsql::query;
	*PostgreSQL::Test::BackgroundPsql::query = sub {
		my ($self) = @_;
		substr($self->{stderr}, 0, $self->{vireo_reported} // 0, '');
		my ($output, $ret) = $query->(@_);
		$self->{vireo_reported} = length $self->{stderr};
		$output =~ s/\r?\n\z// if defined $output;
		return wantarray ? ($output, $ret) : $output;
	};
}

1;
