#!/usr/bin/env bash
# tvqr scsi: a READ(10) of 100 blocks crosses the bus as the recovery sequence, the command block and
# bulk chunks of 65536, 65536, 65536 and 8192 bytes; a camera that never answers times the request out
# (after 900 virtual seconds; 600 in the 9x build) in a few seconds of wall time.
set -euo pipefail
# $1: the tvqr binary; $2: its flavor; $3: the time-out in whole virtual seconds; TVQR_RUNNER: a
# program to run it with (an emulator in the i386 tree).
binary="$1"
flavor="$2"
timeout="$3"
tvqr() { ${TVQR_RUNNER:-} "$binary" --flavor "$flavor" "$@"; }
if ! command -v tshark >/dev/null; then
    echo "SKIP: tshark is not installed (make setup installs it)"
    exit 77
fi
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

tvqr --home "$home/m" init --disc-size 8M >/dev/null
tvqr --home "$home/m" --pcap "$home/read.pcap" scsi read 0 100 --out "$home/data.bin" > "$home/out.txt"
grep -q "SRB_STATUS_SUCCESS (0x01), scsi GOOD (0x00), 204800 bytes" "$home/out.txt" || { cat "$home/out.txt"; fail "read"; }
[ "$(stat -c %s "$home/data.bin")" = 204800 ] || fail "the data file"

# Transfers after the last SET_CONFIGURATION: type, direction/endpoint, length, setup request type.
tshark -r "$home/read.pcap" -T fields -e usb.transfer_type -e usb.urb_type -e usb.endpoint_address \
    -e usb.data_len -e usb.bmRequestType -e usb.setup.bRequest 2>/dev/null > "$home/fields.txt"
# The command blocks (class requests 0x21) in order: the recovery's reset, REQUEST SENSE, TEST UNIT
# READY, then the READ(10).
commands=$(awk -F'\t' '$2=="'"'"'S'"'"'" && $5=="0x21" {print $4}' "$home/fields.txt" | tr '\n' ' ')
[ "$commands" = "6 6 6 10 " ] || fail "command blocks sent: $commands"
# The data of the READ: the last four bulk IN completions.
chunks=$(awk -F'\t' '$1=="0x03" && $2=="'"'"'C'"'"'" && $3=="0x81" {print $4}' "$home/fields.txt" | tail -4 | tr '\n' ' ')
[ "$chunks" = "65536 65536 65536 8192 " ] || fail "bulk chunks: $chunks"

start=$(date +%s)
set +e
printf 'fault "hang on 00"\nscsi tur\n' | tvqr --home "$home/m" script - > "$home/hang.txt" 2>&1
code=$?
set -e
took=$(( $(date +%s) - start ))
[ $code -eq 1 ] || { cat "$home/hang.txt"; fail "the timed-out request should fail (exit $code)"; }
grep -q "SRB_STATUS_COMMAND_TIMEOUT (0x0b), scsi BUSY (0x08), 0 bytes, $timeout.0" "$home/hang.txt" ||
    { cat "$home/hang.txt"; fail "no time-out after $timeout s"; }
[ $took -lt 60 ] || fail "the time-out took $took s of wall time"
echo "PASS"
