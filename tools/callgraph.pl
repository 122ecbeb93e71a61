#!/usr/bin/env perl
# callgraph.pl - which source file calls into which, read from the object
# files' symbol tables, and the cycles among them.
#
#   tools/callgraph.pl [--allow a,b]... [--edges] OBJECT...
#
# A file A "calls" file B when A's object leaves a symbol undefined that B's
# object defines strongly. Weak definitions (inline functions and templates
# that headers emit in every object) and symbols defined nowhere in the set
# (libc, liborv) are not edges. Prints every cross-file edge with --edges,
# then each cycle (strongly connected group of more than one file). A group
# equal to an --allow set is reported as allowed. Exits 1 when any other
# cycle exists, so a build can fail on a new one.
use strict;
use warnings;

my (@allow, $show_edges, @objects);
while (@ARGV) {
    my $a = shift @ARGV;
    if ($a eq '--allow') { push @allow, join(',', sort split /,/, shift @ARGV); }
    elsif ($a eq '--edges') { $show_edges = 1; }
    else { push @objects, $a; }
}
die "usage: callgraph.pl [--allow a,b]... [--edges] OBJECT...\n" unless @objects;

sub unit_of {
    my ($path) = @_;
    $path =~ s{.*/}{};
    $path =~ s{\.(c|cpp|cc)\.o$|\.o$}{};
    return $path;
}

my (%defines, %needs);
for my $obj (@objects) {
    my $unit = unit_of($obj);
    open(my $nm, '-|', 'nm', '-P', $obj) or die "nm $obj: $!\n";
    while (<$nm>) {
        my ($sym, $type) = split ' ';
        next unless defined $type;
        if ($type eq 'U') { $needs{$unit}{$sym} = 1; }
        elsif ($type =~ /^[TDBR]$/) { $defines{$sym} = $unit; }
    }
    close($nm) or die "nm $obj failed\n";
}

my %edge;    # caller -> callee -> [symbols]
for my $unit (sort keys %needs) {
    for my $sym (sort keys %{ $needs{$unit} }) {
        my $to = $defines{$sym};
        next if !defined $to || $to eq $unit;
        push @{ $edge{$unit}{$to} }, $sym;
    }
}

if ($show_edges) {
    for my $from (sort keys %edge) {
        for my $to (sort keys %{ $edge{$from} }) {
            my @syms = @{ $edge{$from}{$to} };
            my $more = @syms > 3 ? sprintf(' +%d', @syms - 3) : '';
            printf "%-16s -> %-16s %s%s\n", $from, $to, join(' ', @syms[0 .. ($#syms < 2 ? $#syms : 2)]), $more;
        }
    }
}

# Tarjan's strongly connected components.
my (%index, %low, %on_stack, @stack, @groups);
my $next = 0;
my %units = map { $_ => 1 } (keys %edge, map { keys %$_ } values %edge);
sub visit {
    my ($v) = @_;
    $index{$v} = $low{$v} = $next++;
    push @stack, $v;
    $on_stack{$v} = 1;
    for my $w (sort keys %{ $edge{$v} || {} }) {
        if (!defined $index{$w}) { visit($w); $low{$v} = $low{$w} if $low{$w} < $low{$v}; }
        elsif ($on_stack{$w}) { $low{$v} = $index{$w} if $index{$w} < $low{$v}; }
    }
    if ($low{$v} == $index{$v}) {
        my @g;
        my $w;
        do { $w = pop @stack; $on_stack{$w} = 0; push @g, $w; } while ($w ne $v);
        push @groups, [sort @g] if @g > 1;
    }
}
visit($_) for grep { !defined $index{$_} } sort keys %units;

my %allowed = map { $_ => 1 } @allow;
my $bad = 0;
for my $g (sort { "@$a" cmp "@$b" } @groups) {
    my $key = join(',', @$g);
    if ($allowed{$key}) { print "allowed cycle: ", join(' <-> ', @$g), "\n"; next; }
    $bad = 1;
    print "cycle: ", join(' <-> ', @$g), "\n";
    for my $from (@$g) {
        for my $to (@$g) {
            next unless $edge{$from}{$to};
            printf "    %s -> %s (%s)\n", $from, $to, join(' ', @{ $edge{$from}{$to} });
        }
    }
}
print $bad ? "" : "no cycle beyond the allowed ones\n";
exit $bad;
