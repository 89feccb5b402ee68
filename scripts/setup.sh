#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and
# the demo need. Safe to run again: it only touches apt when something is
# missing, and it never leaves a system mail, DNS or SOCKS daemon running.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libssl-dev openssl libicu-dev libidn2-dev
  exim4-daemon-heavy sasl2-bin libsasl2-modules
  # Dovecot's auth service checks OAuth 2.0 tokens behind Exim.
  dovecot-core
  dante-server dnsmasq tinyproxy-bin
  python3 curl
  iproute2 procps
  lintian dpkg-dev file
  bsd-mailx git-email neomutt util-linux
  # The real callers of sendmail mode: the cron daemon, mailutils, PHP's mail().
  cron mailutils php-cli
  libemail-address-xs-perl libmailtools-perl
  ccache
  # DKIM verifiers we did not write (dkimpy with Ed25519 through PyNaCl).
  python3-dkim python3-nacl opendkim-tools
  # scripts/fuzz.sh: Clang with libFuzzer and the sanitizer runtimes.
  clang libclang-rt-14-dev
  # The Windows build (mingw-w64, posix thread model) and Wine to run it.
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  wine wine64 wine32:i386
  # Wine's NTLM package runs Samba's ntlm_auth.
  winbind
  # wine32 runs through qemu's user-mode emulation where the kernel runs
  # no 32-bit programs.
  qemu-user-static
)

# wine32 is an i386 package.
needs_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  needs_i386=1
fi

missing=()
for p in "${PACKAGES[@]}"; do
  # A package installed for two architectures (Wine pulls in i386 copies)
  # prints one status per architecture.
  status=$(dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null || true)
  grep -qx "install ok installed" <<<"$status" || missing+=("$p")
done

# Daemons that the packages' maintainer scripts may start on standard ports;
# our tests run their own instances on free high ports instead.
stop_system_daemons() {
  # Only the instances that run from the system's own pid files: the test
  # servers of this and other checkouts run from their own folders.
  local f pid
  for f in /run/exim4/exim.pid /run/dnsmasq/dnsmasq.pid /run/danted.pid /var/run/danted.pid /run/crond.pid; do
    [[ -r $f ]] || continue
    pid=$(cat "$f" 2>/dev/null || true)
    if [[ $pid =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null; then
      echo "setup: stopping system daemon $(cat "/proc/$pid/comm" 2>/dev/null) (pid $pid)"
      kill "$pid" 2>/dev/null || true
    fi
  done
}

# Debian's qemu-user-static leaves i386 out of binfmt_misc, as an amd64
# kernel mostly runs i386 programs itself; where it does not, register qemu.
I386_PROBE=/usr/lib/wine/wine
I386_BINFMT=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F'
run_i386() {
  [[ -x $I386_PROBE ]] || return 0
  "$I386_PROBE" --version >/dev/null 2>&1 && return 0
  local fs=/proc/sys/fs/binfmt_misc
  [[ -e $fs/register ]] || mount -t binfmt_misc binfmt_misc "$fs" 2>/dev/null || true
  [[ -e $fs/qemu-i386 ]] || echo "$I386_BINFMT" >"$fs/register" 2>/dev/null || true
  if "$I386_PROBE" --version >/dev/null 2>&1; then
    echo "setup: this kernel runs no 32-bit programs; registered qemu-i386-static for them in binfmt_misc"
  else
    echo "setup: this kernel runs no 32-bit programs, and registering qemu-i386-static in binfmt_misc failed" >&2
    return 1
  fi
}

if ((${#missing[@]} == 0 && needs_i386 == 0)); then
  echo "setup: all ${#PACKAGES[@]} packages present"
  stop_system_daemons
  run_i386
  exit
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing packages (${missing[*]}) and not root; install them with apt-get" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive

# Keep the maintainer scripts from starting services while we install.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  own_policy=1
fi
cleanup() { if ((own_policy)); then rm -f "$policy"; fi; }
trap cleanup EXIT

if ((needs_i386)); then
  echo "setup: adding the i386 architecture"
  dpkg --add-architecture i386
fi
# A mirror caught mid-sync can fail one index; the rest is still used.
apt-get update -qq || echo "setup: apt-get update failed in part; going on with the indexes it read"
install() {
  apt-get install -y -qq --no-install-recommends \
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
    "$@" "${missing[@]}" >/dev/null
}
# Without one architecture's security index, amd64 and i386 copies of a
# library only agree at the release's own versions.
if ! install; then
  release=$(. /etc/os-release && echo "$VERSION_CODENAME")
  echo "setup: retrying with the packages of $release itself"
  install -t "$release"
fi

stop_system_daemons
run_i386
echo "setup: done"
