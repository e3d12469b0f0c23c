#!/usr/bin/env bash
# The same APDUs through this library on the virtual reader, through the
# PC/SC stack with our driver on the virtual reader (the card of
# bench/pcsc/card.json), and through the PC/SC stack with the vpcd driver and
# a vicc card, in one run. One pcscd serves both readers.
#
# pcscd, vpcd and vicc run in a network namespace of their own with only
# loopback up (vpcd listens on every address) and a private /run/pcscd, so
# nothing here meets a PC/SC service of the machine. Every process is started
# here and stopped by its PID.
# Usage: bench/pcsc/compare.sh PROGRAM READER_CONF COUNT [OUTPUT]
#   PROGRAM      the zelvorn_bench_virtual binary
#   READER_CONF  the reader.conf entry of our virtual driver (build/pcsc/reader.conf)
#   COUNT        APDUs of each kind.
set -euo pipefail

program="$(readlink -f "$1")"
reader_conf="$(readlink -f "$2")"
count="${3:-200}"
output="${4:-/dev/stdout}"
here="$(cd "$(dirname "$0")" && pwd)"

skip() { echo "PC/SC comparison skipped: $*" >&2; exit 0; }
[ "$(id -u)" -eq 0 ] || skip "needs root for a private network namespace"
for tool in unshare ip pcscd vicc; do
  command -v "$tool" > /dev/null || skip "$tool is not installed"
done
[ -e /usr/lib/pcsc/drivers/serial/libifdvpcd.so ] || skip "the vpcd driver is not installed"
[ -x "$program" ] || skip "$program is missing"
[ -f "$reader_conf" ] || skip "$reader_conf is missing"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# vicc imports its modules from a folder outside Python's path, and asks for
# the cryptography package under the name Crypto, which Debian ships as
# Cryptodome.
mkdir -p "$work/python"
ln -s /usr/lib/python3/dist-packages/Cryptodome "$work/python/Crypto"
vicc_path="$work/python:/usr/lib/python3/site-packages/virtualsmartcard"

# pcscd's configuration: the system's vpcd entry and ours.
mkdir -p "$work/reader.conf.d"
cp /etc/reader.conf.d/vpcd "$reader_conf" "$work/reader.conf.d/"

cat > "$work/inside.sh" <<'INSIDE'
set -euo pipefail
program="$1"; count="$2"; output="$3"; work="$4"; vicc_path="$5"; scenario="$6"
ip link set lo up
# vpcd writes the length and the APDU in two writes; without quick ACKs each
# APDU waits out the delayed-ACK timer (about 40 ms) on loopback.
# BENCH_QUICKACK=0 leaves them off, to see that cost.
if [ "${BENCH_QUICKACK:-1}" != 0 ]; then
  ip route replace local 127.0.0.0/8 dev lo table local proto kernel scope host src 127.0.0.1 quickack 1
  ip route replace local 127.0.0.1 dev lo table local proto kernel scope host src 127.0.0.1 quickack 1
fi
mkdir -p /run/pcscd
mount -t tmpfs -o mode=0755 tmpfs /run/pcscd

ZELVORN_VIRTUAL_SCENARIO="$scenario" pcscd --foreground -c "$work/reader.conf.d" \
  > "$work/pcscd.log" 2>&1 &
pcscd_pid=$!
for _ in $(seq 100); do [ -S /run/pcscd/pcscd.comm ] && break; sleep 0.1; done
PYTHONPATH="$vicc_path" /usr/bin/python3 /usr/bin/vicc --type iso7816 > "$work/vicc.log" 2>&1 &
vicc_pid=$!

status=0
"$program" compare "$count" "$pcscd_pid" "$vicc_pid" > "$output" || status=$?

kill "$vicc_pid" 2> /dev/null || true
kill "$pcscd_pid" 2> /dev/null || true
wait "$vicc_pid" 2> /dev/null || true
wait "$pcscd_pid" 2> /dev/null || true
if [ "$status" -ne 0 ]; then
  echo "--- pcscd" >&2; tail -n 20 "$work/pcscd.log" >&2 || true
  echo "--- vicc" >&2; tail -n 20 "$work/vicc.log" >&2 || true
fi
exit "$status"
INSIDE

unshare --net --mount --fork bash "$work/inside.sh" "$program" "$count" "$output" "$work" "$vicc_path" \
  "$here/card.json"
