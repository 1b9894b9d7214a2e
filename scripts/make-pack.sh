#!/usr/bin/env bash
# make-pack.sh: makes the Debian package of a language pack for the Veldane
# Lumaro viewer, which Halvern links into the viewer bundle.
#
#   make-pack.sh --name NAME --version VERSION --link PACK_LINK_PATH
#                --payload DIR --description TEXT
#                [--maintainer "Name <mail>"] [--viewer BUNDLE_PATH] --out DIR
#
# DIR holds the files as they must appear inside the viewer bundle
# (Contents/PlugIns/..., Contents/Resources/...). The package installs them
# under the pack link path; its preinst has Halvern link that path to the
# viewer first, so dpkg writes them through the link into the bundle. The
# generated maintainer scripts keep the viewer's own files safe: a payload path
# the viewer already holds is refused, the viewer is recorded in
# /var/lib/NAME/ so that removal reaches the payload when the link is gone, and
# removal leaves the viewer's own folders in place.
#
# Writes OUT/NAME_VERSION_ARCH.deb: Architecture "all" without ELF files in
# the payload, else the machine's, with dependencies from dpkg-shlibdeps.
# With SOURCE_DATE_EPOCH set the package is reproducible: every date in it is
# that one. Each bad input gives one line on standard error and no package.
set -euo pipefail
umask 022
export LC_ALL=C

me=make-pack.sh
# The installed copy (/opt/veldane/bin) carries the version of the halvern
# package it came with; a checkout's copy reads packaging/debian/changelog.
halvern_version=""
halvern=/opt/veldane/Halvern.app/Contents/MacOS/Halvern

fail() {
    printf '%s: %s\n' "$me" "$*" >&2
    exit 1
}

usage() {
    sed -n '5,7p' "$0" | sed 's/^# \{0,1\}//'
}

if [ -z "$halvern_version" ]; then
    changelog="$(dirname "$0")/../packaging/debian/changelog"
    halvern_version=$(sed -n '1s/^halvern (\([^)]*\)).*/\1/p' "$changelog" 2>/dev/null || true)
    [ -n "$halvern_version" ] || fail "cannot read the halvern version from $changelog"
fi

declare -A given=()
while [ $# -gt 0 ]; do
    case $1 in
        --name | --version | --link | --payload | --description | --maintainer | --viewer | --out)
            [ $# -ge 2 ] || fail "$1 needs a value"
            [ -z "${given[${1#--}]+set}" ] || fail "$1 is given twice"
            given[${1#--}]=$2
            shift 2
            ;;
        --help)
            usage
            exit 0
            ;;
        *) fail "unknown option '$1' (see $me --help)" ;;
    esac
done
for option in name version link payload description out; do
    [ -n "${given[$option]+set}" ] || fail "--$option is missing (see $me --help)"
done
name=${given[name]}
version=${given[version]}
link=${given[link]}
payload=${given[payload]}
description=${given[description]}
viewer=${given[viewer]:-/Applications/Veldane Lumaro.app}
out=${given[out]}
newline=$'\n'

# --- The values -------------------------------------------------------------

if ! [[ $name =~ ^[a-z0-9][a-z0-9+.-]+$ ]]; then
    fail "--name '$name' is not a Debian package name (two or more of a-z 0-9 + - ., starting with a letter or digit)"
fi
[ "$name" != halvern ] || fail "--name halvern is the installer's own package"
if ! reason=$(dpkg --validate-version -- "$version" 2>&1); then
    fail "--version '$version' is not a Debian version: ${reason##*: }"
fi
case $link in
    *"$newline"*) fail "--link holds a line break" ;;
    /*) ;;
    *) fail "--link '$link' is not an absolute path" ;;
esac
case "$link/" in
    *//* | */./* | */../*) fail "--link '$link' is not a plain path (no empty, '.' or '..' parts, no '/' at the end)" ;;
esac
top=${link#/}
top=${top%%/*}
case $top in
    usr | etc | var | opt | bin | sbin | boot | lib | lib32 | lib64 | libx32 | dev | proc | sys | run | tmp)
        fail "--link '$link' lies under /$top, which belongs to the system"
        ;;
esac
[ "$link" != "/$top" ] || fail "--link '$link' must lie in a folder below /"
case $viewer in
    *"$newline"*) fail "--viewer holds a line break" ;;
    /*) ;;
    *) fail "--viewer '$viewer' is not an absolute path" ;;
esac
case $description in
    "" | *"$newline"*) fail "--description must be one line of text" ;;
esac
[ ${#description} -le 80 ] || fail "--description is longer than 80 characters"
if [ -n "${given[maintainer]+set}" ]; then
    maintainer=${given[maintainer]}
elif [ -n "${DEBFULLNAME:-}" ] && [ -n "${DEBEMAIL:-}" ]; then
    maintainer="$DEBFULLNAME <$DEBEMAIL>"
else
    fail "no maintainer: give --maintainer \"Name <mail>\" (or set DEBFULLNAME and DEBEMAIL)"
fi
if ! [[ $maintainer =~ ^[^\<\>@$'\n',]+\ \<[^\<\>\ $'\n']+@[^\<\>\ $'\n']+\>$ ]]; then
    fail "--maintainer '$maintainer' is not of the form \"Name <mail>\""
fi
epoch=${SOURCE_DATE_EPOCH:-$(date +%s)}
[[ $epoch =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH '$epoch' is not a number of seconds"

# --- The payload ------------------------------------------------------------

[ -d "$payload" ] || fail "--payload '$payload' is not a folder"
payload=$(cd "$payload" && pwd -P) || fail "cannot enter the payload folder '${given[payload]}'"
files=()
folders=()
elf=()
while IFS= read -r -d '' entry; do
    path=${entry#./}
    case $path in
        *"$newline"* | *\\*) fail "payload path '$path' holds a line break or a backslash, which dpkg cannot list" ;;
    esac
    if [ -L "$payload/$path" ]; then
        target=$(realpath -m -- "$payload/$path")
        case $target in
            "$payload" | "$payload"/*) files+=("$path") ;;
            *) fail "payload link $payload/$path leads out of the payload (to $(readlink -- "$payload/$path"))" ;;
        esac
    elif [ -d "$payload/$path" ]; then
        folders+=("$path")
    elif [ -f "$payload/$path" ]; then
        files+=("$path")
        if [ "$(head -c 4 -- "$payload/$path" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ]; then elf+=("$path"); fi
    else
        fail "payload entry $payload/$path is neither a file, a folder nor a link"
    fi
done < <(cd "$payload" && find . -mindepth 1 -print0 | sort -z)
[ ${#files[@]} -gt 0 ] || fail "--payload '$payload' holds no file"

mkdir -p -- "$out" 2>/dev/null || fail "cannot create the output folder '$out'"
out=$(cd "$out" && pwd -P)

# --- The package tree -------------------------------------------------------

work=$(mktemp -d "${TMPDIR:-/tmp}/make-pack.XXXXXX")
trap 'rm -rf "$work"' EXIT
tree=$work/debian/$name
mkdir -p "$tree/DEBIAN" "$tree$link" "$tree/usr/share/doc/$name"
cp -a -- "$payload/." "$tree$link/"
# Ownership root:root (dpkg-deb --root-owner-group); modes 0755 for folders
# and executables, 0644 for the rest: no set-id bits go into the viewer.
find "$tree" -type d -exec chmod 0755 {} +
find "$tree" -type f -perm /111 -exec chmod 0755 {} +
find "$tree" -type f ! -perm /111 -exec chmod 0644 {} +
find "$tree" -type f \( -name '*.so' -o -name '*.so.*' \) -exec chmod 0644 {} +

architecture=all
depends=""
if [ ${#elf[@]} -gt 0 ]; then
    architecture=$(dpkg --print-architecture)
    shlibdeps_args=()
    for path in "${elf[@]}"; do
        file=$tree$link/$path
        case $path in
            *.so | *.so.*) strip --remove-section=.comment --remove-section=.note --strip-unneeded -- "$file" ;;
            *) strip --remove-section=.comment --remove-section=.note -- "$file" ;;
        esac 2>/dev/null || fail "cannot strip the ELF file $payload/$path"
        shlibdeps_args+=("-e$file")
    done
    printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$name" "$name" > "$work/debian/control"
    depends=$(cd "$work" && dpkg-shlibdeps -O "${shlibdeps_args[@]}" 2>"$work/shlibdeps.err") ||
        fail "dpkg-shlibdeps failed on the payload's ELF files: $(tail -n 1 "$work/shlibdeps.err")"
    depends=${depends#shlibs:Depends=}
fi

date_rfc=$(date -u -R -d "@$epoch")
native=true
case $version in *-*) native=false ;; esac
doc=$tree/usr/share/doc/$name
{
    printf '%s (%s) unstable; urgency=medium\n\n' "$name" "$version"
    printf '  * Language pack made with make-pack.sh of halvern %s: its payload is\n' "$halvern_version"
    printf '    installed into the viewer through the pack link path.\n\n'
    printf ' -- %s  %s\n' "$maintainer" "$date_rfc"
} > "$work/changelog"
if $native; then changelog_name=changelog.gz; else changelog_name=changelog.Debian.gz; fi
gzip -9n < "$work/changelog" > "$doc/$changelog_name"
holder=${maintainer% <*}
cat > "$doc/copyright" <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: $name
Upstream-Contact: $maintainer

Files: *
Copyright: $(date -u -d "@$epoch" +%Y) $holder
License: all-rights-reserved
 All rights reserved by the copyright holder. This language pack is meant to
 be installed into the Veldane Lumaro viewer only; no permission to copy,
 modify or redistribute it is given here.
EOF
chmod 0644 "$doc"/*

# --- The maintainer scripts -------------------------------------------------

# A shell word that stands for $1 exactly.
quote() {
    printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"
}

# A shell function NAME that prints each remaining argument on a line.
list_function() {
    local function=$1 item
    shift
    printf '%s() {\n' "$function"
    if [ $# -eq 0 ]; then
        printf '    :\n'
    else
        for item in "$@"; do printf "    printf '%%s\\\\n' %s\n" "$(quote "$item")"; done
    fi
    printf '}\n'
}

header() {
    cat <<EOF
#!/bin/sh
# $1 of $name $version, made by make-pack.sh of halvern $halvern_version.
set -e

package=$(quote "$name")
pack_link=$(quote "$link")
viewer=$(quote "$viewer")
halvern=$(quote "$halvern")
state=/var/lib/\$package

EOF
    list_function payload_files "${files[@]}"
    list_function payload_folders "${folders[@]}"
    cat <<'EOF'

say() {
    echo "$package: $*" >&2
}

fail() {
    say "$*"
    exit 1
}

# The viewer's own folders among the payload's are listed in $state/folders,
# one "MODE UID GID PATH" line each, parents first. dpkg removes a folder of
# the pack's when it becomes empty, not knowing that it is the viewer's: this
# puts back each one that is missing, as it was.
restore_folders() {
    [ -f "$state/folders" ] && [ -f "$state/viewer" ] || return 0
    recorded=$(cat "$state/viewer")
    [ -d "$recorded" ] || return 0
    while IFS= read -r line; do
        mode=${line%% *}
        rest=${line#* }
        uid=${rest%% *}
        rest=${rest#* }
        gid=${rest%% *}
        folder=${rest#* }
        parent=$recorded/$folder
        parent=${parent%/*}
        if [ ! -e "$recorded/$folder" ] && [ ! -L "$recorded/$folder" ] && [ -d "$parent" ]; then
            mkdir "$recorded/$folder" && chown "$uid:$gid" "$recorded/$folder" && chmod "$mode" "$recorded/$folder" ||
                say "warning: cannot put back the viewer's folder $recorded/$folder."
        fi
    done < "$state/folders"
}

unknown_argument() {
    say "$0 called with unknown argument '$1'"
    exit 1
}
EOF
}

preinst_body() {
    cat <<'EOF'
# Makes the folder when it is missing; then it must be a real folder (no
# link), owned by root and writable by no one else, or the link made in it
# could be swapped for one pointing elsewhere while dpkg writes through it.
trusted_folder() {
    if [ -L "$1" ]; then
        fail "$1 is a symbolic link; refusing to install through it."
    fi
    if [ ! -e "$1" ]; then
        mkdir -m 0755 "$1" || fail "cannot create the folder $1."
        made="$1
$made"
    fi
    if [ ! -d "$1" ]; then
        fail "$1 is not a folder."
    fi
    owner=$(stat -c %u "$1") || fail "cannot read the owner of $1."
    mode=$(stat -c %a "$1") || fail "cannot read the mode of $1."
    if [ "$owner" != 0 ]; then
        fail "$1 is not owned by root (owner $owner)."
    fi
    if [ $((0$mode & 022)) -ne 0 ]; then
        fail "$1 is writable by users other than root (mode $mode)."
    fi
}

# Takes away the link Halvern made and the folders made for it; on an upgrade
# puts back the link the installed version's files are reached through.
undo_link() {
    if [ -L "$pack_link" ]; then
        rm -f "$pack_link"
    fi
    printf '%s\n' "$made" | while IFS= read -r folder; do
        if [ -n "$folder" ]; then
            rmdir "$folder" 2>/dev/null || true
        fi
    done
    if [ "$1" = upgrade ] && [ -n "$previous" ] && [ ! -e "$pack_link" ]; then
        ln -s "$previous" "$pack_link" || true
    fi
}

# Whether dpkg lists $1 among the files of the installed version of this pack,
# reached through the same viewer.
own_path() {
    [ "$known_viewer" = "$target" ] && printf '%s\n' "$own_files" | grep -qxF -- "$pack_link/$1"
}

# Refuses (status 1, one line) when the viewer holds, at a path of the
# payload, something that is not the pack's: a file dpkg would overwrite, or
# something other than a folder where the payload has one.
check_payload() {
    payload_folders | while IFS= read -r folder; do
        if [ -L "$target/$folder" ] || { [ -e "$target/$folder" ] && [ ! -d "$target/$folder" ]; }; then
            say "$target/$folder is in the viewer and is not a folder, as the pack needs it; nothing was installed."
            exit 1
        fi
    done || return 1
    payload_files | while IFS= read -r file; do
        if { [ -e "$target/$file" ] || [ -L "$target/$file" ]; } && ! own_path "$file"; then
            say "$target/$file is already in the viewer and is not a file of $package; nothing was installed."
            exit 1
        fi
    done || return 1
}

# Writes $state/viewer and $state/folders: of the payload's folders, those the
# viewer has of its own (already recorded, or there and not the pack's).
record() {
    mkdir -p "$state"
    old=""
    if [ "$known_viewer" = "$target" ] && [ -f "$state/folders" ]; then
        old=$(cat "$state/folders")
    fi
    {
        if [ -n "$old" ]; then
            printf '%s\n' "$old"
        fi
        payload_folders | while IFS= read -r folder; do
            if [ -d "$target/$folder" ] && ! own_path "$folder"; then
                printf '%s %s\n' "$(stat -c '%a %u %g' "$target/$folder")" "$folder"
            fi
        done
    } | sort -s -t ' ' -k 4 -u > "$state/folders.new"
    printf '%s\n' "$target" > "$state/viewer.new"
    mv -f "$state/folders.new" "$state/folders"
    mv -f "$state/viewer.new" "$state/viewer"
}

case "$1" in
    install|upgrade)
        umask 022
        # The link path is this pack's alone: another package's files lie under it.
        pattern=$(printf '%s' "$pack_link" | sed 's/[][*?\\]/\\&/g')
        dpkg-query -S -- "$pattern" 2>/dev/null | while IFS= read -r line; do
            case $line in
                *": $pack_link")
                    for owner in $(echo "${line%": $pack_link"}" | tr -d ','); do
                        if [ "${owner%%:*}" != "$package" ]; then
                            say "the pack link path $pack_link belongs to the installed package ${owner%%:*}; nothing was installed."
                            exit 1
                        fi
                    done
                    ;;
            esac
        done || exit 1
        own_files=$(dpkg-query -L -- "$package" 2>/dev/null || true)

        rest=${pack_link%/*}
        folder=""
        made=""
        while [ -n "$rest" ]; do
            rest=${rest#/}
            part=${rest%%/*}
            rest=${rest#"$part"}
            folder="$folder/$part"
            trusted_folder "$folder"
        done

        # A link left by an earlier installation (or by the version being
        # upgraded) would make Halvern fail: remove it, but never anything
        # that is not a link.
        previous=""
        if [ -L "$pack_link" ]; then
            previous=$(readlink "$pack_link")
            rm -f "$pack_link"
        fi
        known_viewer=$previous
        if [ -f "$state/viewer" ]; then
            known_viewer=$(cat "$state/viewer")
        fi

        # Command-line mode, the pack link path, the proposed viewer, and "1":
        # fail while a viewer instance runs. Halvern prints its own lines.
        status=0
        "$halvern" 1 "$pack_link" "$viewer" 1 || status=$?
        if [ "$status" -ne 0 ]; then
            undo_link "$1"
            fail "Halvern ended with status $status; the language pack is not installed."
        fi
        target=$(readlink "$pack_link")
        if ! check_payload; then
            undo_link "$1"
            exit 1
        fi
        record
        ;;
    abort-upgrade)
        ;;
    *)
        unknown_argument "$1"
        ;;
esac

exit 0
EOF
}

prerm_body() {
    cat <<'EOF'
# dpkg removes the pack's files through the link: when the link is missing or
# points elsewhere, it is put back to the recorded viewer, if Halvern still
# finds that a trusted, valid viewer. Otherwise nothing is removed from any
# viewer, and one warning names the files left.
reach_recorded_viewer() {
    [ -f "$state/viewer" ] || return 0
    recorded=$(cat "$state/viewer")
    if [ -L "$pack_link" ] && [ "$(readlink "$pack_link")" = "$recorded" ]; then
        return 0
    fi
    if [ -L "$pack_link" ]; then
        rm -f "$pack_link"
    fi
    if [ ! -e "$pack_link" ] && [ -x "$halvern" ] && "$halvern" 1 "$pack_link" "$recorded" 0 > /dev/null 2>&1 &&
        [ "$(readlink "$pack_link")" = "$recorded" ]; then
        say "the pack link $pack_link points at $recorded again, so the pack's files are removed from it."
        return 0
    fi
    if [ -L "$pack_link" ]; then
        rm -f "$pack_link"
    fi
    left=$(payload_files | while IFS= read -r file; do
        if [ ! -d "$recorded" ] || [ -e "$recorded/$file" ] || [ -L "$recorded/$file" ]; then
            printf '%s, ' "$file"
        fi
    done)
    say "warning: the pack link $pack_link cannot be put back to $recorded (missing, or no longer a trusted, valid viewer); the pack's files are left in it: ${left%, }"
}

case "$1" in
    remove)
        reach_recorded_viewer
        ;;
    upgrade|deconfigure|failed-upgrade)
        ;;
    *)
        unknown_argument "$1"
        ;;
esac

exit 0
EOF
}

postinst_body() {
    cat <<'EOF'
case "$1" in
    configure)
        # An upgrade may have removed a folder of the viewer's that only the
        # old version listed.
        restore_folders
        ;;
    abort-upgrade|abort-remove|abort-deconfigure)
        ;;
    *)
        unknown_argument "$1"
        ;;
esac

exit 0
EOF
}

postrm_body() {
    cat <<'EOF'
case "$1" in
    remove|purge)
        restore_folders
        if [ -L "$pack_link" ]; then
            rm -f "$pack_link"
        fi
        rm -rf "$state"
        ;;
    abort-install)
        # Only what this installation made: the preinst cleans up after
        # itself when it refuses, and the link may then be another's.
        if [ -f "$state/viewer" ]; then
            restore_folders
            if [ -L "$pack_link" ] && [ "$(readlink "$pack_link")" = "$(cat "$state/viewer")" ]; then
                rm -f "$pack_link"
            fi
            rm -rf "$state"
        fi
        ;;
    abort-upgrade)
        restore_folders
        ;;
    upgrade|failed-upgrade|disappear)
        ;;
    *)
        unknown_argument "$1"
        ;;
esac

exit 0
EOF
}
for script in preinst prerm postinst postrm; do
    { header $script; "${script}_body"; } > "$tree/DEBIAN/$script"
done
chmod 0755 "$tree/DEBIAN/preinst" "$tree/DEBIAN/prerm" "$tree/DEBIAN/postinst" "$tree/DEBIAN/postrm"
for script in preinst prerm postinst postrm; do
    sh -n "$tree/DEBIAN/$script" || fail "the generated $script is not valid shell (a bug of $me)"
done

# --- Control, checksums, the package ----------------------------------------

installed_size=$(cd "$tree" && find . -mindepth 1 -path ./DEBIAN -prune -o -printf '%y %s\n' |
    awk '$1 == "f" { total += int(($2 + 1023) / 1024); next } { total += 1 } END { print total + 0 }')
{
    printf 'Package: %s\nVersion: %s\nArchitecture: %s\nMaintainer: %s\n' "$name" "$version" "$architecture" "$maintainer"
    printf 'Installed-Size: %s\nPre-Depends: halvern (>= %s)\n' "$installed_size" "$halvern_version"
    if [ -n "$depends" ]; then printf 'Depends: %s\n' "$depends"; fi
    printf 'Section: misc\nPriority: optional\nDescription: %s\n' "$description"
    printf 'This language pack is installed into the Veldane Lumaro viewer bundle: before unpacking, the package runs Halvern, which links the pack link path %s to a valid viewer, so that the payload, written through the link, lands inside the viewer. The installation is refused when no valid viewer is found, the viewer is running, or the viewer already holds a file at one of the payload paths.\n' "$link" |
        fmt -w 76 | sed 's/^/ /'
} > "$tree/DEBIAN/control"
(cd "$tree" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 -r md5sum) > "$tree/DEBIAN/md5sums"
chmod 0644 "$tree/DEBIAN/control" "$tree/DEBIAN/md5sums"
find "$tree" -exec touch -h -d "@$epoch" {} +

deb_version=${version#*:}
deb=$out/${name}_${deb_version}_$architecture.deb
if ! SOURCE_DATE_EPOCH=$epoch dpkg-deb --root-owner-group -Zxz --build "$tree" "$work/pack.deb" > /dev/null 2> "$work/deb.err"; then
    fail "dpkg-deb could not build the package: $(tail -n 1 "$work/deb.err")"
fi
mv -f "$work/pack.deb" "$deb"
echo "$deb"
