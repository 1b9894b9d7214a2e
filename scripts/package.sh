#!/usr/bin/env bash
# Builds the two Debian packages into build/packages/:
#   halvern_<version>_<arch>.deb               /opt/veldane/Halvern.app, halvern(1)
#   lumaro-language-pack_<version>_<arch>.deb  the plug-in and language resources,
#                                              under the pack link path
# from the plain build in build/ (set up and built first, as scripts/build.sh
# does), with Debian's own tools, and checks both with lintian.
# The version is the latest entry of packaging/debian/changelog.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build

root=$PWD
stage=$root/build/debian-stage
out=$root/build/packages
rm -rf "$stage" "$out"
mkdir -p "$stage" "$out"
cp -r packaging/debian "$stage/debian"

# `cmake --install` lays out each package's files; Halvern.app and the pack,
# which have fixed places, then move from under the prefix to the top.
for package in halvern lumaro-language-pack; do
  tree=$stage/debian/$package
  DESTDIR=$tree cmake --install build --prefix /usr --component "$package" >/dev/null
  for top in opt Library; do
    if [ -e "$tree/usr/$top" ]; then mv "$tree/usr/$top" "$tree/$top"; fi
  done
done

cd "$stage"
dh_strip --no-automatic-dbgsym
dh_compress
dh_fixperms
# The command-line mode, which package scripts use, needs only what the
# program links; the graphical module's libraries (GTK) are recommended.
bundle=debian/halvern/opt/veldane/Halvern.app/Contents
dpkg-shlibdeps -Tdebian/halvern.substvars -e"$bundle/MacOS/Halvern" -dRecommends -e"$bundle/PlugIns/HalvernGtk.so"
dh_shlibdeps -plumaro-language-pack
dh_installdeb
dh_gencontrol
dh_md5sums
dh_builddeb --destdir="$out"
cd "$root"

echo "Packages in build/packages:"
for deb in "$out"/*.deb; do
  echo "  $(basename "$deb")"
  dpkg-deb --field "$deb" Depends Pre-Depends Recommends | sed 's/^/    /'
done
# Debian's checks, less the two tags against /opt/veldane and /Library, which
# these packages must use (see packaging/lintian/profiles/veldane/main.profile).
echo "lintian:"
lintian --include-dir packaging/lintian --profile veldane --fail-on error --tag-display-limit 0 "$out"/*.deb
echo "lintian: no errors."
