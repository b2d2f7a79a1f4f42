#!/usr/bin/env bash
# Copies the pictures the tests took (English pages, the frame's window) into docs/images for
# the user guide. Run the tests (and scripts/gui-check.sh for the window) first.
set -euo pipefail
cd "$(dirname "$0")/.."
from=build/default/artifacts
mkdir -p docs/images
for page in ctlOfflineParam ctlDiagnosis ctlMonitor ctlTest ctlAbout; do
  cp "$from/controls/$page-en.png" docs/images/
done
cp "$from/gui/tivframe-test.png" docs/images/frame.png
echo "docs/images updated"
