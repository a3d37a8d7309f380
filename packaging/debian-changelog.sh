#!/bin/sh
# Writes the Debian package's changelog.gz from CHANGELOG.md (Keep a Changelog): one entry per
# released version, newest first, each heading an item over its bullet points. Debian's tools
# (lintian, apt-listchanges) read this format and no other.
# Usage: debian-changelog.sh CHANGELOG.md PACKAGE "NAME <MAIL>" OUTPUT.gz
set -eu
awk -v pkg="$2" -v maintainer="$3" '
  function finish() {
    if (version == "") return
    cmd = "date -u -R -d '" day "'"
    cmd | getline stamp
    close(cmd)
    printf "\n -- %s  %s\n", maintainer, stamp
    version = ""
  }
  /^## \[[0-9]/ {
    finish()
    if (entries++) print ""
    version = $2; gsub(/[][]/, "", version)
    day = $4
    printf "%s (%s) unstable; urgency=medium\n\n", pkg, version
    next
  }
  /^## / { finish(); next }  # [Unreleased]: nothing released to describe
  version == "" { next }
  /^### / { sub(/^### /, ""); printf "  * %s:\n", $0; next }
  /^- / { sub(/^- /, ""); printf "    - %s\n", $0; next }
  /^  [^ ]/ { sub(/^  /, ""); printf "      %s\n", $0; next }
  END { finish() }
' "$1" | gzip -9n >"$4"
