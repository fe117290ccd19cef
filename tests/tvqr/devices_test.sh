#!/usr/bin/env bash
# tvqr's device commands on one running machine: the device tree with the function device and its
# child, Plug and Play and power operations, a pipe handle, and a clean shutdown after each script.
set -euo pipefail
# $1: the tvqr binary of a flavor; TVQR_RUNNER: a program to run it with (an emulator in the i386 tree).
binary="$1"
flavor="$2"
tvqr() { ${TVQR_RUNNER:-} "$binary" --flavor "$flavor" "$@"; }
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

tvqr --home "$home/m" init --disc-size 8M >/dev/null

# The tree as JSON: the camera's function device and its child with their identifiers.
tvqr --home "$home/m" --json devtree > "$home/tree.json"
python3 - "$home/tree.json" <<'PY'
import json, sys
tree = json.loads(open(sys.argv[1]).read())
nodes = tree["nodes"]
camera = next(n for n in nodes if n["device_id"] == "USB\\VID_E7A4&PID_0004")
assert camera["state"] == "started", camera["state"]
names = [e["name"] for e in camera["stack"]]
assert "\\Device\\RERAREV-1" in names, names
child = next(n for n in nodes if n["device_id"] == "DAVIZU\\TVQRSCSI")
assert child["depth"] == camera["depth"] + 1
assert child["hardware_ids"] == ["DAVIZU\\TVQRSCSI"], child["hardware_ids"]
assert child["compatible_ids"] == ["TVQRSCSIMPD"], child["compatible_ids"]
assert child["description"] == "USB to SCSI Device"
assert child["stack"][0]["name"] == "\\Device\\TVQRPDO", child["stack"]
PY

# Plug, open, sleep and wake, the camera pulled with the handle open, the program closes it, plug.
cat > "$home/scenario.tvqr" <<'SCRIPT'
plug
open PIPE0
power S3
power S0
ioctl get-config
unplug
close
plug
open PIPE1
ioctl reset-pipe
close
power wait-wake
power S3
power wake
pnp query-remove
pnp cancel-remove
pnp query-stop
pnp stop
pnp start
pnp surprise
plug
devtree
SCRIPT
tvqr --home "$home/m" script "$home/scenario.tvqr" > "$home/out.txt" 2> "$home/err.txt" ||
    { cat "$home/out.txt" "$home/err.txt"; fail "the scenario failed"; }
grep -q "power S3: STATUS_SUCCESS (0x00000000); system S3, camera D3" "$home/out.txt" || fail "no D3 in S3"
grep -q "power S0: STATUS_SUCCESS (0x00000000); system S0, camera D0" "$home/out.txt" || fail "no D0 in S0"
grep -q "wait-wake armed; system S0, camera D2" "$home/out.txt" || fail "wait-wake was not armed"
grep -q "wait-wake completed with STATUS_SUCCESS" "$home/out.txt" || fail "the wake did not complete"
grep -q "pnp surprise: STATUS_SUCCESS (0x00000000); the device is surprise-removed" "$home/out.txt" ||
    fail "no surprise removal"
grep -q "RERAREV-1" "$home/out.txt" || fail "the function device is not back"

# The camera plugged in again while the old stack still has a handle open: the driver serves one
# camera, so the new one waits; the script says so and the machine still shuts down clean.
printf 'open PIPE0\nunplug\nplug\n' > "$home/busy.tvqr"
if tvqr --home "$home/m" script "$home/busy.tvqr" > "$home/out2.txt" 2> "$home/err2.txt"; then
    fail "a plug while the old handle is open should not succeed"
fi
grep -q "could not start it" "$home/err2.txt" || { cat "$home/err2.txt"; fail "no reason given"; }
grep -q "unclean" "$home/err2.txt" && { cat "$home/err2.txt"; fail "leaks at shutdown"; }

# Bad usage.
set +e
tvqr --home "$home/m" power S9 2>/dev/null; [ $? -eq 2 ] || fail "power S9 is bad usage"
tvqr --home "$home/m" pnp explode 2>/dev/null; [ $? -eq 2 ] || fail "pnp explode is bad usage"
tvqr --home "$home/m" close 2>/dev/null; [ $? -eq 2 ] || fail "close without a handle is bad usage"
set -e
echo "PASS"
