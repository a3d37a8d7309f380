#!/usr/bin/env bash
# Makes a release's source archive, process-tap-VERSION.tar.gz, from the commit tagged vVERSION
# (what git tracks: no build output, no untracked files), prints its SHA-256 and writes the
# archive's url and sha256 into the Homebrew formula. Refuses unless VERSION is the one set in
# CMakeLists.txt, the top entry of CHANGELOG.md is VERSION's, the tree is clean and HEAD is the
# tag vVERSION.
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

refuse() {
  echo "release.sh: $*" >&2
  exit 1
}

project_version=$(sed -n 's/^project(process-tap VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
[ "$version" = "$project_version" ] || refuse "CMakeLists.txt sets version $project_version, not $version"
top=$(grep -m1 '^## ' CHANGELOG.md || true)
[[ "$top" =~ ^"## [$version] - "[0-9]{4}-[0-9]{2}-[0-9]{2}$ ]] ||
  refuse "the top entry of CHANGELOG.md is '$top', not '## [$version] - DATE'"
[ -z "$(git status --porcelain)" ] || refuse "the tree has changes that are not committed"
tagged=$(git rev-parse -q --verify "refs/tags/v$version^{commit}" || true)
[ -n "$tagged" ] && [ "$tagged" = "$(git rev-parse HEAD)" ] || refuse "HEAD is not the tag v$version"

archive="$dir/process-tap-$version.tar.gz"
git archive --format=tar.gz --prefix="process-tap-$version/" -o "$archive" "v$version"
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
