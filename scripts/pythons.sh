# Sourced by the scripts: finds the CPython interpreters from 3.9 on that this
# machine has, wherever they are: pyenv's versions (PYENV_ROOT or ~/.pyenv, used
# directly, as its shims answer only for the selected versions), then python3.X
# on PATH, then /usr/bin and /usr/local/bin. Free-threaded builds are left out:
# they cannot load an abi3 module.
#
# Sets PYTHON_VERSIONS (the versions found, oldest first) and PYTHON_FOR[3.X]
# (the interpreter), and puts a link python3.X to each into build/pythons/bin,
# which it prepends to PATH so that nox finds exactly these.
#
# With BREVANE_REQUIRE_PYTHONS="3.9 3.10 ..." a missing version is an error
# (exit 2). Without BREVANE_ANY_PYTHONS=1 all of 3.9 to 3.13 are required and
# PYTHONS lists them in that order (the contract of scripts/valgrind.sh).
BREVANE_MINORS=(9 10 11 12 13 14)  # a later CPython loads the same abi3 wheel: add it here

declare -A PYTHON_FOR=()
PYTHON_VERSIONS=()
_pyenv_root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
for _minor in "${BREVANE_MINORS[@]}"; do
  _want="3.$_minor"
  _candidates=()
  while IFS= read -r _dir; do
    [ -n "$_dir" ] && _candidates+=("$_dir/bin/python$_want")
  done < <(ls -d "$_pyenv_root"/versions/"$_want".* 2>/dev/null | grep -E "/$_want\.[0-9]+$" | sort -rV)
  _candidates+=("$(command -v "python$_want" || true)" "/usr/bin/python$_want" "/usr/local/bin/python$_want")
  for _candidate in "${_candidates[@]}"; do
    [ -x "$_candidate" ] || continue
    case $_candidate in */shims/*) continue ;; esac
    _found=$("$_candidate" -c 'import sys, sysconfig
ok = sys.implementation.name == "cpython" and not sysconfig.get_config_var("Py_GIL_DISABLED")
print("%d.%d" % sys.version_info[:2] if ok else "")' 2>/dev/null || true)
    if [ "$_found" = "$_want" ]; then
      PYTHON_FOR[$_want]=$_candidate
      PYTHON_VERSIONS+=("$_want")
      break
    fi
  done
done

mkdir -p build/pythons/bin
rm -f build/pythons/bin/python3.*
for _version in "${PYTHON_VERSIONS[@]}"; do
  ln -s "${PYTHON_FOR[$_version]}" "build/pythons/bin/python$_version"
done
case ":$PATH:" in
  *":$PWD/build/pythons/bin:"*) ;;
  *) PATH="$PWD/build/pythons/bin:$PATH" ;;
esac
export PATH

_required=${BREVANE_REQUIRE_PYTHONS:-}
[ "${BREVANE_ANY_PYTHONS:-}" = 1 ] || _required=${_required:-3.9 3.10 3.11 3.12 3.13}
for _version in $_required; do
  if [ -z "${PYTHON_FOR[$_version]:-}" ]; then
    echo "no CPython $_version found (looked in $_pyenv_root/versions, PATH, /usr/bin, /usr/local/bin)" >&2
    exit 2
  fi
done
if ((${#PYTHON_VERSIONS[@]} == 0)); then
  echo "no CPython 3.9 or later found" >&2
  exit 2
fi
PYTHONS=()
for _version in 3.9 3.10 3.11 3.12 3.13; do
  [ -n "${PYTHON_FOR[$_version]:-}" ] && PYTHONS+=("${PYTHON_FOR[$_version]}")
done
unset _pyenv_root _minor _want _candidates _candidate _dir _found _version _required
