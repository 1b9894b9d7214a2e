#!/usr/bin/env bash
# Installs what is missing (apt-get), builds Halvern, and runs the command-line
# installation on the sample viewer "samples/Applications/Veldane Lumaro.app",
# as a package's preinstall script runs it. Prints Halvern's lines, its exit
# status and the symbolic link it made.
#
# Halvern looks for the viewer under /Applications; the demo gives it a
# bubblewrap sandbox in which /Applications is samples/Applications and
# /Library a scratch folder, so nothing outside the scratch folder changes.
# Without a usable bwrap it runs Halvern directly, with position 3 naming the
# sample viewer in the repository and the link in a scratch folder.
#
#   scripts/demo.sh            the sample viewer that passes
#   scripts/demo.sh --all      also the two samples that fail (version, track)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

bash scripts/setup.sh
echo "Building Halvern..."
cmake -S . -B build -DWERROR=ON >/dev/null
cmake --build build --target Halvern -j"$(nproc)" >/dev/null
halvern="$repo/build/Halvern.app/Contents/MacOS/Halvern"

scratch=$(mktemp -d /tmp/halvern-demo-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/Library" "$scratch/tmp"

sandbox=()
if command -v bwrap >/dev/null && bwrap --ro-bind / / true 2>/dev/null; then
    sandbox=(bwrap --die-with-parent --unshare-pid
             --ro-bind /usr /usr --ro-bind /etc /etc
             --symlink usr/bin /bin --symlink usr/sbin /sbin --symlink usr/lib /lib)
    [ -e /usr/lib64 ] && sandbox+=(--symlink usr/lib64 /lib64)
    sandbox+=(--proc /proc --dev /dev
              --ro-bind "$repo/build/Halvern.app" /opt/Veldane/Halvern.app
              --ro-bind "$repo/samples/Applications" /Applications
              --bind "$scratch/Library" /Library
              --bind "$scratch/tmp" /tmp --)
    program=/opt/Veldane/Halvern.app/Contents/MacOS/Halvern
    applications=/Applications
    link_dir=/Library
    where="a bubblewrap sandbox: /Applications = samples/Applications, /Library = $scratch/Library"
else
    program=$halvern
    applications="$repo/samples/Applications"
    link_dir="$scratch/Library"
    where="directly (no usable bwrap), the link in $link_dir"
fi

run() {  # viewer name
    local viewer="$applications/$1.app" link="$link_dir/Lumaro Pack"
    rm -f "$scratch/Library/Lumaro Pack"
    echo
    echo "\$ Halvern 1 \"$link\" \"$viewer\" 0"
    set +e
    "${sandbox[@]}" "$program" 1 "$link" "$viewer" 0 | sed 's/^/    /'
    local status=${PIPESTATUS[0]}
    set -e
    echo "exit status: $status"
    if [ -L "$scratch/Library/Lumaro Pack" ]; then
        echo "link: $link -> $(readlink "$scratch/Library/Lumaro Pack")"
    else
        echo "link: none"
    fi
}

echo "Running Halvern in $where."
run "Veldane Lumaro"
if [ "${1:-}" = "--all" ]; then
    run "Veldane Lumaro Old"
    run "Veldane Lumaro Beta"
fi
