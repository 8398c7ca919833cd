# Sourced by the shell tests. A shell that is not installed fails its test: a skip would turn
# the run green without testing anything. PELLORA_ALLOW_SKIP=shells (or "all") makes it a skip
# (ctest's skip code), for a developer's machine without the desktops.
missing() {
  case ",${PELLORA_ALLOW_SKIP:-}," in
  *,shells,* | *,all,*) echo "SKIP: $* (scripts/setup --tests installs it)"; exit 77 ;;
  esac
  echo "FAIL: $* (scripts/setup --tests installs it; PELLORA_ALLOW_SKIP=shells skips instead)"
  exit 1
}
