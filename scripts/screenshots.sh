#!/usr/bin/env bash
# Takes the pictures of the graphical mode that docs/graphical.md and the README
# show: the alert while a viewer runs, the alert when no valid viewer is found,
# and the viewer choice panel, in English, German and Japanese, on a private X
# server (1280x1024), each run of Halvern inside a bubblewrap sandbox whose
# /Applications holds the sample viewers.
#
#   scripts/screenshots.sh [BUILD-DIR [LANGUAGE...]]   (default: build en de ja)
#
# Needs bwrap, Xvfb, xdotool, dbus-run-session, ImageMagick's import and
# localedef (scripts/setup.sh installs them), and for Japanese a CJK font, which
# it installs itself (fonts-noto-cjk). Writes docs/screenshots/*.png.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
shift $(($# > 0 ? 1 : 0))
languages=("$@")
((${#languages[@]})) || languages=(en de ja)
if [ ! -x "$build/Halvern.app/Contents/MacOS/Halvern" ]; then bash scripts/build.sh "$build"; fi
cmake --build "$build" --target Halvern HalvernGtk heartbeat_samples >/dev/null
app=$(cd "$build/Halvern.app" && pwd)
samples=$(cd "$build/samples/Applications" && pwd)
out=$root/docs/screenshots
mkdir -p "$out"

work=$(mktemp -d)
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# --- The machine the pictures are taken on --------------------------------------
mkdir -p "$work"/{Applications,Library,tmp,home,ro,locale,opt/Second} "$work"/xdg/{config,data/applications,data/mime,data/icons,data/glib-2.0}
cp -a "$samples/Veldane Lumaro.app" "$work/Applications/"
cp -a "$root/samples/Applications/Veldane Lumaro Old.app" "$work/Applications/"
cp -a "$root/samples/Applications/Veldane Lumaro Beta.app" "$work/Applications/"
cp -a "$root/samples/Applications/Veldane Lumaro.app" "$work/opt/Second/"
for bundle in "$work/Applications/Veldane Lumaro Old.app" "$work/Applications/Veldane Lumaro Beta.app" \
              "$work/opt/Second/Veldane Lumaro.app"; do
  mkdir -p "$bundle/Contents/MacOS"
  printf '#!/bin/sh\nexit 0\n' >"$bundle/Contents/MacOS/Veldane Lumaro"
  chmod 755 "$bundle/Contents/MacOS/Veldane Lumaro"
done
mkdir -p "$work/Applications/Utilities"
for f in mime.cache globs2 globs magic aliases subclasses types; do
  [ -e "/usr/share/mime/$f" ] && cp "/usr/share/mime/$f" "$work/xdg/data/mime/"
done
cat >"$work/ro/run.sh" <<'EOF'
#!/bin/sh
if [ "$1" = viewer ]; then "/Applications/Veldane Lumaro.app/Contents/MacOS/Veldane Lumaro" </dev/null >/dev/null 2>&1 & fi
shift
exec "$@"
EOF
# German and Japanese for GTK's own labels too, without touching the system's
# locales.
localedef -i de_DE -f UTF-8 "$work/locale/de_DE.UTF-8" 2>/dev/null || true
localedef -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8" 2>/dev/null || true
# Japanese text needs a CJK font; only these pictures need one, so it is
# installed here rather than by scripts/setup.sh.
if [[ " ${languages[*]} " == *" ja "* ]] && ! dpkg-query -W -f='${Status}' fonts-noto-cjk 2>/dev/null | grep -q 'install ok installed'; then
  sudo=""
  if [ "$(id -u)" != 0 ]; then sudo=sudo; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y -qq --no-install-recommends fonts-noto-cjk >/dev/null ||
    { $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends fonts-noto-cjk >/dev/null; }
fi

# The applications that open PDF files, the first being the default.
handlers() {
  rm -f "$work"/xdg/data/applications/*
  local cache="application/pdf=" i=0
  for bundle in "$@"; do
    printf '[Desktop Entry]\nType=Application\nName=Handler %s\nExec="%s/Contents/MacOS/Veldane Lumaro" %%f\nMimeType=application/pdf;\n' \
      "$i" "$bundle" >"$work/xdg/data/applications/handler$i.desktop"
    cache+="handler$i.desktop;"
    i=$((i + 1))
  done
  printf '[MIME Cache]\n%s\n' "$cache" >"$work/xdg/data/applications/mimeinfo.cache"
}

mkfifo "$work/ready"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/ready" >/dev/null 2>&1 &
xvfb_pid=$!
read -r display <"$work/ready"
export DISPLAY=":$display"

# Runs Halvern in graphical mode (check-running flag "1") with LANG=$1 and
# "viewer" or "none" running beside it, takes the first window titled
# "Veldane Lumaro" as $out/$3.png, and ends the run.
shoot() {
  local lang=$1 beside=$2 name=$3
  rm -f "$work/Library/Lumaro Pack"
  bwrap --die-with-parent --unshare-pid \
    --ro-bind /usr /usr --ro-bind /etc /etc --symlink usr/bin /bin --symlink usr/sbin /sbin \
    --symlink usr/lib /lib --symlink usr/lib64 /lib64 --proc /proc --dev /dev \
    --ro-bind "$app" /opt/Veldane/Halvern.app \
    --bind "$work/Applications" /Applications --ro-bind "$work/opt/Second" /opt/Second \
    --bind "$work/Library" /Library --bind "$work/tmp" /tmp --bind "$work/home" /home/user \
    --ro-bind /tmp/.X11-unix /tmp/.X11-unix \
    --ro-bind "$work/xdg" /xdg --ro-bind /usr/share/icons /xdg/data/icons \
    --ro-bind /usr/share/glib-2.0 /xdg/data/glib-2.0 \
    --ro-bind "$work/ro" /ro --ro-bind "$work/locale" /locale \
    --setenv HOME /home/user --setenv LANG "$lang" --setenv LOCPATH /locale \
    --setenv XDG_DATA_DIRS /xdg/data --setenv XDG_DATA_HOME /home/user/.local/share \
    --setenv XDG_CONFIG_HOME /xdg/config --setenv XDG_CONFIG_DIRS /xdg/config \
    --setenv NO_AT_BRIDGE 1 --setenv GSETTINGS_BACKEND memory \
    -- dbus-run-session -- /bin/sh /ro/run.sh "$beside" \
    /opt/Veldane/Halvern.app/Contents/MacOS/Halvern 0 "/Library/Lumaro Pack" "" 1 >/dev/null 2>&1 &
  local run=$!
  local window
  window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Veldane Lumaro$' | head -1) || true
  if [ -z "$window" ]; then
    echo "screenshots: no window for $name" >&2
    kill "$run" 2>/dev/null || true
    wait "$run" 2>/dev/null || true
    return 1
  fi
  sleep 1.2  # drawn, and the panel's folder listed
  import -window "$window" "$out/$name.png"
  kill "$run" 2>/dev/null || true
  wait "$run" 2>/dev/null || true
  # The next run must not find this run's window.
  for _ in $(seq 50); do
    xdotool search --onlyvisible --name '^Veldane Lumaro$' >/dev/null 2>&1 || break
    sleep 0.1
  done
  echo "docs/screenshots/$name.png"
}

for lang in "${languages[@]}"; do
  case $lang in
    en) locale=C.UTF-8 ;;
    de) locale=de_DE.UTF-8 ;;
    ja) locale=ja_JP.UTF-8 ;;
    *) echo "screenshots: no locale for $lang" >&2; exit 2 ;;
  esac
  handlers "/Applications/Veldane Lumaro.app"
  shoot "$locale" viewer "running-alert-$lang"
  handlers "/Applications/Veldane Lumaro Old.app"
  shoot "$locale" none "not-found-alert-$lang"
  handlers "/opt/Second/Veldane Lumaro.app" "/Applications/Veldane Lumaro Old.app" "/Applications/Veldane Lumaro.app"
  shoot "$locale" none "panel-$lang"
done
