#!/usr/bin/env bash
# Unpacks the sources of libzstd and zlib into DIR/zstd and DIR/zlib, for the
# builds that compile them with their own compiler (the wheels, the macOS
# check): Debian's source packages of the versions Debian's libzstd-dev and
# zlib1g-dev install, so a wheel decodes as a source build does. apt-get
# fetches them through this machine's own Debian mirrors, into a list and a
# cache of its own under DIR (the system's apt setup is left as it is), and
# checks them against Debian's signed index. Kept in DIR: a second run does
# nothing.
#
#   scripts/compression_sources.sh DIR
set -euo pipefail
dir=$1
ZSTD=1.5.4+dfsg2-5 ZLIB=1:1.2.13.dfsg-1
stamp="zstd $ZSTD, zlib $ZLIB"
[ "$(cat "$dir/versions" 2>/dev/null)" = "$stamp" ] && exit 0

rm -rf "$dir" && mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/apt/sources" "$dir/fetched"
dir=$(cd "$dir" && pwd)
# The system's Debian sources, as source-package sources.
: >"$dir/apt/sources/none.list"
for f in /etc/apt/sources.list.d/*.sources; do
  [ -e "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$dir/apt/sources/$(basename "$f")"
done
[ -e /etc/apt/sources.list ] && sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$dir/apt/sources/system.list"
apt=(apt-get -q -o "Dir::Etc::SourceList=$dir/apt/sources/none.list" -o "Dir::Etc::SourceParts=$dir/apt/sources"
     -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt/cache" -o "APT::Sandbox::User=$(id -un)")
"${apt[@]}" update >"$dir/apt/update.log" 2>&1 || { cat "$dir/apt/update.log"; exit 1; }
(cd "$dir/fetched" && "${apt[@]}" source --download-only "libzstd=$ZSTD" "zlib=$ZLIB") >"$dir/apt/source.log" 2>&1 ||
  { cat "$dir/apt/source.log"; exit 1; }
mkdir "$dir/zstd" "$dir/zlib"
tar -xJf "$dir"/fetched/libzstd_*.orig.tar.xz -C "$dir/zstd" --strip-components=1
tar -xjf "$dir"/fetched/zlib_*.orig.tar.bz2 -C "$dir/zlib" --strip-components=1
rm -rf "$dir/apt" "$dir/fetched"
echo "$stamp" >"$dir/versions"
