#!/usr/bin/env bash
# The packages build reproducibly: scripts/package.sh, run again on a copy of
# the checkout in another folder, makes .deb files identical, byte for byte,
# to those it made in build/packages.
#
#   reproducible-build.sh CHECKOUT PACKAGES_DIR
set -euo pipefail
checkout=$1
packages=$2
first=("$packages"/halvern_*.deb "$packages"/lumaro-language-pack_*.deb)
for deb in "${first[@]}"; do
  [ -f "$deb" ] || { echo "no $deb: run bash scripts/package.sh first"; exit 1; }
done

copy=$(mktemp -d /tmp/reproducible-XXXXXX)
trap 'rm -rf "$copy"' EXIT
# The tracked files and the new ones not ignored, as they are in the checkout.
git -C "$checkout" ls-files -z --cached --others --exclude-standard |
  (cd "$checkout" && tar --null --no-recursion -T - -cf - 2>/dev/null) | tar -xf - -C "$copy"
bash "$copy/scripts/package.sh" "$copy/packages" > "$copy/package.log" 2>&1 ||
  { tail -n 20 "$copy/package.log"; echo "the second build failed"; exit 1; }

status=0
for deb in "${first[@]}"; do
  second=$copy/packages/$(basename "$deb")
  echo "$(sha256sum < "$deb" | cut -c1-64)  $deb"
  echo "$(sha256sum < "$second" 2>/dev/null | cut -c1-64)  $second (built in $copy)"
  if ! cmp -s "$deb" "$second"; then
    echo "DIFFERENT: $(basename "$deb"), in:"
    mkdir -p "$copy/a" "$copy/b"
    dpkg-deb -R "$deb" "$copy/a/${deb##*/}" && dpkg-deb -R "$second" "$copy/b/${deb##*/}" &&
      diff -rq "$copy/a/${deb##*/}" "$copy/b/${deb##*/}" | sed 's/^/  /' || true
    status=1
  fi
done
exit $status
