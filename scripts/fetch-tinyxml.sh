#!/usr/bin/env bash
# Fetches TinyXML 2.6.2 from Debian's source package into a git-ignored cache, checks the pinned
# sha256 of its tarballs and applies Debian's patches. Leaves the machine's apt configuration alone.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=$top/third_party/cache
out=$cache/tinyxml
version=2.6.2-6+deb12u1
orig=tinyxml_2.6.2.orig.tar.gz
deb=tinyxml_${version}.debian.tar.xz
pins=$top/third_party/tinyxml.sha256

[ -f "$out/.done-$version" ] && exit 0

mkdir -p "$cache/apt/lists/partial" "$cache/apt/archives/partial" "$cache/src"
# The mirror is the one this machine's own apt sources name.
uri=$(grep -hoE '^URIs: *http[^ ]*debian/?$' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1 | awk '{print $2}')
[ -n "$uri" ] || uri=$(grep -hoE '^deb +http[^ ]*debian/? ' /etc/apt/sources.list 2>/dev/null | head -n1 | awk '{print $2}')
[ -n "$uri" ] || uri=http://deb.debian.org/debian
seccuri=${uri%/debian}/debian-security
printf 'deb-src %s bookworm main\ndeb-src %s bookworm-updates main\ndeb-src %s bookworm-security main\n' \
  "$uri" "$uri" "$seccuri" > "$cache/apt/sources.list"

aptopts=(-o Dir::Etc::SourceList="$cache/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
         -o Dir::State::Lists="$cache/apt/lists" -o Dir::Cache="$cache/apt"
         -o Debug::NoLocking=1 -o APT::Sandbox::User=root -qq)
if ! ( cd "$cache/src" && sha256sum -c --status "$pins" 2>/dev/null ); then
  # A mirror mid-sync may fail one index; the download and the pinned checksums decide.
  apt-get "${aptopts[@]}" update >/dev/null 2>&1 || true
  ( cd "$cache/src" && apt-get "${aptopts[@]}" source --download-only "tinyxml=$version" >/dev/null )
  ( cd "$cache/src" && sha256sum -c --quiet "$pins" ) || { echo "fetch-tinyxml: checksum mismatch" >&2; exit 1; }
fi

rm -rf "$out" && mkdir -p "$out"
tar -xzf "$cache/src/$orig" -C "$out" --strip-components=1
tar -xJf "$cache/src/$deb" -C "$out"
while read -r p; do
  p=${p%%#*}; p=$(echo "$p" | awk '{print $1}')
  [ -n "$p" ] || continue
  patch -s -d "$out" -p1 < "$out/debian/patches/$p"
done < "$out/debian/patches/series"
touch "$out/.done-$version"
