#!/usr/bin/env bash
# Checks what scripts/dev.sh release made in a directory (build-release/): the
# three files carry the version, the programs in the archive have no shared
# library and hold the example server's conversation, the README's, in a root that
# holds nothing but them and the example; install.sh installs, upgrades and removes
# all it installed; the RPM passes rpmlint, installs under rpm --root into an empty
# root where the installed filter holds the same conversation, and its removal
# leaves no file behind. Prints what it checked; any failure ends it with status 1.
# Usage: scripts/release-check.sh DIRECTORY VERSION
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: $0 DIRECTORY VERSION" >&2
  exit 2
fi
dir=$(realpath "$1")
version=$2
here=$(cd "$(dirname "$0")/.." && pwd)
arch=$(uname -m)
archive="$dir/quorvel-$version-linux-$arch.tar.gz"
rpm_file="$dir/quorvel-$version-1.$arch.rpm"
deb_file="$dir/quorvel_$version-1_$(dpkg --print-architecture).deb"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "release check failed: $*" >&2
  exit 1
}

for artifact in "$archive" "$rpm_file" "$deb_file"; do
  [[ -f $artifact ]] || fail "$artifact is missing"
  echo "$(basename "$artifact"): $(stat -c %s "$artifact") bytes"
done

# Whether the output $2 is the conversation the README $1 shows (diff tells where
# not). The "Reading list" records come in the order the file system lists the
# directories, so they are compared as a set.
conversation_matches() {
  local readme=$1 output=$2
  awk '/^\(start\)$/ { shown = 1 } shown { print } /^\(exit status/ { shown = 0 }' \
    "$readme" >"$work/expected"
  [[ -s $work/expected ]] || fail "$readme shows no conversation"
  diff <(grep -v '\] Reading list ' "$work/expected") <(grep -v '\] Reading list ' "$output") &&
    diff <(grep '\] Reading list ' "$work/expected" | sort) \
         <(grep '\] Reading list ' "$output" | sort)
}

# Holds the example conversation with a filter inside a root: $1 the root, $2 the
# server directory and $3 the filter, both as the root sees them, $4 the
# conversation script outside it, whose example server has the same queue.
converse_in_root() {
  local root=$1 server=$2 filter=$3 script=$4
  cat >"$work/in-root" <<EOF
#!/bin/sh
exec unshare --root="$root" --wd="$server" "$filter"
EOF
  chmod +x "$work/in-root"
  bash "$script" "$work/in-root" >"$work/conversation"
}

echo "== the archive"
tar -C "$work" -xzf "$archive"
unpacked="$work/quorvel-$version-linux-$arch"
for program in sbin/quorvel bin/quorvel-check; do
  description=$(file -b "$unpacked/$program")
  [[ $description == *"static-pie linked"* || $description == *"statically linked"* ]] ||
    fail "$program is not linked statically: $description"
  # No program interpreter and no shared library named: nothing to load at start.
  ! readelf -lW "$unpacked/$program" | grep -q 'INTERP' || fail "$program asks for a loader"
  ! readelf -dW "$unpacked/$program" | grep -q '(NEEDED)' || fail "$program needs a library"
  echo "$program: ${description%%,*}, $(grep -oE 'static-pie linked|statically linked' <<<"$description")"
done
[[ $("$unpacked/sbin/quorvel" --version) == "quorvel $version" ]] || fail "quorvel --version"
[[ $("$unpacked/bin/quorvel-check" --version) == "quorvel-check $version" ]] ||
  fail "quorvel-check --version"

# A root with nothing but the two programs and the example server: no library, no
# /proc, no /dev, no /etc.
root="$work/empty-root"
mkdir "$root"
cp "$unpacked/sbin/quorvel" "$unpacked/bin/quorvel-check" "$root/"
cp -R "$unpacked/examples/server" "$root/server"
converse_in_root "$root" /server /quorvel "$unpacked/examples/conversation.sh"
conversation_matches "$unpacked/README.md" "$work/conversation" ||
  fail "the conversation in an empty root is not the README's"
status=0
unshare --root="$root" --wd=/server /quorvel-check Queue/1004.msg >"$work/check" || status=$?
[[ $status -eq 1 ]] || fail "quorvel-check exited with $status on a refused message, not 1"
grep -qx '  reply:   1 ERROR "You are not allowed to post messages on this list"' "$work/check" ||
  fail "quorvel-check gave another reply than the filter's"
echo "in an empty root: the README's conversation, and quorvel-check's reply to Queue/1004.msg"

# install.sh under a prefix that does not exist yet, twice (the second is an
# upgrade), then --uninstall: nothing of it may stay.
prefix="$work/prefix/local"
sh "$unpacked/install.sh" --prefix "$prefix" >/dev/null
sh "$unpacked/install.sh" --prefix "$prefix" >/dev/null
for file in sbin/quorvel bin/quorvel-check share/man/man8/quorvel.8.gz \
            share/man/man1/quorvel-check.1.gz share/doc/quorvel/README.md \
            share/doc/quorvel/LICENSE share/doc/quorvel/examples/server/Queue/1004.msg; do
  [[ -f $prefix/$file ]] || fail "install.sh did not install $file"
done
[[ $("$prefix/sbin/quorvel" --version) == "quorvel $version" ]] || fail "installed quorvel"
sh "$unpacked/install.sh" --prefix "$prefix" --uninstall >/dev/null
left=$(find "$prefix" -mindepth 1)
[[ -z $left ]] || fail "install.sh --uninstall left: $left"
echo "install.sh: installed, installed again, removed, nothing left"

echo "== the RPM"
[[ $(rpm -qp --qf '%{NAME} %{VERSION} %{RELEASE} %{ARCH}' "$rpm_file") == "quorvel $version 1 $arch" ]] ||
  fail "the RPM's name, version, release or architecture"
# It requires only features of rpm itself, so it installs on an empty root.
if rpm -qpR "$rpm_file" | grep -v '^rpmlib(' | grep -q .; then
  fail "the RPM requires more than rpm itself: $(rpm -qpR "$rpm_file" | tr '\n' ' ')"
fi
# rpmlint fails on any error (packaging/rpmlint.toml filters the two the design
# makes); its warnings are shown.
rpmlint -c "$here/packaging/rpmlint.toml" "$rpm_file" || fail "rpmlint reports an error"

rpm_root="$work/rpm-root"
mkdir "$rpm_root"
rpm --root "$rpm_root" --dbpath /var/lib/rpm -i "$rpm_file"
rpm --root "$rpm_root" --dbpath /var/lib/rpm -V quorvel || fail "rpm -V after installing"
docdir=/usr/share/doc/quorvel
converse_in_root "$rpm_root" "$docdir/examples/server" /usr/sbin/quorvel \
  "$rpm_root$docdir/examples/conversation.sh"
conversation_matches "$rpm_root$docdir/README.md" "$work/conversation" ||
  fail "the installed filter's conversation is not the README's"
rpm --root "$rpm_root" --dbpath /var/lib/rpm -e quorvel
left=$(find "$rpm_root" -mindepth 1 ! -type d ! -path "$rpm_root/var/lib/rpm/*")
[[ -z $left ]] || fail "rpm -e left: $left"
echo "installed under rpm --root into an empty root: the README's conversation; removed, no file left"
echo "release check passed"
