#!/usr/bin/env bash
# Installs what is missing, builds, lays out a demo site in ./demo (on first run) and
# starts Guichet in it. Stop it with "q" in the console, Ctrl-C, or by closing its window.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh
site=demo
if [ ! -d "$site" ]; then
  mkdir -p "$site"/{Guichet,IsapiHalvero,Tasks,Templates,Archives,Agendas}
  cp -r tools/demo-site/. "$site"/
  echo "Demo site made in $(pwd)/$site"
fi
cp build/guichet build/Radiveve.so "$site"/Guichet/
echo "Starting $(pwd)/$site/Guichet/guichet (requests go into $site/IsapiHalvero/in)"
exec "$site"/Guichet/guichet
