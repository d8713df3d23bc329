#!/usr/bin/env bash
# A sample server merge: generates two small zones under build/sample/ (fresh on every run),
# merges the second into the first with the command-line runner, and shows the two rename lists.
#
# Usage: tools/sample-merge.sh [CHARS]      (default: 2000 characters per zone)
# Needs the release build (cmake --workflow --preset release); ZKQ_BUILD_DIR names another one.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${ZKQ_BUILD_DIR:-$root/build/release}" 2>/dev/null && pwd) || {
  echo "No build folder ${ZKQ_BUILD_DIR:-$root/build/release}; build first: cmake --workflow --preset release" >&2
  exit 1
}
chars=${1:-2000}
genzone=$build/tools/zkq-genzone
cli=$build/app/cli/zkqmerge-cli
for exe in "$genzone" "$cli"; do
  if [ ! -x "$exe" ]; then
    echo "Missing $exe; build first: cmake --workflow --preset release" >&2
    exit 1
  fi
done

sample=$root/build/sample
rm -rf "$sample"
mkdir -p "$sample"

echo "== Two zones of $chars characters; 30 percent of the names clash =="
"$genzone" "$sample/main" --chars "$chars" --seed 1 --clash 0.3
"$genzone" "$sample/slave" --chars "$chars" --seed 2 --clash 0.3

echo
echo "== Server merge of slave into main =="
# From inside the sample folder, so that Log.txt lands there too.
cd "$sample"
"$cli" --program-dir "$sample" server \
  main/Id.db slave/Id.db main/Hum.db slave/Hum.db main/Kem.db slave/Kem.db --suffix ★

# The rename lists are GBK text with CR LF line ends.
show_list() {
  local file=$1
  echo
  if [ -f "$file" ]; then
    echo "== $file: $(wc -l <"$file") lines; the first 10 =="
    head -n 10 "$file" | iconv -f GBK -t UTF-8 | tr -d '\r'
  else
    echo "== $file: not written (nothing was renamed) =="
  fi
}
show_list "ID更名列表.txt"
show_list "人物更名列表.txt"

echo
echo "The merged zone, the rename lists and Log.txt are in $sample."
echo "The desktop window is not part of this build yet: the command-line runner does its work here."
