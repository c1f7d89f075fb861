#!/usr/bin/env bash
# The main job, end to end: installs brevane with its signing extra into a
# venv, makes a fresh TEST-ONLY certificate chain in a temporary directory,
# signs examples/pages/sample.html (hash, sign, embed, verify) and prints the
# C2PA SDK's validation result. Needs CPython 3.10 or later as python3.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh --build-only
python=${PYTHON:-python3}
venv="$root/build/venv-demo"

"$python" -c 'import sys; sys.exit(sys.version_info < (3, 10))' || {
  echo "the C2PA SDK's Python binding needs CPython 3.10 or later" >&2; exit 2; }
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "$root[c2pa]" cryptography

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$venv/bin/python" "$root/examples/make_test_certs.py" certs
"$venv/bin/python" "$root/examples/hash_sign_embed.py" "$root/examples/pages/sample.html" \
  --cert certs/chain.pem --key certs/signer.key --trust-anchors certs/root.pem -o sample.signed.html
echo
echo "== the same page, checked with the command-line tool =="
"$venv/bin/brevane" check --trust-anchors certs/root.pem sample.signed.html
