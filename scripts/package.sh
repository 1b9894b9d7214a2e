#!/usr/bin/env bash
# Builds the two Debian packages into build/packages/ (or into the folder $1):
#   halvern_<version>_<arch>.deb   /opt/veldane/Halvern.app, the pack maker
#                                  /opt/veldane/bin/make-pack.sh, halvern(1)
#   lumaro-language-pack_<version>_<arch>.deb
#                                  made by scripts/make-pack.sh, as any
#                                  author's pack: the plug-in libSarvik.so and
#                                  the language resources, under the pack link
#                                  path
# and checks both with lintian.
#
# The program and the plug-in are built for packaging in build/deb/, apart from
# the plain build, with Debian's flags (dpkg-buildflags, all hardening on:
# PIE, bindnow, fortify, stack protector). The build is reproducible: the
# date of every file is that of halvern's changelog entry (SOURCE_DATE_EPOCH),
# and the checkout's path is mapped away, so two checkouts in different
# folders make the same .deb files. halvern's version is the latest entry of
# packaging/debian/changelog; the stock pack's is in
# packaging/lumaro-language-pack/version.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)
out=${1:-$root/build/packages}
bash scripts/setup.sh

SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l packaging/debian/changelog -S Timestamp)
export SOURCE_DATE_EPOCH
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# dpkg-buildflags maps the working folder, the checkout, to "." in the
# debugging information and in __FILE__.
cppflags=$(dpkg-buildflags --get CPPFLAGS)
# ccache's base folder would make the paths the compiler sees relative, which
# the prefix map does not touch: the binaries would then depend on it.
unset CCACHE_BASEDIR
build=$root/build/deb
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=None -DWERROR=ON -DBUILD_BENCHMARKS=OFF \
  -DCMAKE_C_FLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_MODULE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j"$(nproc)" --target Halvern HalvernGtk Sarvik halvern_man

stage=$build/stage
rm -rf "$stage"
mkdir -p "$stage" "$out"
rm -f "$out"/halvern_*.deb "$out"/lumaro-language-pack_*.deb

# halvern, with Debian's own tools. `cmake --install` lays out its files;
# /opt, which has a fixed place, then moves from under the prefix to the top.
cp -r packaging/debian "$stage/debian"
tree=$stage/debian/halvern
DESTDIR=$tree cmake --install "$build" --prefix /usr --component halvern >/dev/null
mv "$tree/usr/opt" "$tree/opt"
(
  cd "$stage"
  dh_strip --no-automatic-dbgsym
  dh_compress
  dh_fixperms
  # The command-line mode, which package scripts use, needs only what the
  # program links; the graphical module's libraries (GTK) are recommended.
  bundle=debian/halvern/opt/veldane/Halvern.app/Contents
  dpkg-shlibdeps -Tdebian/halvern.substvars -e"$bundle/MacOS/Halvern" -dRecommends -e"$bundle/PlugIns/HalvernGtk.so"
  dh_installdeb
  dh_gencontrol
  dh_md5sums
  # dpkg-deb only lowers the dates past SOURCE_DATE_EPOCH; the earlier ones,
  # which a build after the changelog's date makes, are set too.
  find debian/halvern -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  dh_builddeb --destdir="$out"
)

# The stock pack, made by the same tool as any author's.
payload=$stage/lumaro-language-pack
mkdir -p "$payload/Contents/PlugIns" "$payload/Contents/Resources"
cp "$build/sarvik/libSarvik.so" "$payload/Contents/PlugIns/"
cp -r packaging/lumaro-language-pack/Resources/. "$payload/Contents/Resources/"
bash scripts/make-pack.sh --name lumaro-language-pack --version "$(cat packaging/lumaro-language-pack/version)" \
  --link "/Library/Application Support/Veldane/Lumaro Language Pack" --payload "$payload" \
  --description "line-break plug-in and language resources for the Veldane Lumaro viewer" \
  --maintainer "Veldane Packaging <packaging@veldane.example>" --out "$out" >/dev/null

echo "Packages in $out:"
for deb in "$out"/*.deb; do
  echo "  $(basename "$deb")"
  dpkg-deb --field "$deb" Depends Pre-Depends Recommends | sed 's/^/    /'
done
# Debian's checks, less the tags against /opt/veldane and /Library, which
# these packages must use (see packaging/lintian/profiles/veldane/main.profile).
echo "lintian:"
lintian --include-dir packaging/lintian --profile veldane --fail-on error --tag-display-limit 0 "$out"/*.deb
echo "lintian: no errors."
