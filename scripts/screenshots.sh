#!/usr/bin/env bash
# Takes the README's pictures under a virtual X server with what a desktop
# brings: a window manager (openbox), a tray (trayer) and a notification
# service (dunst) on a session bus of their own. The pictures are taken at a
# scale factor of 1 in docs/screenshots/, and again at 2 (on a screen twice as
# large) in docs/screenshots/scale2/; a folder given as the first argument
# takes the place of docs/screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
out=${1:-docs/screenshots}
for scale in 1 2; do
  dir=$out
  [ "$scale" = 1 ] || dir=$out/scale$scale
  xvfb-run -a -s "-screen 0 $((1280 * scale))x$((960 * scale))x24" dbus-run-session -- bash -c '
    openbox & wm=$!
    trayer --edge top --align right --widthtype request --heighttype pixel --height $((26 * '"$scale"')) --SetDockType true & tray=$!
    dunst & notices=$!
    sleep 2
    status=0
    for mode in "" stats ftp desktop; do
      QT_SCALE_FACTOR='"$scale"' ./build/zk-screenshots "'"$dir"'" $mode || status=1
    done
    kill $notices $tray $wm 2>/dev/null
    exit $status
  '
done
ls -l "$out" "$out"/scale2
