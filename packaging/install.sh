#!/bin/sh
# Installs Quorvel from the unpacked release archive this script lies in, under a
# prefix (/usr/local unless --prefix says otherwise), or with --uninstall removes
# what it installed there. Every file and directory it makes is recorded in
# PREFIX/share/doc/quorvel/installed-files; an upgrade removes what the new archive
# no longer holds, and --uninstall removes only what that record names.
# Plain sh, for any Linux: the programs in the archive need nothing else.
#   ./install.sh [--prefix DIR]        installs or upgrades
#   ./install.sh [--prefix DIR] --uninstall
set -eu
set -f

usage() {
    echo "usage: $0 [--prefix DIR] [--uninstall]" >&2
    exit 2
}

prefix=/usr/local
uninstall=no
while [ $# -gt 0 ]; do
    case $1 in
        --prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
        --prefix=*) prefix=${1#--prefix=}; shift ;;
        --uninstall) uninstall=yes; shift ;;
        *) usage ;;
    esac
done
case $prefix in
    /*) ;;
    *) echo "$0: the prefix must be an absolute path: $prefix" >&2; exit 2 ;;
esac
prefix=${prefix%/}

here=$(cd "$(dirname "$0")" && pwd)
docdir=share/doc/quorvel
record=$prefix/$docdir/installed-files

# A line of the record is a path under the prefix; a directory's ends in "/". A
# line that could reach outside the prefix is not acted on.
safe_line() {
    case $1 in
        '' | /* | .. | ../* | */.. | */../* | *//*) return 1 ;;
    esac
}

# Removes the files a record names, then its directories that are left empty, the
# deepest first (the record lists each directory before what it holds). A file
# still named in the file `keep` is left: it has just been installed again.
remove_recorded() {
    from=$1
    keep=$2
    while IFS= read -r line; do
        safe_line "$line" || { echo "$0: not removing $line" >&2; continue; }
        case $line in */) continue ;; esac
        if [ -n "$keep" ] && grep -Fxq -- "$line" "$keep"; then
            continue
        fi
        rm -f -- "$prefix/$line"
    done <"$from"
    sed -n '1!G;h;$p' "$from" | while IFS= read -r line; do
        safe_line "$line" || continue
        case $line in
            */) if [ -z "$keep" ] || ! grep -Fxq -- "$line" "$keep"; then
                    rmdir -- "$prefix/$line" 2>/dev/null || true
                fi ;;
        esac
    done
}

if [ "$uninstall" = yes ]; then
    if [ ! -f "$record" ]; then
        echo "Quorvel is not installed under ${prefix:-/} (no $record)."
        exit 0
    fi
    # The record goes first: its directory is one of those to remove.
    saved=$(mktemp)
    mv -- "$record" "$saved"
    remove_recorded "$saved" ""
    rm -f -- "$saved"
    echo "Removed Quorvel from ${prefix:-/}."
    exit 0
fi

for part in sbin/quorvel bin/quorvel-check README.md LICENSE examples/conversation.sh; do
    [ -e "$here/$part" ] || { echo "$0: $here is not an unpacked Quorvel archive" >&2; exit 1; }
done

mkdir -p -- "${prefix:-/}"
new=$(mktemp)
old=$(mktemp)
trap 'rm -f -- "$new" "$old"' EXIT
# Directories an earlier install made stay in the record while they exist.
if [ -f "$record" ]; then
    cp -- "$record" "$old"
    grep -- '/$' "$old" | while IFS= read -r line; do
        if safe_line "$line" && [ -d "$prefix/$line" ]; then
            echo "$line"
        fi
    done >>"$new"
fi

# Makes each missing directory of a path under the prefix, and records it.
make_directories() {
    path=
    saved_ifs=$IFS
    IFS=/
    for part in $1; do
        path=${path:+$path/}$part
        if [ ! -d "$prefix/$path" ]; then
            mkdir -m 0755 -- "$prefix/$path"
            grep -Fxq -- "$path/" "$new" || echo "$path/" >>"$new"
        fi
    done
    IFS=$saved_ifs
}

# Copies beside the target and renames over it, so that a program the mail server
# is running is replaced whole (it keeps running the old one until restarted).
place() {
    source=$1
    target=$2
    mode=$3
    make_directories "$(dirname "$target")"
    cp -- "$source" "$prefix/$target.new"
    chmod "$mode" "$prefix/$target.new"
    mv -f -- "$prefix/$target.new" "$prefix/$target"
    echo "$target" >>"$new"
}

place "$here/sbin/quorvel" sbin/quorvel 0755
place "$here/bin/quorvel-check" bin/quorvel-check 0755
(cd "$here" && find share/man -type f) | sort | while IFS= read -r page; do
    place "$here/$page" "$page" 0644
done
place "$here/README.md" "$docdir/README.md" 0644
place "$here/LICENSE" "$docdir/LICENSE" 0644
(cd "$here" && find examples -type f) | sort | while IFS= read -r file; do
    place "$here/$file" "$docdir/$file" 0644
done

# An upgrade: what the earlier archive installed and this one does not is removed.
echo "$docdir/installed-files" >>"$new"
remove_recorded "$old" "$new"
cp -- "$new" "$record"
chmod 0644 "$record"
echo "Installed $("$here/sbin/quorvel" --version) under ${prefix:-/}:"
echo "  $prefix/sbin/quorvel, $prefix/bin/quorvel-check, the manual pages in $prefix/share/man,"
echo "  the README and the example server in $prefix/$docdir."
echo "To remove it: $here/install.sh --prefix ${prefix:-/} --uninstall"
