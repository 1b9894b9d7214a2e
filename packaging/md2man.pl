#!/usr/bin/perl
# Turns a manual written in the project's Markdown into a man page, so that the
# installed halvern(1) always says what docs/halvern.md says.
#
#   md2man.pl NAME SECTION DATE SOURCE "one-line summary" < manual.md > name.section
#
# SOURCE names the program and its version for the footer ("halvern 1.1.0").
#
# It knows the Markdown the manuals use: "#" headings (the first is the title;
# the paragraphs and the first code block before the next heading become the
# DESCRIPTION and the SYNOPSIS), "##" and "###" headings, paragraphs, fenced
# code blocks, "-" and "1." lists, tables (each row becomes a tagged paragraph:
# the first cell the tag, the other cells the text), `code` (bold) and
# [links](target) (their text). Anything else is kept as text, escaped.
# Only perl-base is needed.
use strict;
use warnings;

die "usage: md2man.pl NAME SECTION DATE SOURCE SUMMARY < manual.md\n" unless @ARGV == 5;
my ($name, $section, $date, $source, $summary) = @ARGV;
binmode STDIN, ':encoding(UTF-8)';
binmode STDOUT, ':encoding(UTF-8)';
my @lines = <STDIN>;
chomp @lines;

# Text for roff: backslashes, characters groff would misread, and the few
# non-ASCII characters of the manuals as groff's own names.
sub escape {
    my ($text) = @_;
    $text =~ s/\\/\\e/g;
    $text =~ s/-/\\-/g;
    $text =~ s/\x{2192}/\\(->/g;
    $text =~ s/\x{2013}/\\(en/g;
    $text =~ s/\x{2014}/\\(em/g;
    return $text;
}

# Inline Markdown: `code` in bold, [text](target) as its text.
sub inline {
    my ($text) = @_;
    my $out = '';
    for my $piece (split /(`[^`]*`)/, $text) {
        if ($piece =~ /^`(.*)`$/) {
            $out .= '\fB' . escape($1) . '\fR';
        } else {
            $piece =~ s/\[([^\]]*)\]\([^)]*\)/$1/g;
            $out .= escape($piece);
        }
    }
    return $out;
}

# A line of output text: one that would start with a control character is
# protected.
sub text_line {
    my ($text) = @_;
    $text =~ s/^\s+//;
    return $text =~ /^[.']/ ? "\\&$text\n" : "$text\n";
}

sub cells {
    my ($row) = @_;
    $row =~ s/^\s*\|//;
    $row =~ s/\|\s*$//;
    return map { my $c = $_; $c =~ s/^\s+|\s+$//g; $c } split /\|/, $row;
}

my $upper_name = uc $name;
print ".\\\" Made from the Markdown manual by packaging/md2man.pl; edit the manual, not this.\n";
print ".TH $upper_name $section \"$date\" \"" . escape($source) . "\" \"User Commands\"\n";
print ".SH NAME\n$name \\- " . escape($summary) . "\n";

# The first code block of the introduction (before the second heading) is
# the synopsis; it is printed first and skipped where it stands.
my %synopsis_line;
{
    my $headings = 0;
    my $from;
    for my $i (0 .. $#lines) {
        last if $lines[$i] =~ /^#/ && ++$headings > 1;
        next unless $lines[$i] =~ /^```/;
        if (!defined $from) {
            $from = $i;
            next;
        }
        print ".SH SYNOPSIS\n.nf\n";
        for my $j ($from + 1 .. $i - 1) {
            my $escaped = escape($lines[$j]);
            print $escaped =~ /^[.']/ ? "\\&$escaped\n" : "$escaped\n";
        }
        print ".fi\n";
        $synopsis_line{$_} = 1 for $from .. $i;
        last;
    }
}

my $in_code = 0;
my $seen_title = 0;
my $paragraph_open = 0;
my $table_row = 0;

for (my $i = 0; $i < @lines; ++$i) {
    next if $synopsis_line{$i};
    my $line = $lines[$i];
    if ($in_code) {
        if ($line =~ /^```/) {
            print ".fi\n.RE\n";
            $in_code = 0;
            next;
        }
        my $escaped = escape($line);
        print $escaped =~ /^[.']/ ? "\\&$escaped\n" : "$escaped\n";
        next;
    }
    if ($line =~ /^```/) {
        print ".RS\n.nf\n";
        $in_code = 1;
        $paragraph_open = 0;
        next;
    }
    if ($line =~ /^(#+)\s+(.*)$/) {
        my ($level, $title) = (length $1, $2);
        $paragraph_open = 0;
        $table_row = 0;
        if ($level == 1 && !$seen_title) {
            $seen_title = 1;
            print ".SH DESCRIPTION\n";
        } elsif ($level <= 2) {
            $title =~ s/`//g;
            print '.SH ' . escape(uc $title) . "\n";
        } else {
            print '.SS ' . inline($title) . "\n";
        }
        next;
    }
    if ($line =~ /^\s*$/) {
        $paragraph_open = 0;
        $table_row = 0;
        next;
    }
    if ($line =~ /^\s*\|/) {
        # The header row is dropped with the separator row under it.
        if ($table_row == 0 && $i + 1 < @lines && $lines[$i + 1] =~ /^\s*\|[\s:|-]+\|\s*$/) {
            ++$i;
            $table_row = 1;
            next;
        }
        my ($tag, @rest) = cells($line);
        print ".TP\n" . text_line(inline($tag));
        my @filled = grep { length } @rest;
        print text_line(join(' \(em ', map { inline($_) } @filled)) if @filled;
        $table_row = 1;
        $paragraph_open = 0;
        next;
    }
    if ($line =~ /^\s*[-*]\s+(.*)$/) {
        print ".IP \\(bu 2\n" . text_line(inline($1));
        $paragraph_open = 1;
        next;
    }
    if ($line =~ /^\s*(\d+)\.\s+(.*)$/) {
        print ".IP $1. 4\n" . text_line(inline($2));
        $paragraph_open = 1;
        next;
    }
    print ".PP\n" unless $paragraph_open;
    $paragraph_open = 1;
    print text_line(inline($line));
}
die "md2man.pl: unterminated code block in the manual\n" if $in_code;
