#!/usr/bin/env bash
# Makes a release's source archive, process-tap-VERSION.tar.gz, from the last commit (what git
# tracks: no build output, no untracked files), prints its SHA-256 and writes the archive's url
# and sha256 into the Homebrew formula. VERSION must be the one set in CMakeLists.txt and have an
# entry in CHANGELOG.md.
# Usage: scripts/release.sh VERSION [DIR]   (DIR: where the archive goes; build/ if not given)
# PT_FORMULA=FILE writes another copy of the formula instead of Formula/process-tap.rb.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: scripts/release.sh VERSION [DIR]" >&2
  exit 2
fi
version=$1
dir=${2:-$(dirname "$0")/../build}
dir=$(mkdir -p "$dir" && cd "$dir" && pwd)
formula=$(realpath "${PT_FORMULA:-$(dirname "$0")/../Formula/process-tap.rb}")
cd "$(dirname "$0")/.."

project_version=$(sed -n 's/^project(process-tap VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
if [ "$version" != "$project_version" ]; then
  echo "release.sh: CMakeLists.txt sets version $project_version, not $version" >&2
  exit 1
fi
if ! grep -q "^## \[$version\] - " CHANGELOG.md; then
  echo "release.sh: CHANGELOG.md has no entry '## [$version] - DATE'" >&2
  exit 1
fi
if ! git diff --quiet HEAD -- . ":(exclude)Formula/process-tap.rb"; then
  echo "release.sh: note: the archive holds the last commit, without the changes not committed" >&2
fi

archive="$dir/process-tap-$version.tar.gz"
git archive --format=tar.gz --prefix="process-tap-$version/" -o "$archive" HEAD
if command -v sha256sum >/dev/null; then
  sha256=$(sha256sum "$archive" | cut -d' ' -f1)
else
  sha256=$(shasum -a 256 "$archive" | cut -d' ' -f1)
fi

url="https://github.com/brindlex/process-tap/releases/download/v$version/process-tap-$version.tar.gz"
sed -e "s|^  url \".*\"$|  url \"$url\"|" -e "s|^  sha256 \".*\"$|  sha256 \"$sha256\"|" \
  "$formula" >"$formula.new"
mv "$formula.new" "$formula"
if ! grep -q "^  sha256 \"$sha256\"$" "$formula" || ! grep -q "^  url \"$url\"$" "$formula"; then
  echo "release.sh: $formula has no url and sha256 lines to write" >&2
  exit 1
fi

echo "$sha256  $archive"
