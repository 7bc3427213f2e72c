#!/usr/bin/env bash
# Installs the programs the report tests drive, when they are missing: Chromium
# (each report page is opened in a real browser) and Graphviz (the DOT drawing is
# read by dot itself). Both are Debian packages. Where they cannot be installed
# (no root, no apt-get, no package) it says so and the tests that need them skip.
set -u

missing=()
command -v chromium >/dev/null 2>&1 || missing+=(chromium)
command -v dot >/dev/null 2>&1 || missing+=(graphviz)
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    echo "note: ${missing[*]} not installed, and installing needs root and apt-get; the tests that use them skip" >&2
    exit 0
fi
echo "installing ${missing[*]} for the report tests"
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null; }; then
    echo "note: could not install ${missing[*]}; the tests that use them skip" >&2
fi
exit 0
