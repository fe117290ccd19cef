#!/usr/bin/env bash
# tvqr usb --pcap: the capture must dissect cleanly in tshark and show the camera's identity and pipes.
set -euo pipefail
# $1: the tvqr binary; TVQR_RUNNER: a program to run it with (an emulator in the i386 tree).
binary="$1"
tvqr() { ${TVQR_RUNNER:-} "$binary" "$@"; }
if ! command -v tshark >/dev/null; then
    echo "SKIP: tshark is not installed (make setup installs it)"
    exit 77
fi
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT

tvqr --home "$home/m" init --product 0x0015 --disc-size 8M >/dev/null
tvqr --home "$home/m" --pcap "$home/usb.pcap" usb > "$home/usb.txt"
grep -q "ID e7a4:0015" "$home/usb.txt"

tshark -r "$home/usb.pcap" -V > "$home/dissected.txt" 2>&1
if grep -qi "malformed" "$home/dissected.txt"; then
    echo "FAIL: tshark reports a malformed packet"
    grep -i -B5 "malformed" "$home/dissected.txt" | head -40
    exit 1
fi
check() {
    if ! grep -Eq "$1" "$home/dissected.txt"; then
        echo "FAIL: the dissection lacks: $1"
        exit 1
    fi
}
check "idVendor: .*\(0xe7a4\)"
check "idProduct: .*\(0x0015\)"
check "bInterfaceClass: Vendor Specific \(0xff\)"
check "bEndpointAddress: 0x81"
check "bEndpointAddress: 0x01"
check "Transfertype: Bulk \(0x2\)|Transfer Type: Bulk|Bulk-Transfer"
packets=$(tshark -r "$home/usb.pcap" 2>/dev/null | wc -l)
echo "PASS: $packets packets dissected, no malformed packet"
