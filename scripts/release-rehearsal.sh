#!/usr/bin/env bash
# Rehearses a release of the version CMakeLists.txt sets, without touching this repository: in a
# throwaway clone of HEAD (DIR/clone) it checks that scripts/release.sh refuses a changelog that
# does not lead with the version, an untagged HEAD and a tree with changes, then makes the release
# commit there (the changelog's entry for the version on top), tags it and runs release.sh, which
# leaves process-tap-VERSION.tar.gz and the formula it wrote (process-tap.rb) in DIR.
# Usage: scripts/release-rehearsal.sh DIR
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: scripts/release-rehearsal.sh DIR" >&2
  exit 2
fi
dir=$(mkdir -p "$1" && cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(process-tap VERSION \([^ )]*\).*/\1/p' "$root/CMakeLists.txt")
clone="$dir/clone"
archive="$dir/process-tap-$version.tar.gz"

# Tags stay behind: a tag of the version that the repository may hold is not this rehearsal's.
git clone -q --no-local --no-tags "$root" "$clone"
cd "$clone"
git checkout -q --detach "$(git -C "$root" rev-parse HEAD)"
git config user.name "release rehearsal"
git config user.email "rehearsal@process-tap.invalid"
cp Formula/process-tap.rb "$dir/process-tap.rb"

refused() {  # refused WHY: release.sh must fail, saying WHY, and make no archive
  local err
  if err=$(PT_FORMULA="$dir/process-tap.rb" bash scripts/release.sh "$version" "$dir" 2>&1); then
    echo "release-rehearsal.sh: release.sh did not refuse ($1)" >&2
    exit 1
  fi
  if [[ "$err" != *"$1"* ]] || [ -e "$archive" ]; then
    echo "release-rehearsal.sh: release.sh refused otherwise than for '$1': $err" >&2
    exit 1
  fi
}

git tag "v$version"
if ! grep -m1 '^## ' CHANGELOG.md | grep -q "^## \[$version\] - "; then
  refused "the top entry of CHANGELOG.md"
fi
git tag -d "v$version" >/dev/null

# The release commit: what is unreleased becomes the version's entry, or goes when the version
# already has one.
if grep -q "^## \[$version\] - " CHANGELOG.md; then
  awk '/^## \[Unreleased\]/ { skip = 1; next } /^## / { skip = 0 } /^\[Unreleased\]:/ { next }
       !skip' CHANGELOG.md >CHANGELOG.md.new
else
  sed "s/^## \[Unreleased\]$/## [$version] - $(date -u +%F)/" CHANGELOG.md >CHANGELOG.md.new
fi
mv CHANGELOG.md.new CHANGELOG.md
git commit -q -am "Release $version" || true

refused "HEAD is not the tag v$version"
git tag "v$version"
echo >>README.md
refused "changes that are not committed"
git checkout -q -- README.md

PT_FORMULA="$dir/process-tap.rb" bash scripts/release.sh "$version" "$dir"
