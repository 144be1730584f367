#!/usr/bin/perl
# The mail check's sequence with Perl's Net::POP3, for the benchmark.
#
# Usage: netpop3_check.pl HOST PORT USER PASSWORD
# Connects, USER, PASS, STAT, LIST, TOP i 0 for every message, QUIT, and
# prints one line: messages=N lines=L bytes=B wall=SECONDS cpu=SECONDS rss=KIB,
# where lines and bytes count the header lines delivered (after
# dot-unstuffing, without line ends), wall is the session's elapsed time, cpu
# this process's CPU time (user + system, CLOCK_PROCESS_CPUTIME_ID) during
# the session, and rss the process's peak resident set (VmHWM).
use strict;
use warnings;
use Net::POP3;
use Time::HiRes qw(time clock_gettime CLOCK_PROCESS_CPUTIME_ID);

my ($host, $port, $user, $password) = @ARGV;
my $cpu0 = clock_gettime(CLOCK_PROCESS_CPUTIME_ID);
my $wall0 = time;
my $pop = Net::POP3->new($host, Port => $port, Timeout => 30) or die "connect: $@\n";
$pop->user($user) or die "USER refused\n";
defined $pop->pass($password) or die "PASS refused\n";
my ($count) = $pop->popstat;
$pop->list;
my ($lines, $octets) = (0, 0);
for my $number (1 .. $count) {
    my $header = $pop->top($number, 0) or die "TOP $number refused\n";
    for my $line (@$header) {
        $line =~ s/\r?\n\z//;
        $lines++;
        $octets += length $line;
    }
}
$pop->quit;
my $wall = time - $wall0;
my $cpu = clock_gettime(CLOCK_PROCESS_CPUTIME_ID) - $cpu0;
open my $status, '<', '/proc/self/status' or die "status: $!\n";
my ($rss) = map { /^VmHWM:\s+(\d+)/ ? $1 : () } <$status>;
printf "messages=%d lines=%d bytes=%d wall=%.6f cpu=%.6f rss=%d\n", $count, $lines, $octets, $wall, $cpu, $rss;
