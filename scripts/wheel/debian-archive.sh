#!/usr/bin/env bash
# Prints the Debian archive and security archive this machine's apt uses
# ("URI SECURITY_URI"), read from /etc/apt/sources.list and sources.list.d
# (one-line and deb822 forms). Entries without "main" are skipped; with none
# found, deb.debian.org serves.
set -euo pipefail
main="" security=""
consider() {  # uri suite components
  local uri=${1%/}
  [[ " $3 " == *" main "* ]] || return 0
  if [[ $2 == *-security || $uri == */debian-security ]]; then
    [[ -n $security ]] || security=$uri
  elif [[ $uri == */debian ]]; then
    [[ -n $main ]] || main=$uri
  fi
}
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [[ -f $f ]] || continue
  while read -r line; do
    line=${line%%#*}
    [[ $line =~ ^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+([^[:space:]]+)(.*)$ ]] || continue
    consider "${BASH_REMATCH[2]}" "${BASH_REMATCH[3]}" "${BASH_REMATCH[4]}"
  done < "$f"
done
for f in /etc/apt/sources.list.d/*.sources; do
  [[ -f $f ]] || continue
  # One paragraph a record; its fields come out as "types|uris|suites|components".
  while IFS='|' read -r types uris suites comps; do
    [[ " $types " == *" deb "* ]] || continue
    for u in $uris; do for s in $suites; do consider "$u" "$s" "$comps"; done; done
  done < <(awk -v RS= -F'\n' '{
      t = u = s = c = ""; off = 0
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^[ \t]*#/ || index($i, ":") == 0) continue
        k = tolower(substr($i, 1, index($i, ":") - 1)); v = substr($i, index($i, ":") + 1)
        gsub(/^[ \t]+|[ \t]+$/, "", v)
        if (k == "types") t = v; else if (k == "uris") u = v; else if (k == "suites") s = v
        else if (k == "components") c = v; else if (k == "enabled" && tolower(v) == "no") off = 1
      }
      if (!off) print t "|" u "|" s "|" c
    }' "$f")
done
[[ -n $main ]] || main=http://deb.debian.org/debian
[[ -n $security ]] || security=${main%/debian}/debian-security
echo "$main $security"
