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
# A check this machine cannot make (no root, no loop device): skipped, and the whole
# test reported to ctest as skipped; where every capability is required, a failure.
skipped=0
skip() {
    if [[ -n ${BRIGHTFOLD_REQUIRE_CAPABILITIES:-} && $BRIGHTFOLD_REQUIRE_CAPABILITIES != 0 ]]; then
        fail "a required capability is missing: $*"
    else
        skipped=$((skipped + 1))
        echo "skipped: $*"
    fi
}

expect() { local name=$1; shift; "$@" || fail "$name"; } # name, command...: passes when the command succeeds

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
check "the table names a deleted file as the card did" 0 "DCIM/100BRGHT/IMG_0002.JPG " "$brightfold" scan "$image" --out "$work/scan-table"
check "save sample" 0 "Saved" "$brightfold" save "$work/scan/brightfold-report.json" --source "$image" --to "$work/saved"
check "save from another source" 1 "could not be saved" "$brightfold" save "$work/scan/brightfold-report.json" --source "$work/plain.img" --to "$work/wrong"
while IFS=$'\t' read -r name _; do
    [[ -z "$name" || "$name" == \#* ]] && continue
    size=$(stat -c %s "$root/sample/files/$name")
    find "$work/saved" -type f -size "+$((size - 1))c" ! -name '*.json' -exec cmp -s -n "$size" "$root/sample/files/$name" {} \; -print | grep -q . || fail "$name was not saved whole"
done < "$root/sample/files/MANIFEST.tsv"
[[ "$before" == "$(sha256sum "$image"; stat -c %Y "$image")" ]] || fail "the scanned image changed"
# The card's directories name what they still describe, deleted files too: a live file, deleted
# ones with a long name, a deleted 8.3 name whose first letter its neighbours give, and a live
# song whose end only its entry tells.
check "scan sample by folder" 0 "DCIM/100BRGHT/" "$brightfold" scan "$image" --by-folder --out "$work/by-folder"
for path in DCIM/100BRGHT/IMG_0002.JPG DCIM/100BRGHT/IMG_0007.HEIC DOCS/SHEET.XLS RECORD/REC_0002.AIFF MUSIC/TONE.MP3; do
    name=${path##*/}
    cmp -s "$work/saved/$path" "$root/sample/files/$name" && [[ $(stat -c %Y "$work/saved/$path") -eq $(( $(stat -c %Y "$root/sample/files/$name") / 2 * 2 )) ]] \
        || fail "$path was not saved under its name with its time"
done

# Earlier work is never written over.
reportSum=$(sha256sum < "$work/scan/brightfold-report.json")
check "scan into a folder with a report" 1 "already holds a scan report" "$brightfold" scan "$image" --out "$work/scan"
check "save into the scan's folder" 0 "Report: $work/scan/brightfold-report-1.json" "$brightfold" save "$work/scan/brightfold-report.json" --source "$image" --to "$work/scan" --types photos
expect "the scan's report is kept" test "$(sha256sum < "$work/scan/brightfold-report.json")" == "$reportSum"

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

# A scan stored from the command line is listed, saves the same files as its report, and
# is refused once its image has changed.
cp "$image" "$work/stored.img"
stored=$("$brightfold" scan "$work/stored.img" --store 2>&1 >/dev/null)
sid=$(sed -n 's/^Stored as scan \([0-9A-F-]\{36\}\).*/\1/p' <<<"$stored")
[[ -n $sid ]] || fail "scan --store printed no id: $stored"
check "the stored scan is listed" 0 "\"path\": \"$work/stored.img\"" "$brightfold" sessions --json
check "save a stored scan" 0 "Saved" "$brightfold" save --session "$sid" --to "$work/saved-session"
while IFS= read -r -d '' file; do
    cmp -s "$file" "$work/saved/${file#"$work/saved-session/"}" || fail "${file#"$work/"} differs from the file saved from the report"
done < <(find "$work/saved-session" -type f ! -name '*.json' -print0)
[[ $(find "$work/saved-session" -type f ! -name '*.json' | wc -l) -eq $(find "$work/saved" -type f ! -name '*.json' | wc -l) ]] \
    || fail "the stored scan saved another number of files than its report"
# A byte written into the image keeps its size: its time and inode tell.
cp "$work/stored.img" "$work/stored.orig" && printf 'Z' | dd of="$work/stored.img" bs=1 seek=50000 conv=notrunc status=none && touch -d '+2 seconds' "$work/stored.img"
check "save from an image changed in place" 1 "The disk image has changed since the scan. Scan it again." "$brightfold" save --session "$sid" --to "$work/saved-changed"
expect "nothing saved from an image changed in place" test ! -e "$work/saved-changed"
mv "$work/stored.orig" "$work/stored.img"
check "an image put back in place is another file" 1 "The disk image has changed since the scan." "$brightfold" save --session "$sid" --to "$work/saved-changed"
printf 'x' >> "$work/stored.img"
check "save from a changed image" 1 "The disk image has changed since the scan. Scan it again." "$brightfold" save --session "$sid" --to "$work/saved-changed"
expect "nothing saved from a changed image" test ! -e "$work/saved-changed"
check "a stored scan whose image moved" 1 "The disk image stored.img isn't where it was. Move it back, or scan it again." \
    bash -c 'mv "$1" "$1.moved" && "$2" save --session "$3" --to "$4"' _ "$work/stored.img" "$brightfold" "$sid" "$work/saved-moved"
check "a path for an id" 1 "is not the id of a stored scan" "$brightfold" save --session "../$id" --to "$work/saved-bad"
check "an id nobody stored" 1 "There is no stored scan with the id" "$brightfold" save --session 0F6B2A5E-3C1D-4E8F-9A7B-FFFFFFFFFFFF --to "$work/saved-bad"
check "a stored scan and a source" 1 "give --session without --source" "$brightfold" save --session "$sid" --source "$image" --to "$work/saved-bad"
check "neither report nor stored scan" 1 "Name either a scan report or a stored scan" "$brightfold" save --to "$work/saved-bad"
check "store and out" 1 "excludes" "$brightfold" scan "$image" --store --out "$work/o5"
unset XDG_DATA_HOME

# A report is input: fields that would lead outside the destination are refused, the rest saved.
hostile() { # ext name folder: a report of one such file at the sample image's first photo
    printf '{"badReads":0,"cancelled":false,"duration":1,"scannedBytes":1,"sourceDescription":"x","totalBytes":1,"files":[{"category":"photos","confidence":"exact","ext":"%s","length":512,"outputPath":"","start":0%s%s}]}' \
        "$1" "${2:+,\"name\":\"$2\"}" "${3:+,\"folder\":\"$3\"}"
}
mkdir -p "$work/box"
hostile "../../../../$work/box/escape8" > "$work/hostile-ext.json"
check "an extension that climbs out" 1 "File 1 was left out: its extension" "$brightfold" save "$work/hostile-ext.json" --source "$image" --to "$work/box/dest"
expect "nothing outside the destination" test -z "$(find "$work/box" -mindepth 1 ! -path "$work/box/dest*")"
for fields in ".bashrc:" "x.desktop:.config/autostart" "X:a/../../X" "photo$(printf '\u202e')gpj.exe:"; do
    hostile bin "${fields%%:*}" "${fields#*:}" > "$work/hostile-name.json"
    rm -rf "$work/box/dest"
    check "the name ${fields%%:*} gives way to the sector name" 0 "keeps only its sector name" \
        "$brightfold" save "$work/hostile-name.json" --source "$image" --to "$work/box/dest"
    expect "only the sector name is written for ${fields%%:*}" test "$(cd "$work/box/dest" && find . -type f ! -name '*.json')" == "./BIN/f0.bin"
done

# Ctrl-C and SIGTERM stop a scan and a save; a save keeps only whole files.
truncate -s 64G "$work/large.img"
interrupt() { # signal, folder to wait for a saved file in (or ""), command...: prints the exit status
    local signal=$1 waitFor=$2 tries=0
    shift 2
    "$@" >"$work/interrupted.out" 2>&1 &
    local pid=$!
    if [[ -n $waitFor ]]; then
        until [[ -n $(find "$waitFor" -name 'f*' 2>/dev/null) || $tries -ge 200 ]]; do sleep 0.05; tries=$((tries + 1)); done
    else
        sleep 1
    fi
    kill -"$signal" $pid
    wait $pid
    echo $?
}
status=$(interrupt INT "" "$brightfold" scan "$work/large.img" --out "$work/cancelled")
[[ $status -eq 130 ]] && grep -q '"cancelled": true' "$work/cancelled/brightfold-report.json" || fail "Ctrl-C (exit $status)"
report() { # start:length ...: a report of mp4 files on the large image, without digests
    printf '{"badReads":0,"cancelled":false,"duration":1,"scannedBytes":68719476736,"sourceDescription":"large","totalBytes":68719476736,"files":['
    local separator=""
    for file in "$@"; do
        printf '%s{"category":"video","confidence":"exact","ext":"mp4","length":%d,"outputPath":"","start":%d}' "$separator" "${file#*:}" "${file%:*}"
        separator=","
    done
    printf ']}'
}
report $(for i in $(seq 0 39); do echo "$((i * 16777216)):16777216"; done) > "$work/large-report.json"
for signal in INT TERM; do
    status=$(interrupt $signal "$work/saved-$signal" "$brightfold" save "$work/large-report.json" --source "$work/large.img" --to "$work/saved-$signal")
    saved=$(find "$work/saved-$signal" -name '*.mp4' | wc -l)
    [[ $status -eq $([[ $signal == INT ]] && echo 130 || echo 143) && $saved -lt 40 ]] && grep -q "Interrupted: saved $saved of 40" "$work/interrupted.out" \
        && [[ -z $(find "$work/saved-$signal" -name '.brightfold-partial*') ]] || fail "SIG$signal during a save (exit $status, $saved saved): $(head -n 5 "$work/interrupted.out")"
done

# A full disk and the card itself, where this machine lets the test mount (root).
if mkdir "$work/small" && mount -t tmpfs -o size=512k tmpfs "$work/small" 2>/dev/null; then
    report 0:102400 16777216:16777216 50331648:102400 > "$work/mixed-report.json"
    check "save onto a full disk" 2 "f32768.mp4 (offset 16777216, 16.8 MB): No space left on device" \
        "$brightfold" save "$work/mixed-report.json" --source "$work/large.img" --to "$work/small/saved"
    expect "a full disk keeps no partial file" test -z "$(find "$work/small" -name '.brightfold-partial*' -o -name f32768.mp4)"
    expect "later small files are saved" test -s "$work/small/saved/MP4/f98304.mp4"
    head -c 600k /dev/zero > "$work/small/filler" 2>/dev/null
    check "scan report onto a full disk" 2 "Could not write the report $work/small/scan/brightfold-report.json: No space left on device" \
        "$brightfold" scan "$image" --out "$work/small/scan"
    rm -f "$work/small/filler"
    check "copies onto a full disk" 2 "could not be copied" "$brightfold" scan "$image" --copy --out "$work/small/copy"
    expect "a full disk keeps no partial copy" test -z "$(find "$work/small" -name '.brightfold-partial*')"
    expect "the scan's report is written" test -s "$work/small/copy/brightfold-report.json"
    umount "$work/small"
    truncate -s 16M "$work/ext4.img" && mkfs.ext4 -q -F "$work/ext4.img" && loop=$(losetup --find --show "$work/ext4.img" 2>/dev/null)
    if [[ -n ${loop:-} ]] && mkdir "$work/card" && mount "$loop" "$work/card"; then
        check "save onto the scanned card" 1 "That folder is on the card you're recovering from ($loop)" \
            "$brightfold" save "$work/scan/brightfold-report.json" --source "$loop" --to "$work/card/recovered"
        expect "nothing written onto the card" test ! -e "$work/card/recovered"
        # A scan's own report and copies are writes too; so is its default folder where the user stands.
        for source in "$loop" "$work/ext4.img"; do
            check "scan --out onto the scanned card ($source)" 1 "That folder is on the card you're recovering from ($source)" \
                "$brightfold" scan "$source" --out "$work/card/scanout" --copy
            check "scan from a folder on the card ($source)" 1 "name one with --out" bash -c 'cd "$1" && "$2" scan "$3"' _ "$work/card" "$brightfold" "$source"
        done
        # A second loop device over the same image is the same card.
        if second=$(losetup --read-only --find --show "$work/ext4.img" 2>/dev/null); then
            check "save onto the card through another loop device" 1 "That folder is on the card you're recovering from ($second)" \
                "$brightfold" save "$work/scan/brightfold-report.json" --source "$second" --to "$work/card/recovered"
            losetup -d "$second"
        fi
        expect "nothing written onto the card by a scan" test -z "$(find "$work/card" -mindepth 1 ! -name lost+found ! -path '*/lost+found/*')"
        umount "$work/card"
    else
        skip "the refusal onto a mounted card (cannot attach or mount a loop device here)"
    fi
    [[ -n ${loop:-} ]] && losetup -d "$loop"
else
    skip "full-disk and card checks (cannot mount a tmpfs here)"
fi
# An exFAT card written by the kernel's FUSE driver, where this machine has it: deleted files
# come back under their long names, in their folders, with their times.
if command -v mkfs.exfat >/dev/null && command -v mount.exfat-fuse >/dev/null && truncate -s 32M "$work/exfat.img" \
    && mkfs.exfat "$work/exfat.img" >/dev/null && exloop=$(losetup --find --show "$work/exfat.img" 2>/dev/null) \
    && mkdir -p "$work/exfat" && mount.exfat-fuse "$exloop" "$work/exfat" >/dev/null 2>&1; then
    mkdir -p "$work/exfat/DCIM/100BRGHT" "$work/exfat/Holiday 2026"
    cp "$root/sample/files/IMG_0001.JPG" "$work/exfat/DCIM/100BRGHT/IMG_0001.JPG"
    cp "$root/sample/files/IMG_0004.JPG" "$work/exfat/Holiday 2026/Sunset over the bay.jpg"
    cp "$root/sample/files/REPORT.PDF" "$work/exfat/Holiday 2026/Tickets and receipts.pdf"
    touch -d "2026-03-01 14:05:08" "$work/exfat/Holiday 2026/Sunset over the bay.jpg" "$work/exfat/Holiday 2026/Tickets and receipts.pdf"
    rm "$work/exfat/Holiday 2026/Sunset over the bay.jpg" "$work/exfat/Holiday 2026/Tickets and receipts.pdf"
    umount "$work/exfat" && losetup -d "$exloop"
    check "exFAT names by folder" 0 "Sunset over the bay.jpg" "$brightfold" scan "$work/exfat.img" --by-folder --out "$work/exfat-scan"
    check "save exFAT files by name" 0 "Saved" "$brightfold" save "$work/exfat-scan/brightfold-report.json" --source "$work/exfat.img" --to "$work/exfat-saved"
    for name in "Sunset over the bay.jpg:IMG_0004.JPG" "Tickets and receipts.pdf:REPORT.PDF"; do
        saved=$(find "$work/exfat-saved" -name "${name%%:*}" -path "*Holiday 2026*" | head -1)
        [[ -n $saved ]] && cmp -s "$saved" "$root/sample/files/${name#*:}" && [[ $(stat -c %Y "$saved") -eq $(date -d "2026-03-01 14:05:08" +%s) ]] \
            || fail "deleted exFAT file ${name%%:*} not saved whole under its name, folder and time (${saved:-not found})"
    done
else
    [[ -n ${exloop:-} ]] && losetup -d "$exloop" 2>/dev/null
    skip "the exFAT card (needs mkfs.exfat, exfat-fuse and a loop device)"
fi
[[ $failed -eq 0 ]] || exit 1
[[ $skipped -eq 0 ]] || { echo "passed, with $skipped groups of checks skipped"; exit 77; }
echo "all passed"
