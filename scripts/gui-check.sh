#!/usr/bin/env bash
# The real-window check: `tivframe gui Test` on the simulated adapter inside a virtual X
# server, driven by the keyboard as a user drives it. It connects, reads object 1217/29, reads
# the page's last-response line through the clipboard and closes the window with Ctrl+Q; the
# frame's screenshot is kept under <build>/artifacts/gui/.
#
# Exit codes: 0 passed, 1 the check failed (what was seen is printed), 2 bad usage,
# 77 skipped (xvfb-run, xdotool, xclip or python3 missing).
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/gui-check.sh [--build DIR]
  --build DIR   the build tree holding frame/tivframe (default build/default)
Runs tivframe's window under Xvfb, connects and reads object 1217/29 on the test page,
and checks the answer and the screenshot. Exit: 0 pass, 1 fail, 2 usage, 77 skipped.
EOF
}

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/default"
inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build) [ $# -ge 2 ] || { usage >&2; exit 2; }; build="$(cd "$2" && pwd)"; shift 2 ;;
    --inside) inside=1; shift ;;  # internal: already under xvfb-run
    -h|--help) usage; exit 0 ;;
    *) echo "gui-check: unknown argument \"$1\"" >&2; usage >&2; exit 2 ;;
  esac
done

frame="$build/frame/tivframe"
artifacts="$build/artifacts/gui"
shot="$artifacts/tivframe-test.png"

if [ "$inside" -eq 0 ]; then
  for tool in xvfb-run xdotool xclip python3; do
    if ! command -v "$tool" >/dev/null; then
      echo "gui-check: skipped, $tool is not installed (scripts/install-deps.sh installs it)"
      exit 77
    fi
  done
  [ -x "$frame" ] || { echo "gui-check: $frame is not built" >&2; exit 1; }
  mkdir -p "$artifacts"
  rm -f "$shot"
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --inside --build "$build"
fi

# ---- inside the virtual X server ----
work="$(mktemp -d)"
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "gui-check: FAILED: $*" >&2
  if [ -s "$work/frame.log" ]; then
    echo "--- tivframe's output ---" >&2
    cat "$work/frame.log" >&2
  fi
  exit 1
}

# An adapter with its firmware running and a device answering object 1217/29.
cat >"$work/scenario.json" <<'EOF'
{"adapters": [{"device": 0, "port": 255, "firmware": "running"}],
 "devices": [{"name": "demo", "objects": [{"obj": 1217, "sub": 29, "value": "0A0B0C0D"}]}]}
EOF

# The time limit only ends a run the script could not close itself.
QT_QPA_PLATFORM=xcb "$frame" --scenario "$work/scenario.json" --gui-seconds 50 \
  --screenshot "$shot" gui Test >"$work/frame.log" 2>&1 &
pid=$!

wid="$(timeout 20 xdotool search --sync --onlyvisible --name "tivframe" | head -n 1)" ||
  fail "no tivframe window appeared within 20 s"
[ -n "$wid" ] || fail "no tivframe window appeared"
# No window manager: focus the window directly.
xdotool windowfocus --sync "$wid"

# The page's keyboard order from the first field (where the page starts):
# ObjectNumber SubNumber Data RecordTime ConnectRequest DisconnectRequest ReadData WriteData
# ReadCyclic AbortCyclic Abort BusCategory LastResponse.
keys() { xdotool key --delay 20 "$@"; }
tabs() { local n=$1 key=${2:-Tab}; for ((i = 0; i < n; i++)); do keys "$key"; done; }

seen=""
# Copies LastResponse (the focus must be on it) until it holds $1 or $2 seconds pass.
wait_answer() {
  local want=$1 deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do
    keys ctrl+a ctrl+c
    seen="$(timeout 2 xclip -o -selection clipboard 2>/dev/null || true)"
    case "$seen" in *"$want"*) return 0 ;; esac
    sleep 0.2
  done
  return 1
}

# Connect; the bus may come up a moment after the window, so press again until answered.
tabs 4  # ObjectNumber -> ConnectRequest
connected=0
for attempt in 1 2 3 4 5; do
  keys space
  tabs 8  # -> LastResponse
  if wait_answer "OnConnectResponse:" 3; then connected=1; break; fi
  tabs 8 shift+Tab  # back to ConnectRequest
done
[ "$connected" -eq 1 ] || fail "no connect answer; LastResponse showed \"$seen\""

tabs 6 shift+Tab  # LastResponse -> ReadData
keys space
tabs 6  # -> LastResponse
wait_answer "ObjectNo=1217" 10 || fail "no answer to the read of 1217/29; LastResponse showed \"$seen\""
echo "gui-check: LastResponse: $seen"

keys ctrl+q
for ((i = 0; i < 100; i++)); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "tivframe did not close on Ctrl+Q"
code=0
wait "$pid" || code=$?
pid=""
[ "$code" -eq 0 ] || fail "tivframe exited with $code"

# The screenshot: a real picture of the window, not an empty or black screen.
python3 - "$shot" <<'EOF' || fail "the screenshot $shot is not a picture of the window"
import struct, sys, zlib

path = sys.argv[1]
data = open(path, "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
assert len(data) > 5000, f"only {len(data)} bytes"
pos, idat = 8, b""
while pos < len(data):
    length, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + length]
    if kind == b"IHDR":
        width, height, depth, colour = struct.unpack(">IIBB", body[:10])
    elif kind == b"IDAT":
        idat += body
    pos += 12 + length
assert depth == 8 and colour in (2, 6), f"depth {depth}, colour type {colour}"
assert width >= 800 and height >= 600, f"{width}x{height}"
bpp = 3 if colour == 2 else 4
raw, stride = zlib.decompress(idat), width * bpp
rows, prev = [], bytearray(stride)
for y in range(height):
    f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for x in range(stride):
        a = line[x - bpp] if x >= bpp else 0
        b, c = prev[x], prev[x - bpp] if x >= bpp else 0
        if f == 1: line[x] = (line[x] + a) & 255
        elif f == 2: line[x] = (line[x] + b) & 255
        elif f == 3: line[x] = (line[x] + (a + b) // 2) & 255
        elif f == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    rows.append(line)
    prev = line
pixel = lambda x, y: tuple(rows[y][x * bpp:x * bpp + 3])
# The window sits at the top left: a light menu bar, and many colours across its pages.
assert sum(pixel(200, 4)) > 3 * 150, f"menu bar pixel {pixel(200, 4)}"
colours = {pixel(x, y) for y in range(0, 600, 7) for x in range(0, 800, 5)}
assert len(colours) >= 8, f"only {len(colours)} colours"
print(f"gui-check: screenshot {width}x{height}, {len(data)} bytes, {len(colours)} colours")
EOF
echo "gui-check: passed; screenshot kept at $shot"
