# Sourced by the scripts: PYTHONS holds one interpreter per CPython 3.9 to 3.13.
PYTHONS=()
pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for minor in 9 10 11 12 13; do
  found=""
  for candidate in "$pyenv_root"/versions/3."$minor".*/bin/python3 "$(command -v python3."$minor" || true)"; do
    if [ -x "$candidate" ]; then found="$candidate"; break; fi
  done
  if [ -z "$found" ]; then echo "no CPython 3.$minor found" >&2; exit 2; fi
  PYTHONS+=("$found")
done
