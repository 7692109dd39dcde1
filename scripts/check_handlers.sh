#!/usr/bin/env bash
# scripts/check_handlers.sh: every handler name the windows must have is
# defined in one class only, the one that owns its behaviour; the others wire
# their widgets to it. A definition is `Class::Name(` at the start of a line
# or a body written inside a class in a header.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! git ls-files 'src/*.cpp' 'src/*.h' | xargs perl -e '
  my $names = qr/(?:BitBtn[0-9]+Click|Posilka|Narahiv|FormCreate|FormClose|StringGrid1[A-Za-z]+|SerialPort1[A-Za-z]+Change|Label[0-9]+[A-Za-z]+|Form[0-9]Create)/;
  my %owners;
  for my $file (@ARGV) {
    open(my $in, "<", $file) or die "$file: $!";
    my @classes;  # [name, depth at which its body opened]
    my $depth = 0;
    while (my $line = <$in>) {
      $line =~ s{//.*}{};
      if ($line =~ /^\S.*?\b(\w+)::($names)\s*\(/ && $line !~ /;\s*$/) {
        $owners{$2}{$1} .= " $file:$.";
      }
      if ($file =~ /\.h$/) {
        if ($line =~ /^\s*(?:class|struct)\s+(\w+)\b[^;]*$/) {
          push @classes, [$1, $depth];
        } elsif (@classes && $line =~ /^\s+[\w:<>,&*\s]*?\b($names)\s*\([^;]*\)[\w\s]*\{/) {
          $owners{$1}{$classes[-1][0]} .= " $file:$.";
        }
      }
      $depth += () = $line =~ /\{/g;
      $depth -= () = $line =~ /\}/g;
      pop @classes while @classes && $depth <= $classes[-1][1] && $line =~ /\}/;
    }
  }
  my $failed = 0;
  for my $name (sort keys %owners) {
    my @classes = sort keys %{$owners{$name}};
    next if @classes < 2;
    print STDERR "handlers: $name is defined in @classes:\n";
    print STDERR "  $_:$owners{$name}{$_}\n" for @classes;
    $failed = 1;
  }
  exit $failed;
'; then
  exit 1
fi
echo "handlers: each handler name has one owner"
