# Shared by check_debs.sh and check_zip.sh (sourced): failures are counted
# and named, every check runs, and the script fails at the end if any did.
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# check_tool_versions NAME COMMAND...: the installed tool, run as COMMAND,
# reports the release's version ($version of the calling script) as its own
# (--version) and, on the virtual library beside it, as the library's.
check_tool_versions() {
  name=$1
  shift
  info=$("$@" --virtual info 2>&1) || fail "$name --virtual info: $info"
  case $info in
    *"Zelvorn DLL $version"*) ;;
    *) fail "version: $name --virtual info reports no 'Zelvorn DLL $version': $info" ;;
  esac
  out=$("$@" --version 2>&1) || fail "$name --version: $out"
  out=$(printf '%s' "$out" | tr -d '\r') # a Windows program's line ends
  [ "$out" = "zelvorn $version" ] || fail "version: $name --version says '$out'"
}

finish() {
  [ "$failures" -eq 0 ] || exit 1
  echo "$1 ok"
}
