#!/usr/bin/env bash
# Makes the spoken test dictation into FOLDER (emptied first): FOLDER/speech.spx, Speex at
# 11025 Hz mono, with the Linux programs espeak-ng, sox and speexenc. The Windows test
# programs under wine cannot start those programs; they read the dictation from this
# folder (GUICHET_DICTATION_DIR), and leave in FOLDER/checks/ the outputs that outside
# readers must accept, which tools/check-dictation-outputs.sh then reads with ffprobe and
# ffmpeg. The text is the one the Linux tests speak.
set -euo pipefail
folder=${1:?usage: make-dictation.sh FOLDER}
for tool in espeak-ng sox speexenc; do
  command -v "$tool" >/dev/null || { echo "$tool missing (Debian: espeak-ng sox speex)" >&2; exit 1; }
done
rm -rf "$folder"
mkdir -p "$folder/checks"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
espeak-ng -w "$work/speech.wav" 'Bonjour, voici une lettre pour le docteur Martin.'
sox "$work/speech.wav" -r 11025 -c 1 -b 16 "$work/s11.wav"
speexenc "$work/s11.wav" "$work/speech.spx" 2>/dev/null
mv "$work/speech.spx" "$folder/speech.spx"
echo "dictation: $folder/speech.spx ($(stat -c %s "$folder/speech.spx") bytes)"
