#!/usr/bin/env bash
# End-to-end checks of the `brightfold` command: the sample card image comes back
# byte for byte, and every bad input ends in one clear line and a non-zero exit.
#   brightfold_cli_test.sh BRIGHTFOLD_BINARY
set -uo pipefail
brightfold=${1:?usage: brightfold_cli_test.sh BRIGHTFOLD_BINARY}
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { failed=$((failed + 1)); echo "FAILED: $*"; }

check() { # name, expected exit code, text the output must contain, command...
    local name=$1 expected=$2 text=$3 output status
    shift 3
    output=$("$@" 2>&1)
    status=$?
    [[ $status -eq $expected && "$output" == *"$text"* && "$output" != *"terminate called"* && "$output" != *"Sanitizer"* ]] || fail "$name (exit $status): $(head -c 2000 <<<"$output")"
}

touch "$work/empty.img"
printf 'x' > "$work/plain.img"
printf '{"badReads": 0, "cancelled": false, "dur' > "$work/truncated.json"
printf '{"badReads":0,"cancelled":false,"duration":1,"files":[],"scannedBytes":1,"sourceDescription":"x"}' > "$work/incomplete.json"
check "missing source" 1 "brightfold: Could not open $work/missing.img: No such file or directory" "$brightfold" scan "$work/missing.img" --out "$work/o1"
check "empty source" 1 "brightfold: The selected source reports a size of zero bytes." "$brightfold" scan "$work/empty.img" --out "$work/o3"
check "unknown type" 1 'Unknown file type "pictures"' "$brightfold" scan "$work/plain.img" --types photos,pictures --out "$work/o4"
check "truncated report" 1 "The report is not valid JSON" "$brightfold" save "$work/truncated.json" --source "$work/plain.img" --to "$work/s1"
check "incomplete report" 1 'The report is missing "totalBytes"' "$brightfold" save "$work/incomplete.json" --source "$work/plain.img" --to "$work/s2"

# The sample card: every deleted and kept file comes back whole, byte for byte or as
# the start of a copy whose end the format cannot tell exactly; the image is never changed.
"$root/scripts/make-sample-image" "$work/sample" >/dev/null || { echo "FAILED: could not build the sample image"; exit 1; }
image="$work/sample/card.img"
before=$(sha256sum "$image"; stat -c %Y "$image")
check "scan sample as json" 0 '"files": [' "$brightfold" scan "$image" --json --out "$work/scan"
check "save sample" 0 "Saved" "$brightfold" save "$work/scan/brightfold-report.json" --source "$image" --to "$work/saved"
check "save from another source" 1 "could not be saved" "$brightfold" save "$work/scan/brightfold-report.json" --source "$work/plain.img" --to "$work/wrong"
while IFS=$'\t' read -r name _; do
    [[ -z "$name" || "$name" == \#* ]] && continue
    size=$(stat -c %s "$root/sample/files/$name")
    find "$work/saved" -type f -size "+$((size - 1))c" ! -name '*.json' -exec cmp -s -n "$size" "$root/sample/files/$name" {} \; -print | grep -q . || fail "$name was not saved whole"
done < "$root/sample/files/MANIFEST.tsv"
[[ "$before" == "$(sha256sum "$image"; stat -c %Y "$image")" ]] || fail "the scanned image changed"

# Stored scans: listed newest first from the store, a damaged record hides only itself.
export XDG_DATA_HOME="$work/data"
check "no stored scans" 0 "No stored scans in $work/data/Brightfold Recover/Scans" "$brightfold" sessions
store="$work/data/Brightfold Recover/Scans"
id=0F6B2A5E-3C1D-4E8F-9A7B-112233445566
mkdir -p "$store/$id" "$store/0F6B2A5E-3C1D-4E8F-9A7B-000000000000"
printf '{"id":"%s","createdAt":"2026-03-01T14:05:09Z","sourceName":"EOS_DIGITAL","source":{"disk":{"deviceIdentifier":"sdb","sizeBytes":64000000000,"mediaName":"SD SL64G","volumeNames":["EOS_DIGITAL"]}},"report":{"badReads":0,"cancelled":false,"duration":1,"files":[{"category":"photos","confidence":"exact","ext":"jpg","length":4096,"outputPath":"","start":1048576}],"scannedBytes":1,"sourceDescription":"\/dev\/sdb","totalBytes":1}}' "$id" > "$store/$id/scan.json"
printf '{"id":"0F6B2A5E' > "$store/0F6B2A5E-3C1D-4E8F-9A7B-000000000000/scan.json"
check "stored scans" 0 "$id  2026-03-01T14:05:09Z       1  EOS_DIGITAL (64 GB, card sdb)" "$brightfold" sessions
check "stored scans as json" 0 '"filesFound": 1' "$brightfold" sessions --json
unset XDG_DATA_HOME

# Ctrl-C cancels through the engine and still writes the report.
truncate -s 64G "$work/large.img"
"$brightfold" scan "$work/large.img" --out "$work/cancelled" >/dev/null 2>&1 &
pid=$!
sleep 1
kill -INT $pid
wait $pid
status=$?
[[ $status -eq 130 ]] && grep -q '"cancelled": true' "$work/cancelled/brightfold-report.json" || fail "Ctrl-C (exit $status)"
[[ $failed -eq 0 ]] && echo "all passed"
