#!/usr/bin/env bash
# Installs what is missing, builds, lays out a demo site in ./demo (on first run) and
# starts Guichet and its web front end in it. Open the URL it prints. Stop with "q" in
# Guichet's console, Ctrl-C, or by closing its window; the front end and the archive
# runner (guichet-batch --archive, every minute) stop with it.
# GUICHET_WEB_LISTEN=ADDR:PORT changes where the front end listens (127.0.0.1:8080).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh
site=demo
if [ ! -d "$site" ]; then
  mkdir -p "$site"/{Guichet,IsapiHalvero,Tasks,Templates,Archives,Agendas,www}
  cp -r tools/demo-site/. "$site"/
  echo "Demo site made in $(pwd)/$site"
fi
# The portal's pages follow the repository (a site made earlier gets them too).
mkdir -p "$site"/www
cp -r build/www/. "$site"/www/
cp build/guichet build/guichet-web build/guichet-batch build/Radiveve.so "$site"/Guichet/
listen="${GUICHET_WEB_LISTEN:-127.0.0.1:8080}"
"$site"/Guichet/guichet-web --listen "$listen" 2>>"$site"/Guichet/guichet-web.log &
web=$!
# The archive runner, as a site's timer would run it: every minute, each archive batch
# file waiting in Tasks/Publications/*/ files its document in Archives.
(
  while sleep 60; do
    "$site"/Guichet/guichet-batch --archive "$site" >>"$site"/Guichet/guichet-batch.log 2>&1 || true
  done
) &
archiver=$!
trap 'kill "$web" "$archiver" 2>/dev/null || true' EXIT
sleep 0.5
if ! kill -0 "$web" 2>/dev/null; then
  echo "guichet-web did not start:" >&2
  tail -n 3 "$site"/Guichet/guichet-web.log >&2
  exit 1
fi
echo "Portal: open http://$listen/ (log on as anna, password dictee; the transcription desk as marie, password frappe)"
echo "Front end log: $(pwd)/$site/Guichet/guichet-web.log"
echo "Archive runner log: $(pwd)/$site/Guichet/guichet-batch.log (every minute)"
echo "Starting $(pwd)/$site/Guichet/guichet (requests go into $site/IsapiHalvero/in)"
"$site"/Guichet/guichet
