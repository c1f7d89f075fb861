#!/usr/bin/env bash
# The main job, end to end: installs brevane with its signing extra into the
# venv build/venv-demo (the build tools come in pip's isolated build
# environment; nothing is installed outside the venv but Debian's packages),
# makes a fresh TEST-ONLY certificate chain in build/demo, signs
# examples/pages/sample.html (hash, sign, embed, verify), prints the C2PA
# SDK's validation result, and leaves what it signed in build/demo. Needs CPython 3.10 or later as python3 (or PYTHON=...):
# Debian 12's 3.11, Debian 13's 3.13 and pyenv's interpreters all do.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
venv="$root/build/venv-demo"

bash scripts/setup.sh --build-only
"$python" -c 'import sys; sys.exit(sys.version_info < (3, 10))' || {
  echo "the C2PA SDK's Python binding needs CPython 3.10 or later; $python is older" >&2; exit 2; }

# The venv is remade when the interpreter that made it changes or is gone.
made_by=$("$python" -c 'import sys; print(sys.executable, sys.version)')
if [ "$(cat "$venv/.made-by" 2>/dev/null)" != "$made_by" ] || ! "$venv/bin/python" -c '' 2>/dev/null; then
  rm -rf "$venv"
  "$python" -m venv "$venv"
  echo "$made_by" >"$venv/.made-by"
fi
echo "== installing brevane[c2pa] from $root into $venv =="
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$root[c2pa]"

work="$root/build/demo"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
"$venv/bin/python" "$root/examples/make_test_certs.py" certs
"$venv/bin/python" "$root/examples/hash_sign_embed.py" "$root/examples/pages/sample.html" \
  --cert certs/chain.pem --key certs/signer.key --trust-anchors certs/root.pem -o sample.signed.html
brevane="$venv/bin/brevane"
echo
echo "== the command-line tool: sign the page (by reference, the default), check both forms, show what it says =="
mkdir site
"$brevane" sign --manifest "$root/examples/manifest.json" --cert certs/chain.pem \
  --key certs/signer.key -o site "$root/examples/pages/sample.html"
"$brevane" check --trust-anchors certs/root.pem sample.signed.html site/sample.html
"$brevane" show --trust-anchors certs/root.pem site/sample.html
echo
echo "Signed pages and the test certificates are in $work"
echo "The brevane command is $venv/bin/brevane"
echo "To use it and the module from a shell: source $venv/bin/activate"
