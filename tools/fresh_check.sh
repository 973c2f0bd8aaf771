#!/usr/bin/env bash
# Does the README's set-up work on a machine that has nothing but what the
# README asks for? This builds a minimal Debian userland (debootstrap
# --variant=minbase) of this machine's release, from the Debian mirror this
# machine already uses, installs there only the README's prerequisites,
# copies in a clean clone of HEAD and runs the two commands as a plain user,
# word for word (Debian's python3 refuses pip installs, so the commands set
# up a virtual environment of their own), or with --venv in the virtual
# environment the installing page describes (make ... PYTHON=.venv/bin/python).
# This machine's CUDA toolkit is made visible read-only at the same path; no
# GPU is needed.
#
#   tools/fresh_check.sh               the README on this release (35-50 min
#                                      on two cores, ~7 GB of disk)
#   tools/fresh_check.sh --toolchain   Debian 13 (trixie): OrvaneCPU built with
#                                      trixie's default g++, g++-13 and clang,
#                                      and the material, geometry and fuzz
#                                      tests run against each build (~8 min)
# Options:
#   --keep        leave the userland in place (its path is printed)
#   --venv        the user's own virtual environment (python3 -m venv .venv,
#                 make ... PYTHON=.venv/bin/python) instead of the README's
#                 commands word for word
#   --bare-toolkit  the toolkit's directory alone, without this machine's
#                 registration of its libraries with the dynamic loader
#   --cache DIR   keep the downloaded Debian packages in DIR and reuse them;
#                 everything is still installed from scratch
#   --workdir DIR where the userland and logs go (default /var/tmp)
#
# Needs root, debootstrap (installed with apt-get if missing), util-linux's
# unshare, and the network: the Debian mirror and PyPI. Each step's time is
# printed; a failing step prints the end of its log. Exit status 0 when
# every step passed.
#
# All mounts (proc, sys, the toolkit, the package cache) are made inside a
# private mount namespace of the run's own, so they vanish when the run
# ends however it ends, and the userland is only ever removed from outside
# that namespace, where nothing is mounted under it: a removal can never
# reach through a bind mount into the real toolkit.
#
# Most functions here run through `step` or a trap, which shellcheck
# cannot follow.
# shellcheck disable=SC2317
set -euo pipefail

RUN_USER=user          # the account the commands run as inside
RUN_UID=1000
TAIL_LINES=40
TOOLCHAIN_TESTS="tests/test_materials.py tests/test_driver_geometry.py tests/test_prisms.py tests/test_fuzz.py"

die() { echo "fresh_check: $*" >&2; exit 2; }
clock() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }

# ---------------------------------------------------------------------------
# Inside the private mount namespace: everything that mounts or runs in the
# userland. Variables come from the outer half through the environment.
inner() {
  local root=$FC_ROOT logs=$FC_LOGS
  local summary=$logs/summary.txt n=0 last_rc=0
  : > "$summary"

  # Undo our mounts, deepest first, and stop what still runs in the
  # userland (processes we started there, found by their root directory).
  # The namespace going away would drop the mounts anyway; this keeps them
  # from outliving a process left running in it.
  # (It runs after this function has returned, so it reads FC_ROOT.)
  release() {
    local pid
    for pid in /proc/[0-9]*; do
      if [ "$(readlink "$pid/root" 2>/dev/null)" = "$FC_ROOT" ]; then kill "${pid#/proc/}" 2>/dev/null || true; fi
    done
    awk -v r="$FC_ROOT" '$5 == r || index($5, r "/") == 1 { print length($5), $5 }' /proc/self/mountinfo |
      sort -rn | cut -d' ' -f2- | while read -r m; do umount "$m" 2>/dev/null || umount -l "$m" || true; done
  }
  trap release EXIT

  # step NAME COMMAND...: runs COMMAND with its output in a log of its own;
  # prints the set-up's own "== " headings, test tallies and fuzz lines as
  # they come, with the time since the step began, then the step's time,
  # or the end of its log when it fails. Its status is left in last_rc
  # (`passed` tests it): a step is never called as a condition, where bash
  # would ignore set -e inside the command.
  passed() { [ "$last_rc" = 0 ]; }
  step() {
    local name=$1; shift
    n=$((n + 1))
    local log; log=$logs/$(printf '%02d' $n)-$(tr -c 'a-zA-Z0-9\n' '-' <<< "$name" | tr -s '-' | sed 's/-$//').log
    local t0=$SECONDS rc
    echo "-- $name"
    set +e
    (set -e; "$@") 2>&1 | while IFS= read -r line; do
      printf '%s\n' "$line"
      case $line in
        "== "* | "fuzz: "* | "g++-13: "* | "compiler: "* | "install check: "*) show=1 ;;
        *) show=0; [[ $line =~ ^(=+\ )?[0-9]+\ (passed|failed|errors?)[,\ ] ]] && show=1 ;;
      esac
      [ $show = 1 ] && printf '   +%s  %s\n' "$(clock $((SECONDS - t0)))" "$line" >&3
    done 3>&1 > "$log"
    rc=${PIPESTATUS[0]}
    set -e
    local took; took=$(clock $((SECONDS - t0)))
    if [ "$rc" = 0 ]; then
      echo "   done in $took"
      printf '%-52s %8s  passed\n' "$name" "$took" >> "$summary"
    else
      echo "   FAILED (exit $rc) after $took; the last $TAIL_LINES lines of $log:"
      tail -n "$TAIL_LINES" "$log" | sed 's/^/   | /'
      printf '%-52s %8s  FAILED (exit %s)\n' "$name" "$took" "$rc" >> "$summary"
    fi
    last_rc=$rc
  }

  # In the userland as root, with nothing of this machine's environment
  # (its pip settings, PATH and CUDA variables stay out).
  as_root() {
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      DEBIAN_FRONTEND=noninteractive HOME=/root chroot "$root" /bin/bash -c "$1"
  }
  # As the user at a login shell (the environment a fresh login gives),
  # in the clone.
  as_user() {
    env -i TERM=dumb "$(command -v chroot)" "$root" /sbin/runuser -l "$RUN_USER" -c "cd ~/orvane && $1"
  }

  # --- the userland ---------------------------------------------------------
  local cache_args=()
  if [ -n "$FC_CACHE" ]; then
    mkdir -p "$FC_CACHE/debootstrap-$FC_CODENAME"
    cache_args=(--cache-dir="$FC_CACHE/debootstrap-$FC_CODENAME")
  fi
  step "debootstrap $FC_CODENAME (minbase)" \
    debootstrap --variant=minbase "${cache_args[@]}" "$FC_CODENAME" "$root" "$FC_MIRROR"
  passed || return 1

  configure() {
    # The machine's network identity and name service, as an installed
    # machine has its own: resolv.conf to reach the mirror and PyPI, hosts
    # so that the host name resolves (torch.distributed's gloo looks it up).
    cp /etc/resolv.conf /etc/hosts /etc/hostname "$root/etc/" 2>/dev/null || cp /etc/resolv.conf /etc/hosts "$root/etc/"
    # Certificate authorities this machine's network requires for https (an
    # intercepting proxy's, where there is one) are part of the machine, not
    # of what the README asks a user to install; Debian's own list comes
    # with ca-certificates, which python3-pip depends on.
    if compgen -G "/usr/local/share/ca-certificates/*.crt" > /dev/null; then
      mkdir -p "$root/usr/local/share/ca-certificates"
      cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
    fi
    # The same package source as this machine: the release, its updates and
    # its security updates.
    rm -f "$root/etc/apt/sources.list"
    {
      printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$FC_MIRROR" "$FC_CODENAME" "$FC_CODENAME"
      if [ -n "$FC_SECURITY" ]; then
        printf '\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
          "$FC_SECURITY" "$FC_CODENAME"
      fi
    } > "$root/etc/apt/sources.list.d/debian.sources"
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    mkdir -p "$root/dev/shm" "$root/dev/pts"
    mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
    if [ -n "$FC_CACHE" ]; then
      mkdir -p "$FC_CACHE/apt-$FC_CODENAME"
      mount --bind "$FC_CACHE/apt-$FC_CODENAME" "$root/var/cache/apt/archives"
    fi
    if [ "$FC_MODE" = readme ]; then
      # The toolkit where this machine has it, read-only, and the
      # /usr/local/cuda link to it, as NVIDIA's installer leaves them.
      local target; target=$(readlink -f /usr/local/cuda)
      [ -d "$target" ] || { echo "no CUDA toolkit at /usr/local/cuda"; return 1; }
      mkdir -p "$root$target"
      mount --bind "$target" "$root$target"
      mount -o remount,bind,ro "$root$target"
      ln -sfn "$(readlink /usr/local/cuda)" "$root/usr/local/cuda"
      echo "toolkit: $target (read-only), /usr/local/cuda -> $(readlink /usr/local/cuda)"
      # Where this machine's toolkit installation registered its libraries
      # with the dynamic loader (an /etc/ld.so.conf.d file naming the
      # toolkit), that registration comes along: it is part of the toolkit
      # as installed here. --bare-toolkit leaves it out, as a toolkit that
      # registers nothing (NVIDIA's runfile, by default) would.
      if [ "$FC_BARE_TOOLKIT" = 0 ]; then
        local conf
        for conf in /etc/ld.so.conf.d/*.conf; do
          if grep -qE "^(/usr/local/cuda|$target)(/|$)" "$conf"; then
            cp "$conf" "$root/etc/ld.so.conf.d/"
            echo "loader: $conf ($(tr '\n' ' ' < "$conf"))"
          fi
        done
      else
        echo "loader: the toolkit's libraries left unregistered (--bare-toolkit)"
      fi
    fi
    cat "$root/etc/apt/sources.list.d/debian.sources"
  }
  step "configure and mount" configure
  passed || return 1

  # What the README asks for beforehand: Python 3 with pip (and venv, for
  # the virtual environment), a C++ compiler, make and git. Recommends are
  # left out so that the list is all there is; python3-dev is added because
  # the extension build includes Python.h (a plain apt-get install
  # python3-pip brings it as a recommendation).
  local packages="python3 python3-pip python3-venv python3-dev g++ make git"
  if [ "$FC_MODE" = toolchain ]; then
    # clang compiles OpenMP against LLVM's runtime, libomp-dev.
    packages="$packages clang libomp-dev"
  fi
  step "apt-get install the prerequisites" as_root "
    set -e
    apt-get update
    extra=
    if [ $FC_MODE = toolchain ]; then
      if apt-cache show g++-13 > /dev/null 2>&1; then extra=g++-13
      else echo 'g++-13: not in $FC_CODENAME, left out'; fi
    fi
    apt-get install -y --no-install-recommends $packages \$extra
    update-ca-certificates
    ldconfig
    echo; python3 --version; g++ --version | head -1; make --version | head -1; git --version
    if [ $FC_MODE = toolchain ]; then
      for c in g++-13 clang++; do command -v \$c > /dev/null && \$c --version | head -1; done
    else
      /usr/local/cuda/bin/nvcc --version | tail -2
    fi
    dpkg-query -W -f '\${binary:Package} \${Version}\n' > /var/log/installed-packages.txt
    echo \"\$(wc -l < /var/log/installed-packages.txt) packages installed in all\""
  passed || return 1

  clone() {
    as_root "useradd --create-home --uid $RUN_UID --shell /bin/bash $RUN_USER"
    local home=$root/home/$RUN_USER
    # A clone carries what is committed and nothing untracked or ignored.
    git clone --no-hardlinks "$FC_REPO" "$home/orvane"
    if [ "$(git -C "$home/orvane" rev-parse HEAD)" != "$FC_COMMIT" ]; then
      git -C "$home/orvane" checkout -q --detach "$FC_COMMIT"
    fi
    git -C "$home/orvane" log -1 --format='%H %s'
    chown -R "$RUN_UID:$RUN_UID" "$home"
  }
  step "clone HEAD for $RUN_USER" clone
  passed || return 1

  # --- the README ------------------------------------------------------------
  if [ "$FC_MODE" = readme ]; then
    # Word for word; or, with --venv, the installing page's "make test
    # PYTHON=.venv/bin/python" for the user's own virtual environment, made
    # the standard way.
    local given=""
    if [ "$FC_VENV" = 1 ]; then
      step "python3 -m venv .venv" as_user "python3 -m venv .venv"
      passed || return 1
      given=" PYTHON=.venv/bin/python"
    fi
    step "make demo$given" as_user "make demo$given"
    step "make test$given" as_user "make test$given"
    if ! passed; then
      # make stops at the first failing command; the checks after it still
      # say something, so they run on their own, with the interpreter the
      # commands used.
      local py="PYTHON=\$(${given:+PYTHON=.venv/bin/python }bash tools/interpreter.sh)"
      step "the rest of make test: tools/sanitize.sh" as_user "$py bash tools/sanitize.sh"
      step "the rest of make test: tools/install_check.sh" as_user "$py bash tools/install_check.sh"
    fi
    return 0
  fi

  # --- the toolchains ----------------------------------------------------------
  step "python3 -m venv .venv" as_user "python3 -m venv .venv"
  passed || return 1
  # The libraries and a first build with the release's own c++, CPU only
  # (the userland has no CUDA toolkit), as on a machine without one.
  step "make setup (ORVANE_CPU_ONLY=1, default c++)" \
    as_user "ORVANE_CPU_ONLY=1 make setup PYTHON=.venv/bin/python"
  passed || return 1
  local tests="" t
  for t in $TOOLCHAIN_TESTS; do
    [ -e "$root/home/$RUN_USER/orvane/$t" ] && tests="$tests $t"
  done
  local cxx
  for cxx in c++ g++-13 clang++; do
    if ! as_root "command -v $cxx" > /dev/null; then
      echo "-- $cxx: not installed, skipped"
      printf '%-52s %8s  skipped (not in %s)\n' "$cxx" "-" "$FC_CODENAME" >> "$summary"
      continue
    fi
    # A clean build: no objects or set-up stamp from the compiler before.
    # PyTorch's builder compiles and links with $CXX; the build record
    # names the compiler it ran, which --version shows.
    step "build OrvaneCPU with $cxx" as_user "
      set -e
      echo \"compiler: \$($cxx --version | head -1)\"
      rm -rf build ~/.cache/orvane/*.stamp
      CXX=$cxx ORVANE_CPU_ONLY=1 make setup PYTHON=.venv/bin/python
      (cd / && ~/orvane/.venv/bin/python -m orvane_sim --version) | grep -F \"OrvaneCPU: \$($cxx --version | head -1)\""
    passed || continue
    step "tests with $cxx:$tests" as_user \
      ".venv/bin/python -m pytest -q -p no:cacheprovider$tests"
  done
  return 0
}

if [ "${1:-}" = --inner ]; then
  inner
  # The summary decides: a step may fail without stopping the rest.
  if grep -q FAILED "$FC_LOGS/summary.txt"; then exit 1; fi
  exit 0
fi

# ---------------------------------------------------------------------------
# The outer half: options, the work directory, and its removal.
mode=readme keep=0 venv=0 bare_toolkit=0 cache="" workdir=${TMPDIR:-/var/tmp}
while [ $# -gt 0 ]; do
  case $1 in
    --toolchain) mode=toolchain ;;
    --keep) keep=1 ;;
    --venv) venv=1 ;;
    --bare-toolkit) bare_toolkit=1 ;;
    --cache) [ $# -ge 2 ] || die "--cache needs a directory"; cache=$2; shift ;;
    --cache=*) cache=${1#*=} ;;
    --workdir) [ $# -ge 2 ] || die "--workdir needs a directory"; workdir=$2; shift ;;
    --workdir=*) workdir=${1#*=} ;;
    -h | --help) sed -n '2,/^# Most functions/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown option $1 (--help lists them)" ;;
  esac
  shift
done

[ "$(id -u)" = 0 ] || die "needs root (debootstrap, chroot, mounts)"
command -v unshare > /dev/null || die "needs unshare (util-linux)"
if ! command -v debootstrap > /dev/null; then
  echo "== installing debootstrap"
  apt-get install -y debootstrap > /dev/null || die "cannot install debootstrap"
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$repo" rev-parse HEAD)

# shellcheck disable=SC1091
host_codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$host_codename" ] || die "no VERSION_CODENAME in /etc/os-release"
codename=$host_codename
[ $mode = toolchain ] && codename=trixie

# This machine's package sources as "URI SUITE" pairs, from deb822 .sources
# files and one-line .list files alike; only "deb" entries count.
apt_sources() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no") {
          n = split(uris, u, " "); m = split(suites, s, " ")
          for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print u[i], s[j]
        }
        types = uris = suites = enabled = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      { key = tolower($1); value = $0; sub(/^[^:]*:[ \t]*/, "", value) }
      key == "types:" { types = value } key == "uris:" { uris = value }
      key == "suites:" { suites = value } key == "enabled:" { enabled = value }
      END { flush() }' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" | awk '$1 == "deb" { print $2, $3 }'
  done
}
sources=$(apt_sources)
mirror=$(awk -v s="$host_codename" '$2 == s { print $1; exit }' <<< "$sources")
security=$(awk -v s="$host_codename-security" '$2 == s { print $1; exit }' <<< "$sources")
[ -n "$mirror" ] || die "no package source for $host_codename in /etc/apt"

mkdir -p "$workdir"
work=$(mktemp -d "$(cd "$workdir" && pwd)/orvane-fresh.XXXXXX")
root=$work/root logs=$work/logs
mkdir -p "$root" "$logs"
[ -z "$cache" ] || { mkdir -p "$cache"; cache=$(cd "$cache" && pwd); }

# Mounts under the userland, as this (outer) namespace sees them: none are
# ever made here, and the removal refuses to run if one is.
mounts_under() {
  awk -v r="$root" '$5 == r || index($5, r "/") == 1 { print $5 }' /proc/self/mountinfo
}
finish() {
  local status=$?
  trap - EXIT INT TERM
  if [ -s "$logs/summary.txt" ]; then
    echo
    echo "== summary ($mode, $codename, ${commit:0:7})"
    cat "$logs/summary.txt"
  fi
  if [ "$keep" = 1 ]; then
    echo "userland kept: $root (enter: unshare -m chroot $root; mount /proc there first if needed)"
  elif [ -n "$(mounts_under)" ]; then
    echo "fresh_check: something is still mounted under $root; not removing it:" >&2
    mounts_under >&2
  else
    # --one-file-system as well, though nothing is mounted there (above).
    rm -rf --one-file-system -- "$root"
  fi
  echo "logs: $logs"
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT TERM

echo "fresh_check: $mode on Debian $codename, commit $commit"
echo "  mirror $mirror${security:+, security $security}; userland $root"
export FC_ROOT=$root FC_LOGS=$logs FC_MODE=$mode FC_CODENAME=$codename FC_MIRROR=$mirror \
  FC_SECURITY=$security FC_CACHE=$cache FC_REPO=$repo FC_COMMIT=$commit FC_VENV=$venv \
  FC_BARE_TOOLKIT=$bare_toolkit
start=$SECONDS
status=0
unshare --mount --propagation private -- bash "$0" --inner || status=$?
echo "total $(clock $((SECONDS - start)))"
exit $status
