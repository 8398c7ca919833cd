# Sourced by the memory benchmarks: `memory_report PID TITLE` prints the process's resident set,
# PSS, a breakdown by kind of mapping, which of the calendar-server and keyring libraries are
# mapped and the largest files (LARGEST of them, 12 by default).
# The desktop shell tests call `idle_memory_report PID DESKTOP` once the agenda is shown: with
# PELLORA_MEMORY_REPORT=<seconds> set, it waits so long and reports the idle memory there.
memory_report() { # pid, title
  local pid=$1
  echo "== $2"
  grep -E '^(VmRSS|VmHWM|RssAnon|RssFile|RssShmem|Threads)' "/proc/$pid/status" |
    tr -s ' \t' ' ' | paste -sd ' '
  awk '/^(Rss|Pss|Private_Dirty):/{printf "%s %s kB  ", $1, $2} END{print ""}' \
    "/proc/$pid/smaps_rollup"
  awk '
    /^[0-9a-f]+-[0-9a-f]+ / {
      name = (NF >= 6) ? $6 : "";
      if (name == "[heap]") kind = "heap (main arena)";
      else if (name == "" ) kind = "anonymous (arenas, images, stacks)";
      else if (name ~ /^\[/) kind = "other " name;
      else if (name ~ /memfd:xorg|SYSV/) kind = "X shared memory";
      else if (name ~ /libQt6/) kind = "Qt libraries";
      else if (name ~ /libicudata/) kind = "ICU data";
      else if (name ~ /libicu/) kind = "ICU code";
      else if (name ~ /\.(ttf|otf|ttc|pcf|pcf\.gz)$/ || name ~ /fontconfig/) kind = "fonts and font caches";
      else if (name ~ /\/pellora$/) kind = "pellora";
      else if (name ~ /\.so/) kind = "other libraries";
      else kind = "other files";
      next
    }
    /^Rss:/ { rss[kind] += $2 }
    /^Pss:/ { pss[kind] += $2 }
    /^Private_Dirty:/ { dirty[kind] += $2 }
    /^Anonymous:/ { anon[kind] += $2 }
    END {
      printf "  %-36s %8s %8s %8s %8s\n", "mapping", "RSS kB", "PSS kB", "dirty kB", "anon kB"
      for (k in rss) printf "  %-36s %8d %8d %8d %8d\n", k, rss[k], pss[k], dirty[k], anon[k] | "sort -k1,1"
    }' "/proc/$pid/smaps"
  # libkrb5 and libgcrypt are left out: Qt Network (GSSAPI) and D-Bus (libsystemd) map them too.
  local mapped= lib
  for lib in pellora-eds libecal libedataserver libcamel libsoup libxml2 libnss3 libsqlite3 \
    libsecret; do
    grep -q "/$lib[-.]" "/proc/$pid/maps" && mapped+=" $lib"
  done
  echo "  of the calendar-server and keyring stacks, mapped:${mapped:- none}"
  echo "  largest files (resident, of it dirty):"
  awk '/^[0-9a-f]+-[0-9a-f]+ /{name = (NF >= 6) ? $6 : ""}
    /^Rss:/{if (name ~ /^\//) rss[name] += $2} /^Private_Dirty:/{if (name ~ /^\//) dirty[name] += $2}
    END{for (n in rss) printf "  %8d kB %6d kB  %s\n", rss[n], dirty[n], n}' "/proc/$pid/smaps" |
    sort -rn | head -"${LARGEST:-12}"
}

idle_memory_report() { # pid, desktop
  [ -n "${PELLORA_MEMORY_REPORT:-}" ] || return 0
  sleep "$PELLORA_MEMORY_REPORT"
  echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
  memory_report "$1" "$2, $PELLORA_MEMORY_REPORT s after the agenda was shown"
}
