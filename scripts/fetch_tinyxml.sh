#!/usr/bin/env bash
# Fetches the distribution's TinyXML source package (patches applied) into DEST, for the Windows
# build, which compiles it with MinGW as a static library. Nothing of it is committed.
# usage: fetch_tinyxml.sh DEST
set -euo pipefail
dest=$1
[ -f "$dest/tinyxml.cpp" ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

# apt-get source needs source entries: add them beside the binary ones when the machine has none.
if ! grep -rqsE '^(deb-src |Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  list=/etc/apt/sources.list.d/orbu-deb-src.sources
  {
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] && [ "$f" != "$list" ] && grep -q 'debian' "$f" && sed 's/^Types: deb$/Types: deb-src/' "$f" && echo
    done
  } | "${sudo_cmd[@]}" tee "$list.tmp" >/dev/null
  if [ -s /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*debian.*\)/deb-src \1/p' /etc/apt/sources.list | "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/orbu-deb-src.list >/dev/null
  fi
  "${sudo_cmd[@]}" mv "$list.tmp" "$list"
  "${sudo_cmd[@]}" apt-get update -qq
fi

mkdir -p "$(dirname "$dest")"
work=$(mktemp -d "$(dirname "$dest")/tinyxml-fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source -qq tinyxml >/dev/null 2>&1) || (cd "$work" && apt-get source tinyxml)
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'tinyxml-*' | head -n 1)
[ -n "$src" ] && [ -f "$src/tinyxml.cpp" ] || { echo "fetch_tinyxml: no TinyXML source unpacked" >&2; exit 1; }
rm -rf "$dest"
mv "$src" "$dest"
