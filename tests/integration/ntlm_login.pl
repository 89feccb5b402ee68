#!/usr/bin/perl
# Logs in with AUTH NTLM (v1 or v2) and prints the server's final reply;
# exits 0 on 235. Usage: ntlm_login.pl PORT USER PASSWORD V2(0|1) [DOMAIN]
use strict;
use warnings;
use IO::Socket::INET;
use Authen::NTLM qw(ntlm ntlm_user ntlm_password ntlm_domain ntlmv2 ntlm_reset);

my ($port, $user, $pass, $v2, $domain) = @ARGV;
ntlmv2($v2 ? 1 : 0);
ntlm_reset();
ntlm_user($user);
ntlm_password($pass);
ntlm_domain(defined $domain ? $domain : '');

my $s = IO::Socket::INET->new(PeerAddr => '127.0.0.1', PeerPort => $port, Timeout => 10)
  or die "connect: $!\n";
$s->timeout(10);
sub reply {
  my $line;
  do { $line = <$s>; defined $line or die "server closed\n"; } while ($line =~ /^\d\d\d-/);
  return $line;
}
reply();
print $s "EHLO smoke.test\r\n";
reply();
print $s "AUTH NTLM " . ntlm() . "\r\n";
my $challenge = reply();
$challenge =~ /^334 (\S+)/ or die "no challenge: $challenge";
print $s ntlm($1) . "\r\n";
my $result = reply();
print $result;
print $s "QUIT\r\n";
exit($result =~ /^235/ ? 0 : 1);
